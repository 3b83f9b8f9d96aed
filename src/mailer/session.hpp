// Opening, securing and logging in an SMTP connection: the one sequence
// behind EasyMailer._do_send (a connection per message) and corvenda.bulk
// (a connection kept for many messages).
#pragma once

#include "stdlib.hpp"

namespace corvenda {

/// How a connection for one mailer is made: its TLS context and whether it
/// speaks TLS from the first byte.
struct Road {
    Ref ctx;
    bool implicit_tls;
};

/// `ctx = ssl.create_default_context()`, then `mailer.use_ssl` by truth value.
Road choose_road(const Env& env, PyObject* mailer);
/// `smtplib.SMTP_SSL(mailer.host, mailer.port, context=ctx)` on the implicit
/// TLS road, `smtplib.SMTP(mailer.host, mailer.port)` otherwise; not entered.
Ref make_connection(const Env& env, PyObject* mailer, const Road& road);
/// Inside the entered connection: `server.starttls(context=ctx)` when the
/// road is plain and `mailer.use_tls` is true, then
/// `server.login(mailer.username, mailer.password)`.
void secure_and_login(const Env& env, PyObject* mailer, PyObject* server, const Road& road);

/// Runs `body(server)` on a connection for `mailer`, opened, secured and
/// logged in, inside `with connection as server:`.
template <typename Body>
void with_session(const Env& env, PyObject* mailer, Body&& body) {
    Road road = choose_road(env, mailer);
    Ref connection = make_connection(env, mailer, road);
    with_block(env, connection.get(), [&](PyObject* server) {
        secure_and_login(env, mailer, server, road);
        body(server);
    });
}

/// The same sequence for a connection that outlives the call: returns the
/// entered, secured and logged-in client.  A failure after entering leaves
/// the connection through its `__exit__` with that failure, then propagates.
Ref open_session(const Env& env, PyObject* mailer);

}  // namespace corvenda
