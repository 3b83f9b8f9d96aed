// One mail transaction on a connection kept open: corvenda._bulk.submit.
#pragma once

#include "state.hpp"

namespace corvenda {

/// Sends `msg` from `sender` to `recipients` over the logged-in `server`:
/// MAIL, every RCPT and DATA in one write when the server offers
/// PIPELINING, one at a time otherwise, then the message text.
///
/// Returns `(accepted, refused, code, text, error)`: the accepted addresses,
/// refused address -> (code, text), and the final reply; after a connection
/// failure between the end of the message text and its reply, `code` is
/// None and `error` the exception (the server may have the message).
/// Raises smtplib's SMTPSenderRefused, SMTPRecipientsRefused (every
/// recipient refused) and SMTPDataError as sendmail does, and any
/// connection error that happens before the end of the message was sent.
Ref submit(const Env& env, PyObject* server, PyObject* msg, PyObject* sender, PyObject* recipients);

}  // namespace corvenda
