// Per-module state: what a module holds (the method type, the builtins kept
// at import, the mailer module), the interned strings and the constants every
// call uses.  Nothing here changes after import.
#pragma once

#include "common.hpp"

namespace corvenda {

// Interned strings, by identifier and text.
#define CORVENDA_STRINGS(X)                                   \
    /* names bound in the module namespace */                 \
    X(smtplib, "smtplib")                                     \
    X(ssl, "ssl")                                             \
    X(mimetypes, "mimetypes")                                 \
    X(datetime, "datetime")                                   \
    X(MIMEMultipart, "MIMEMultipart")                         \
    X(MIMEText, "MIMEText")                                   \
    X(MIMEBase, "MIMEBase")                                   \
    X(encoders, "encoders")                                   \
    X(formataddr, "formataddr")                               \
    X(formatdate, "formatdate")                               \
    X(List, "List")                                           \
    X(Optional, "Optional")                                   \
    X(Union, "Union")                                         \
    X(Dict, "Dict")                                           \
    X(Path, "Path")                                           \
    X(TemplateEngine, "TemplateEngine")                       \
    X(EasyMailer, "EasyMailer")                               \
    /* standard-library names outside the namespace */        \
    X(email_message, "email.message")                         \
    X(Message, "Message")                                     \
    X(email_utils, "email.utils")                             \
    X(getaddresses, "getaddresses")                           \
    X(encode_rfc2231, "encode_rfc2231")                       \
    /* attributes and methods */                              \
    X(create_default_context, "create_default_context")       \
    X(SMTP_SSL, "SMTP_SSL")                                   \
    X(SMTP, "SMTP")                                           \
    X(context, "context")                                     \
    X(starttls, "starttls")                                   \
    X(login, "login")                                         \
    X(sendmail, "sendmail")                                   \
    X(as_string, "as_string")                                 \
    X(host, "host")                                           \
    X(port, "port")                                           \
    X(username, "username")                                   \
    X(password, "password")                                   \
    X(use_ssl, "use_ssl")                                     \
    X(use_tls, "use_tls")                                     \
    X(default_sender, "default_sender")                       \
    X(template_engine_attr, "_template_engine")               \
    X(render, "render")                                       \
    X(render_string, "render_string")                         \
    X(now, "now")                                             \
    X(strftime, "strftime")                                   \
    X(guess_type, "guess_type")                               \
    X(is_file, "is_file")                                     \
    X(name, "name")                                           \
    X(read, "read")                                           \
    X(set_payload, "set_payload")                             \
    X(encode_base64, "encode_base64")                         \
    X(add_header, "add_header")                               \
    X(attach, "attach")                                       \
    X(split, "split")                                         \
    X(add_note, "add_note")                                   \
    X(send, "send")                                           \
    X(build_message, "_build_message")                        \
    X(collect_recipients, "_collect_recipients")              \
    X(do_send, "_do_send")                                    \
    X(attach_file, "_attach_file")                            \
    X(attach_binary, "_attach_binary")                        \
    X(enter, "__enter__")                                     \
    X(exit, "__exit__")                                       \
    X(localtime, "localtime")                                 \
    X(maxheaderlen, "maxheaderlen")                           \
    X(filename, "filename")                                   \
    X(data, "data")                                           \
    X(content_type, "content_type")                           \
    X(dunder_module, "__module__")                            \
    X(dunder_qualname, "__qualname__")                        \
    X(dunder_doc, "__doc__")                                  \
    X(dunder_name, "__name__")                                \
    /* parameter names used by keyword */                     \
    X(to, "to")                                               \
    X(subject, "subject")                                     \
    X(body, "body")                                           \
    X(html, "html")                                           \
    X(cc, "cc")                                               \
    X(bcc, "bcc")                                             \
    X(sender, "sender")                                       \
    X(sender_name, "sender_name")                             \
    X(attachments, "attachments")                             \
    X(reply_to, "reply_to")                                   \
    /* values */                                              \
    X(mixed, "mixed")                                         \
    X(alternative, "alternative")                             \
    X(plain, "plain")                                         \
    X(html_subtype, "html")                                   \
    X(utf_8, "utf-8")                                         \
    X(From, "From")                                           \
    X(To, "To")                                               \
    X(Subject, "Subject")                                     \
    X(Date, "Date")                                           \
    X(Cc, "Cc")                                               \
    X(Reply_To, "Reply-To")                                   \
    X(Content_Disposition, "Content-Disposition")             \
    X(attachment, "attachment")                               \
    X(attachment_filename, "attachment; filename=")           \
    X(comma_blank, ", ")                                      \
    X(slash, "/")                                             \
    X(octet_stream, "application/octet-stream")               \
    X(dot_html, ".html")                                      \
    X(dot_txt, ".txt")                                        \
    X(occurred_at, "occurred_at")                             \
    X(timestamp_format, "%Y-%m-%d %H:%M:%S")                  \
    X(empty, "")                                              \
    X(rb, "rb")                                               \
    X(not_found, "Attachment not found: ")                  \
    /* the bulk transaction (corvenda._bulk) */              \
    X(has_extn, "has_extn")                                   \
    X(pipelining, "pipelining")                               \
    X(size, "size")                                           \
    X(getreply, "getreply")                                   \
    X(ehlo_or_helo_if_needed, "ehlo_or_helo_if_needed")       \
    X(quoteaddr, "quoteaddr")                                 \
    X(SMTPSenderRefused, "SMTPSenderRefused")                 \
    X(SMTPRecipientsRefused, "SMTPRecipientsRefused")         \
    X(SMTPDataError, "SMTPDataError")

enum class S : int {
#define CORVENDA_ENUM(id, text) id,
    CORVENDA_STRINGS(CORVENDA_ENUM)
#undef CORVENDA_ENUM
    count_
};

// References a module takes at exec and holds for its lifetime: type and
// field.  Each is filled by the module that uses it and stays NULL in the
// other; module_traverse visits them, module_clear drops them.
#define CORVENDA_HELD(X)                                                         \
    X(PyTypeObject*, function_type) /* corvenda.mailer: the method objects */    \
    X(PyObject*, staticmethod)      /* corvenda.mailer: builtins kept */         \
    X(PyObject*, open)                                                           \
    X(PyObject*, mailer_module)     /* corvenda._bulk: whose namespace it uses */

// Constants every module of the package makes alike (init_shared_state):
// field and the expression that makes it.
#define CORVENDA_CONSTANTS(X)                                                    \
    X(kw_localtime, keywords(st, {S::localtime}))                                \
    X(kw_context, keywords(st, {S::context}))                                    \
    X(kw_filename, keywords(st, {S::filename}))                                  \
    /* the nine keywords send passes to _build_message */                        \
    X(kw_build_message, keywords(st, {S::to, S::subject, S::body, S::html, S::cc, \
                                      S::sender, S::sender_name, S::attachments,  \
                                      S::reply_to}))                              \
    /* the ten keywords send_template passes to send */                          \
    X(kw_send, keywords(st, {S::to, S::subject, S::body, S::html, S::cc, S::bcc,  \
                             S::sender, S::sender_name, S::attachments,           \
                             S::reply_to}))                                       \
    X(one, number(1))                                                            \
    X(kw_maxheaderlen, keywords(st, {S::maxheaderlen}))                          \
    /* folded header lines (RFC 5322) */                                         \
    X(header_width, number(78))

struct ModuleState {
#define CORVENDA_FIELD(type, field) type field;
    CORVENDA_HELD(CORVENDA_FIELD)
#undef CORVENDA_FIELD
    PyObject* strings[static_cast<int>(S::count_)];
#define CORVENDA_FIELD(field, make) PyObject* field;
    CORVENDA_CONSTANTS(CORVENDA_FIELD)
#undef CORVENDA_FIELD

    PyObject* operator[](S id) const noexcept { return strings[static_cast<int>(id)]; }
};

/// Makes the strings and the constants; the same for each module of the
/// package that shares these units.
void init_shared_state(ModuleState& st);

/// The slots every module of the package uses: visit and drop all it holds
/// (what exec did not get to is NULL).
int module_traverse(PyObject* module, visitproc visit, void* arg) noexcept;
int module_clear(PyObject* module) noexcept;
void module_free(void* module) noexcept;

/// The initialisation slots of a module whose `Exec` fills a ModuleState.
template <int (*Exec)(PyObject*) noexcept>
PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(Exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    // No mutable state is shared: the module state is fixed at import and a
    // method object only fills its signature cache once (fill_once).
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

/// The definition of a module of the package, with a ModuleState.
inline PyModuleDef module_def(const char* name, const char* doc, PyMethodDef* methods, PyModuleDef_Slot* slots) {
    return {PyModuleDef_HEAD_INIT, name, doc, sizeof(ModuleState), methods, slots, module_traverse, module_clear,
            module_free};
}

inline ModuleState& state_of(PyObject* module) noexcept {
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}

/// What a method body needs from its module: the state and the namespace.
struct Env {
    const ModuleState& st;
    PyObject* globals;  // the module dict, kept alive by the module

    PyObject* operator[](S id) const noexcept { return st[id]; }
};

}  // namespace corvenda
