// EasyMailer._build_message: the MIME tree of one message.
#include "function.hpp"
#include "headers.hpp"
#include "stdlib.hpp"

namespace corvenda {

namespace {

enum { SELF, TO, SUBJECT, BODY, HTML, CC, SENDER, SENDER_NAME, ATTACHMENTS, REPLY_TO };

/// Address text with non-ASCII letters gets each display name encoded on its
/// own: the library would encode the whole value as one word, which no longer
/// parses as addresses.  Anything else is used as it is.
Ref with_display_names(const Env& env, Ref value) {
    if (!PyUnicode_Check(value.get()) || PyUnicode_IS_ASCII(value.get())) return value;
    return encode_display_names(env, value.get());
}

/// Header text for To and Cc: re-iterable collections of addresses are
/// joined with ", ", then display names are encoded as above.
Ref address_header(const Env& env, PyObject* value) {
    if (PyList_Check(value) || PyTuple_Check(value) || PyAnySet_Check(value))
        return with_display_names(env, check(PyUnicode_Join(env[S::comma_blank], value)));
    return with_display_names(env, Ref::borrow(value));
}

/// Each attachment item to _attach_binary (dicts) or _attach_file (the
/// rest), through the instance so overrides apply.  The list is re-read on
/// every step: an override may change it.
void add_attachments(const Env& env, PyObject* self, PyObject* msg, PyObject* attachments) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(attachments); ++i) {
        Ref item = check(PyList_GetItemRef(attachments, i));
        S method = PyDict_Check(item.get()) ? S::attach_binary : S::attach_file;
        call_method(self, env[method], msg, item.get());
    }
}

}  // namespace

Ref mailer_build_message(const Env& env, Args args) {
    PyObject* self = args[SELF];
    Ref msg = mime_multipart(env, S::mixed);

    Ref from_addr = nonempty_str(args[SENDER]) ? Ref::borrow(args[SENDER]) : getattr(self, env[S::default_sender]);
    if (nonempty_str(args[SENDER_NAME]))
        set_header(env, msg.get(), S::From, formataddr(env, args[SENDER_NAME], from_addr.get()).get());
    else
        set_header(env, msg.get(), S::From, with_display_names(env, from_addr).get());
    set_header(env, msg.get(), S::To, address_header(env, args[TO]).get());
    set_header(env, msg.get(), S::Subject, args[SUBJECT]);
    set_header(env, msg.get(), S::Date, formatdate_local(env).get());
    if (truth(args[CC])) set_header(env, msg.get(), S::Cc, address_header(env, args[CC]).get());
    if (nonempty_str(args[REPLY_TO]))
        set_header(env, msg.get(), S::Reply_To, with_display_names(env, Ref::borrow(args[REPLY_TO])).get());

    const bool body = nonempty_str(args[BODY]);
    const bool html = nonempty_str(args[HTML]);
    if (body && html) {
        Ref alt = mime_multipart(env, S::alternative);
        attach(env, alt.get(), mime_text(env, args[BODY], S::plain).get());
        attach(env, alt.get(), mime_text(env, args[HTML], S::html_subtype).get());
        attach(env, msg.get(), alt.get());
    } else if (html) {
        attach(env, msg.get(), mime_text(env, args[HTML], S::html_subtype).get());
    } else if (body) {
        attach(env, msg.get(), mime_text(env, args[BODY], S::plain).get());
    }

    if (args[ATTACHMENTS] != Py_None) add_attachments(env, self, msg.get(), args[ATTACHMENTS]);
    return msg;
}

}  // namespace corvenda
