// The standard library as the mailer uses it.  Every name is looked up in the
// module namespace (then the builtins) at the moment of use, so rebinding
// `corvenda.mailer.MIMEBase` and the like changes the next call.
#pragma once

#include "state.hpp"

#include <utility>

namespace corvenda {

/// Value of a module-level name: the module dict first, then the builtins;
/// NameError "name 'X' is not defined" when neither has it.
Ref global(const Env& env, S name);

/// `MIMEMultipart(subtype)`
Ref mime_multipart(const Env& env, S subtype);
/// `MIMEText(text, subtype, "utf-8")`
Ref mime_text(const Env& env, PyObject* text, S subtype);
/// `MIMEBase(maintype, subtype)`
Ref mime_base(const Env& env, PyObject* maintype, PyObject* subtype);
/// `encoders.encode_base64(part)`
void encode_base64(const Env& env, PyObject* part);
/// `formataddr((name, addr))`
Ref formataddr(const Env& env, PyObject* name, PyObject* addr);
/// `formatdate(localtime=True)`
Ref formatdate_local(const Env& env);
/// `mimetypes.guess_type(text)[0]`
Ref guess_type(const Env& env, PyObject* text);

/// `msg.as_string(maxheaderlen=78)` when `msg` is an `email.message.Message`,
/// so no header line exceeds the limit of RFC 5322; `msg.as_string()` for
/// any other object.
Ref serialise(const Env& env, PyObject* msg);
/// Address-list text with non-ASCII letters, re-written address by address
/// (`email.utils.getaddresses`, then `formataddr` on each, joined with ", ")
/// so that only display names are encoded.  Text that does not parse as a
/// list of ASCII addresses comes back unchanged.
Ref encode_display_names(const Env& env, PyObject* text);

/// `msg[name] = value`
void set_header(const Env& env, PyObject* msg, S name, PyObject* value);
/// `parent.attach(child)`
void attach(const Env& env, PyObject* parent, PyObject* child);
/// The Content-Disposition header of an attachment part: "attachment;
/// filename=" and the text of `filename` when that is a MIME token, else the
/// library's own quoted or RFC 2231 parameter; a name too long for one
/// header line as RFC 2231 continuations, which folding can break between.
void add_disposition(const Env& env, PyObject* part, PyObject* filename);

/// `maintype, subtype = content_type.split("/", 1)`
std::pair<Ref, Ref> split_content_type(const Env& env, PyObject* content_type);

/// Runs `body(entered)` inside `with cm as entered:`, with the statement's
/// exact protocol: special-method lookup on the type, `__exit__` called with
/// the pending exception (a true result suppresses it) or with three Nones.
template <typename Body>
void with_block(const Env& env, PyObject* cm, Body&& body);

namespace detail {
struct ContextManager {
    Ref exit;     // bound __exit__
    Ref entered;  // result of __enter__
};
ContextManager enter(const Env& env, PyObject* cm);
/// Leaves the block after a failure; returns true when __exit__ suppressed it.
bool exit_with(ContextManager& cm, PyError& error);
void exit_clean(ContextManager& cm);
}  // namespace detail

template <typename Body>
void with_block(const Env& env, PyObject* cm, Body&& body) {
    detail::ContextManager ctx = detail::enter(env, cm);
    try {
        body(ctx.entered.get());
    } catch (PyError& error) {
        if (detail::exit_with(ctx, error)) return;
        throw;
    }
    detail::exit_clean(ctx);
}

}  // namespace corvenda
