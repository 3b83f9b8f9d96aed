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
/// `module.name` for a standard-library name the namespace does not bind:
/// the loaded module from sys.modules (imported when missing), read at each use.
Ref stdlib_attr(const Env& env, S module, S name);

/// `msg[name] = value`
void set_header(const Env& env, PyObject* msg, S name, PyObject* value);
/// `parent.attach(child)`
void attach(const Env& env, PyObject* parent, PyObject* child);

/// `maintype, subtype = content_type.split("/", 1)`
std::pair<Ref, Ref> split_content_type(const Env& env, PyObject* content_type);
/// `a, b = seq`, with the interpreter's ValueError when `seq` has more or
/// fewer than two items.
std::pair<Ref, Ref> unpack_two(PyObject* seq);

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
