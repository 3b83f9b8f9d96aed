// Late-bound access to the standard library: each operation looks its name up
// in the module namespace when it runs.
#include "stdlib.hpp"

#include <algorithm>

namespace corvenda {

Ref global(const Env& env, S name) {
    PyObject* key = env[name];
    PyObject* value = nullptr;
    if (check(PyDict_GetItemRef(env.globals, key, &value))) return Ref::steal(value);
    Ref builtins = check(PyEval_GetFrameBuiltins());
    if (check(PyDict_GetItemRef(builtins.get(), key, &value))) return Ref::steal(value);
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    // Like the interpreter's own NameError, carry the missing name.
    PyObject* exc = PyErr_GetRaisedException();
    if (PyObject_SetAttr(exc, env[S::name], key) < 0) PyErr_Clear();
    PyErr_SetRaisedException(exc);
    throw PyError();
}

namespace {

/// `module.name` for a standard-library name the namespace does not bind:
/// the loaded module from sys.modules (imported when missing), read at each use.
Ref stdlib_attr(const Env& env, S module, S name) {
    Ref loaded = Ref::steal(PyImport_GetModule(env[module]));
    if (!loaded) {
        if (PyErr_Occurred()) throw PyError();
        loaded = check(PyImport_Import(env[module]));
    }
    return getattr(loaded.get(), env[name]);
}

/// `a, b = seq`
std::pair<Ref, Ref> unpack_two(PyObject* seq);

}  // namespace

Ref mime_multipart(const Env& env, S subtype) {
    return call(global(env, S::MIMEMultipart), env[subtype]);
}

Ref mime_text(const Env& env, PyObject* text, S subtype) {
    return call(global(env, S::MIMEText), text, env[subtype], env[S::utf_8]);
}

Ref mime_base(const Env& env, PyObject* maintype, PyObject* subtype) {
    return call(global(env, S::MIMEBase), maintype, subtype);
}

void encode_base64(const Env& env, PyObject* part) {
    Ref encoders = global(env, S::encoders);
    call(getattr(encoders.get(), env[S::encode_base64]), part);
}

Ref formataddr(const Env& env, PyObject* name, PyObject* addr) {
    Ref function = global(env, S::formataddr);
    Ref pair = check(PyTuple_Pack(2, name, addr));
    return call(function, pair.get());
}

Ref formatdate_local(const Env& env) {
    Ref function = global(env, S::formatdate);
    PyObject* argv[] = {nullptr, Py_True};
    return check(PyObject_Vectorcall(function.get(), argv + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, env.st.kw_localtime));
}

Ref guess_type(const Env& env, PyObject* text) {
    Ref mimetypes = global(env, S::mimetypes);
    Ref guess = call(getattr(mimetypes.get(), env[S::guess_type]), text);
    Ref zero = check(PyLong_FromLong(0));
    return check(PyObject_GetItem(guess.get(), zero.get()));
}

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

void set_header(const Env& env, PyObject* msg, S name, PyObject* value) {
    check(PyObject_SetItem(msg, env[name], value));
}

void attach(const Env& env, PyObject* parent, PyObject* child) {
    call(getattr(parent, env[S::attach]), child);
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

}  // namespace

namespace {

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

namespace {

[[noreturn]] void need_more_values(Py_ssize_t got) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
    throw PyError();
}

[[noreturn]] void too_many_values(Py_ssize_t expected) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
    throw PyError();
}

std::pair<Ref, Ref> unpack_two(PyObject* seq) {
    if (PyTuple_CheckExact(seq)) {
        Py_ssize_t n = PyTuple_GET_SIZE(seq);
        if (n > 2) too_many_values(2);
        if (n < 2) need_more_values(n);
        return {Ref::borrow(PyTuple_GET_ITEM(seq, 0)), Ref::borrow(PyTuple_GET_ITEM(seq, 1))};
    }
    if (PyList_CheckExact(seq)) {
        Py_ssize_t n = PyList_GET_SIZE(seq);
        if (n > 2) too_many_values(2);
        if (n < 2) need_more_values(n);
        return {check(PyList_GetItemRef(seq, 0)), check(PyList_GetItemRef(seq, 1))};
    }
    Ref it = check(PyObject_GetIter(seq));
    Ref items[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        items[i] = Ref::steal(PyIter_Next(it.get()));
        if (!items[i]) {
            if (PyErr_Occurred()) throw PyError();
            need_more_values(i);
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) too_many_values(2);
    if (PyErr_Occurred()) throw PyError();
    return {std::move(items[0]), std::move(items[1])};
}

}  // namespace

std::pair<Ref, Ref> split_content_type(const Env& env, PyObject* content_type) {
    Ref parts = call(getattr(content_type, env[S::split]), env[S::slash], env.st.one);
    return unpack_two(parts.get());
}

namespace detail {

namespace {

/// Special-method lookup as the interpreter does it: on the type, bound to
/// the instance through the descriptor protocol.
Ref lookup_special(PyObject* obj, PyObject* name) {
    PyTypeObject* type = Py_TYPE(obj);
    // The real MRO, as the interpreter uses it: a metaclass may present a
    // different __mro__ attribute.
    Ref mro = Ref::borrow(type->tp_mro);
    if (!mro) return {};
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(mro.get()); i < n; ++i) {
        Ref dict = check(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i))));
        PyObject* found = nullptr;
        if (!check(PyDict_GetItemRef(dict.get(), name, &found))) continue;
        Ref attr = Ref::steal(found);
        descrgetfunc get = Py_TYPE(found)->tp_descr_get;
        if (!get) return attr;
        return check(get(found, obj, reinterpret_cast<PyObject*>(type)));
    }
    return {};
}

[[noreturn]] void not_a_context_manager(PyObject* obj, const char* missing) {
    PyErr_Format(PyExc_TypeError,
                 "'%.200s' object does not support the context manager protocol (missed %s method)",
                 Py_TYPE(obj)->tp_name, missing);
    throw PyError();
}

}  // namespace

ContextManager enter(const Env& env, PyObject* cm) {
    ContextManager ctx;
    ctx.exit = lookup_special(cm, env[S::exit]);
    if (!ctx.exit) not_a_context_manager(cm, "__exit__");
    Ref enter = lookup_special(cm, env[S::enter]);
    if (!enter) not_a_context_manager(cm, "__enter__");
    ctx.entered = call(enter);
    return ctx;
}

bool exit_with(ContextManager& ctx, PyError& error) {
    PyObject* exc = error.value();
    Ref traceback = Ref::steal(PyException_GetTraceback(exc));
    // While __exit__ runs the failure is the exception being handled, so
    // one raised by __exit__ chains to it as in a with statement.
    PyObject* handled = PyErr_GetHandledException();
    PyErr_SetHandledException(exc);
    PyObject* result = PyObject_CallFunctionObjArgs(ctx.exit.get(), reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc,
                                                    traceback ? traceback.get() : Py_None, nullptr);
    PyErr_SetHandledException(handled);
    Py_XDECREF(handled);
    Ref suppress = check(result);
    return truth(suppress.get());
}

void exit_clean(ContextManager& ctx) {
    call(ctx.exit, Py_None, Py_None, Py_None);
}

}  // namespace detail

}  // namespace corvenda
