// EasyMailer._do_send: one SMTP connection per message.
#include "function.hpp"
#include "headers.hpp"
#include "session.hpp"

namespace corvenda {

Ref mailer_do_send(const Env& env, Args args) {
    enum { SELF, MSG, RECIPIENTS, SENDER };
    with_session(env, args[SELF], [&](PyObject* server) {
        // The message is serialised just before submission, headers folded.
        Ref sendmail = getattr(server, env[S::sendmail]);
        Ref text = serialise(env, args[MSG]);
        call(sendmail, args[SENDER], args[RECIPIENTS], text.get());
    });
    return Ref::borrow(Py_None);
}

}  // namespace corvenda
