// Late-bound access to the standard library: each operation looks its name up
// in the module namespace (then the builtins) when it runs.  Also the pieces
// of the language the calls need, done as the interpreter does them: unpacking
// into two names and the protocol of the with statement.
#include "stdlib.hpp"

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

Ref stdlib_attr(const Env& env, S module, S name) {
    Ref loaded = Ref::steal(PyImport_GetModule(env[module]));
    if (!loaded) {
        if (PyErr_Occurred()) throw PyError();
        loaded = check(PyImport_Import(env[module]));
    }
    return getattr(loaded.get(), env[name]);
}

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

void set_header(const Env& env, PyObject* msg, S name, PyObject* value) {
    check(PyObject_SetItem(msg, env[name], value));
}

void attach(const Env& env, PyObject* parent, PyObject* child) {
    call(getattr(parent, env[S::attach]), child);
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

}  // namespace

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
