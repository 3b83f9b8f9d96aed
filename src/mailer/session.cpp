// The connection sequence shared by EasyMailer._do_send and corvenda._bulk.
#include "session.hpp"

namespace corvenda {

Road choose_road(const Env& env, PyObject* mailer) {
    Ref ctx = call(getattr(global(env, S::ssl).get(), env[S::create_default_context]));
    bool implicit_tls = truth(getattr(mailer, env[S::use_ssl]).get());
    return {std::move(ctx), implicit_tls};
}

Ref make_connection(const Env& env, PyObject* mailer, const Road& road) {
    if (road.implicit_tls) {
        Ref smtp_ssl = getattr(global(env, S::smtplib).get(), env[S::SMTP_SSL]);
        Ref host = getattr(mailer, env[S::host]);
        Ref port = getattr(mailer, env[S::port]);
        PyObject* argv[] = {nullptr, host.get(), port.get(), road.ctx.get()};
        return check(
            PyObject_Vectorcall(smtp_ssl.get(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, env.st.kw_context));
    }
    Ref smtp = getattr(global(env, S::smtplib).get(), env[S::SMTP]);
    Ref host = getattr(mailer, env[S::host]);
    Ref port = getattr(mailer, env[S::port]);
    return call(smtp, host.get(), port.get());
}

void secure_and_login(const Env& env, PyObject* mailer, PyObject* server, const Road& road) {
    if (!road.implicit_tls && truth(getattr(mailer, env[S::use_tls]).get())) {
        Ref starttls = getattr(server, env[S::starttls]);
        PyObject* argv[] = {nullptr, road.ctx.get()};
        check(PyObject_Vectorcall(starttls.get(), argv + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, env.st.kw_context));
    }
    Ref login = getattr(server, env[S::login]);
    Ref username = getattr(mailer, env[S::username]);
    Ref password = getattr(mailer, env[S::password]);
    call(login, username.get(), password.get());
}

Ref open_session(const Env& env, PyObject* mailer) {
    Road road = choose_road(env, mailer);
    Ref connection = make_connection(env, mailer, road);
    detail::ContextManager cm = detail::enter(env, connection.get());
    try {
        secure_and_login(env, mailer, cm.entered.get(), road);
    } catch (PyError& error) {
        // A connection that is not logged in is of no use: it is left even
        // when its __exit__ would suppress the failure.
        detail::exit_with(cm, error);
        throw;
    }
    return std::move(cm.entered);
}

}  // namespace corvenda
