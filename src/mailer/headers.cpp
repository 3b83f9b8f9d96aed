// Header rules: how a message is serialised with its header lines folded
// (RFC 5322), how a display name is encoded without breaking the address
// list around it, and how an attachment's file name becomes its
// Content-Disposition parameter (a MIME token, a quoted or RFC 2231 value, or
// RFC 2231 continuations when one line cannot hold it).  The library does the
// encoding; these rules choose what it is given.
#include "headers.hpp"
#include "stdlib.hpp"

#include <algorithm>

namespace corvenda {

Ref serialise(const Env& env, PyObject* msg) {
    Ref message_type = stdlib_attr(env, S::email_message, S::Message);
    if (!check(PyObject_IsInstance(msg, message_type.get()))) return call_method(msg, env[S::as_string]);
    PyObject* argv[] = {nullptr, msg, env.st.header_width};
    return check(PyObject_VectorcallMethod(env[S::as_string], argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           env.st.kw_maxheaderlen));
}

Ref encode_display_names(const Env& env, PyObject* text) {
    Ref texts = check(PyList_New(1));
    PyList_SET_ITEM(texts.get(), 0, Py_NewRef(text));
    Ref pairs = call(stdlib_attr(env, S::email_utils, S::getaddresses), texts.get());
    Ref formataddr = global(env, S::formataddr);
    Ref addresses = check(PyList_New(0));
    Ref it = check(PyObject_GetIter(pairs.get()));
    while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
        auto [name, addr] = unpack_two(pair.get());
        // An empty address means the text is not an address list; a
        // non-ASCII address cannot be written in a header at all.
        if (!PyUnicode_Check(addr.get()) || PyUnicode_GET_LENGTH(addr.get()) == 0 || !PyUnicode_IS_ASCII(addr.get()))
            return Ref::borrow(text);
        Ref formatted = call(formataddr, pair.get());
        check(PyList_Append(addresses.get(), formatted.get()));
    }
    if (PyErr_Occurred()) throw PyError();
    if (PyList_GET_SIZE(addresses.get()) == 0) return Ref::borrow(text);
    return check(PyUnicode_Join(env[S::comma_blank], addresses.get()));
}

namespace {

/// A MIME token (RFC 2045): printable ASCII without blanks or tspecials.
bool is_token(PyObject* text) {
    if (!PyUnicode_IS_ASCII(text)) return false;
    const char* s = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text));
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(text); i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c <= 0x20 || c >= 0x7f) return false;
        switch (c) {
        case '(': case ')': case '<': case '>': case '@': case ',': case ';': case ':':
        case '\\': case '"': case '/': case '[': case ']': case '?': case '=':
            return false;
        default:
            break;
        }
    }
    return true;
}

// "Content-Disposition: attachment; filename*=" and the line limit of RFC 5322.
constexpr Py_ssize_t disposition_prefix = 43;
constexpr Py_ssize_t max_line = 998;
// Characters of encoded name per continuation, so folded lines stay short.
constexpr Py_ssize_t chunk = 60;

/// Adds the header as RFC 2231 continuations when the single encoded
/// parameter would make a line longer than the limit; false otherwise.
bool add_long_disposition(const Env& env, PyObject* add_header, PyObject* name) {
    // Percent-encoding at most triples a UTF-8 byte, at most four per letter.
    if (disposition_prefix + 12 * PyUnicode_GET_LENGTH(name) <= max_line) return false;
    Ref encoded = call(stdlib_attr(env, S::email_utils, S::encode_rfc2231), name, env[S::utf_8]);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(encoded.get());
    if (disposition_prefix + n <= max_line) return false;

    Ref value = Ref::borrow(env[S::attachment]);
    // Each piece ends before a "%XX" escape it would otherwise cut.
    for (Py_ssize_t start = 0, index = 0; start < n; ++index) {
        Py_ssize_t end = std::min(n, start + chunk);
        if (end < n) {
            if (PyUnicode_READ_CHAR(encoded.get(), end - 1) == '%') end -= 1;
            else if (PyUnicode_READ_CHAR(encoded.get(), end - 2) == '%') end -= 2;
        }
        Ref piece = check(PyUnicode_Substring(encoded.get(), start, end));
        Ref param = check(PyUnicode_FromFormat("; filename*%zd*=%U", index, piece.get()));
        value = check(PyUnicode_Concat(value.get(), param.get()));
        start = end;
    }
    call(add_header, env[S::Content_Disposition], value.get());
    return true;
}

}  // namespace

void add_disposition(const Env& env, PyObject* part, PyObject* filename) {
    Ref name = check(PyObject_Format(filename, env[S::empty]));
    Ref add_header = getattr(part, env[S::add_header]);
    if (is_token(name.get()) || PyUnicode_GET_LENGTH(name.get()) == 0) {
        Ref value = check(PyUnicode_Concat(env[S::attachment_filename], name.get()));
        call(add_header, env[S::Content_Disposition], value.get());
        return;
    }
    if (add_long_disposition(env, add_header.get(), name.get())) return;
    // Blanks, separators and non-ASCII letters need a quoted or RFC 2231
    // parameter, which the library writes when given the name as a keyword.
    PyObject* argv[] = {nullptr, env[S::Content_Disposition], env[S::attachment], name.get()};
    check(PyObject_Vectorcall(add_header.get(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, env.st.kw_filename));
}

}  // namespace corvenda
