// corvenda._bulk: the connection sequence and the mail transaction for
// corvenda.bulk, which keeps one logged-in connection for many messages.
// Names such as smtplib and ssl are looked up in corvenda.mailer's
// namespace, so both modules connect the same way.
#include "session.hpp"
#include "transaction.hpp"

#include <new>

namespace corvenda {

namespace {

struct BulkState {
    ModuleState shared;
    PyObject* mailer_module;  // corvenda.mailer, whose namespace the calls use
};

BulkState& bulk_state(PyObject* module) noexcept { return *static_cast<BulkState*>(PyModule_GetState(module)); }

/// Runs `body(env)` with the error idiom of an entry point.
template <typename Body>
PyObject* entry(PyObject* module, Body&& body) noexcept {
    try {
        BulkState& st = bulk_state(module);
        Ref mailer_module = Ref::borrow(st.mailer_module);
        Env env{st.shared, PyModule_GetDict(mailer_module.get())};
        return body(env).release();
    } catch (PyError& error) {
        error.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return nullptr;
}

bool arity(const char* name, Py_ssize_t nargs, Py_ssize_t expected) {
    if (nargs == expected) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd positional arguments (%zd given)", name, expected, nargs);
    return false;
}

PyObject* bulk_open(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (!arity("open", nargs, 1)) return nullptr;
    return entry(module, [&](const Env& env) { return open_session(env, args[0]); });
}

PyObject* bulk_submit(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (!arity("submit", nargs, 4)) return nullptr;
    return entry(module, [&](const Env& env) { return submit(env, args[0], args[1], args[2], args[3]); });
}

PyMethodDef bulk_methods[] = {
    {"open", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bulk_open)), METH_FASTCALL,
     "open(mailer, /)\n--\n\nA client connected, secured and logged in as `mailer` is configured."},
    {"submit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bulk_submit)), METH_FASTCALL,
     "submit(server, msg, sender, recipients, /)\n--\n\n"
     "One mail transaction: (accepted, refused, code, text, error)."},
    {nullptr, nullptr, 0, nullptr},
};

int bulk_exec(PyObject* module) noexcept {
    try {
        BulkState& st = bulk_state(module);
        init_shared_state(st.shared);
        // "corvenda._bulk" -> "corvenda.mailer", wherever the package lives.
        Ref name = check(PyModule_GetNameObject(module));
        Ref parts = check(PyUnicode_RPartition(name.get(), check(PyUnicode_FromString(".")).get()));
        Ref mailer_name = check(PyUnicode_FromFormat("%Umailer", PyTuple_GET_ITEM(parts.get(), 0)));
        if (PyUnicode_GET_LENGTH(PyTuple_GET_ITEM(parts.get(), 1)) > 0)
            mailer_name = check(PyUnicode_FromFormat("%U.mailer", PyTuple_GET_ITEM(parts.get(), 0)));
        st.mailer_module = check(PyImport_Import(mailer_name.get())).release();
        return 0;
    } catch (PyError& error) {
        error.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return -1;
}

int bulk_traverse(PyObject* module, visitproc visit, void* arg) noexcept {
    Py_VISIT(bulk_state(module).mailer_module);
    return 0;
}

int bulk_clear(PyObject* module) noexcept {
    BulkState& st = bulk_state(module);
    Py_CLEAR(st.mailer_module);
    clear_shared_state(st.shared);
    return 0;
}

void bulk_free(void* module) noexcept { bulk_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot bulk_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(bulk_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef bulk_module = {
    PyModuleDef_HEAD_INIT,
    "_bulk",
    "Connection sequence and mail transaction behind corvenda.bulk.",
    sizeof(BulkState),
    bulk_methods,
    bulk_slots,
    bulk_traverse,
    bulk_clear,
    bulk_free,
};

}  // namespace

}  // namespace corvenda

PyMODINIT_FUNC PyInit__bulk() { return PyModuleDef_Init(&corvenda::bulk_module); }
