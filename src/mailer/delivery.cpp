// EasyMailer._do_send: one SMTP connection per message.
#include "function.hpp"
#include "stdlib.hpp"

namespace corvenda {

namespace {

enum { SELF, MSG, RECIPIENTS, SENDER };

/// `server.login(self.username, self.password)`, then
/// `server.sendmail(sender, recipients, text)` with the message serialised
/// just before submission, headers folded.
void login_and_submit(const Env& env, PyObject* server, Args args) {
    PyObject* self = args[SELF];
    Ref login = getattr(server, env[S::login]);
    Ref username = getattr(self, env[S::username]);
    Ref password = getattr(self, env[S::password]);
    call(login, username.get(), password.get());

    Ref sendmail = getattr(server, env[S::sendmail]);
    Ref text = serialise(env, args[MSG]);
    call(sendmail, args[SENDER], args[RECIPIENTS], text.get());
}

}  // namespace

Ref mailer_do_send(const Env& env, Args args) {
    PyObject* self = args[SELF];
    Ref ctx = call(getattr(global(env, S::ssl).get(), env[S::create_default_context]));

    if (truth(getattr(self, env[S::use_ssl]).get())) {
        Ref smtp_ssl = getattr(global(env, S::smtplib).get(), env[S::SMTP_SSL]);
        Ref host = getattr(self, env[S::host]);
        Ref port = getattr(self, env[S::port]);
        PyObject* argv[] = {nullptr, host.get(), port.get(), ctx.get()};
        Ref connection = check(
            PyObject_Vectorcall(smtp_ssl.get(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, env.st.kw_context));
        with_block(env, connection.get(), [&](PyObject* server) { login_and_submit(env, server, args); });
        return Ref::borrow(Py_None);
    }

    Ref smtp = getattr(global(env, S::smtplib).get(), env[S::SMTP]);
    Ref host = getattr(self, env[S::host]);
    Ref port = getattr(self, env[S::port]);
    Ref connection = call(smtp, host.get(), port.get());
    with_block(env, connection.get(), [&](PyObject* server) {
        if (truth(getattr(self, env[S::use_tls]).get())) {
            Ref starttls = getattr(server, env[S::starttls]);
            PyObject* argv[] = {nullptr, ctx.get()};
            check(PyObject_Vectorcall(starttls.get(), argv + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                      env.st.kw_context));
        }
        login_and_submit(env, server, args);
    });
    return Ref::borrow(Py_None);
}

}  // namespace corvenda
