// The header rules of every message the package writes: lines folded to the
// limit of RFC 5322, attachment names as MIME tokens, quoted or RFC 2231
// parameters, and display names encoded one address at a time.
#pragma once

#include "state.hpp"

namespace corvenda {

/// `msg.as_string(maxheaderlen=78)` when `msg` is an `email.message.Message`,
/// so no header line exceeds the limit of RFC 5322; `msg.as_string()` for
/// any other object.
Ref serialise(const Env& env, PyObject* msg);

/// Address-list text with non-ASCII letters, re-written address by address
/// (`email.utils.getaddresses`, then `formataddr` on each, joined with ", ")
/// so that only display names are encoded.  Text that does not parse as a
/// list of ASCII addresses comes back unchanged.
Ref encode_display_names(const Env& env, PyObject* text);

/// The Content-Disposition header of an attachment part: "attachment;
/// filename=" and the text of `filename` when that is a MIME token, else the
/// library's own quoted or RFC 2231 parameter; a name too long for one
/// header line as RFC 2231 continuations, which folding can break between.
void add_disposition(const Env& env, PyObject* part, PyObject* filename);

}  // namespace corvenda
