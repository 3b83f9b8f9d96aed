// corvenda._bulk: the connection sequence and the mail transaction for
// corvenda.bulk, which keeps one logged-in connection for many messages.
// Names such as smtplib and ssl are looked up in corvenda.mailer's
// namespace, so both modules connect the same way.
#include "session.hpp"
#include "transaction.hpp"

namespace corvenda {

namespace {

/// Runs `body(env)` as an entry point, in the mailer module's namespace.
template <typename Body>
PyObject* entry(PyObject* module, Body&& body) noexcept {
    return at_boundary<PyObject*>(nullptr, [&] {
        const ModuleState& st = state_of(module);
        Ref mailer_module = Ref::borrow(st.mailer_module);
        Env env{st, PyModule_GetDict(mailer_module.get())};
        return body(env).release();
    });
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
    return at_boundary(-1, [&] {
        ModuleState& st = state_of(module);
        init_shared_state(st);
        // "corvenda._bulk" -> "corvenda.mailer", wherever the package lives.
        Ref name = check(PyModule_GetNameObject(module));
        Ref parts = check(PyUnicode_RPartition(name.get(), check(PyUnicode_FromString(".")).get()));
        Ref mailer_name = check(PyUnicode_FromFormat("%Umailer", PyTuple_GET_ITEM(parts.get(), 0)));
        if (PyUnicode_GET_LENGTH(PyTuple_GET_ITEM(parts.get(), 1)) > 0)
            mailer_name = check(PyUnicode_FromFormat("%U.mailer", PyTuple_GET_ITEM(parts.get(), 0)));
        st.mailer_module = check(PyImport_Import(mailer_name.get())).release();
        return 0;
    });
}

PyModuleDef bulk_module = module_def("_bulk", "Connection sequence and mail transaction behind corvenda.bulk.",
                                      bulk_methods, module_slots<bulk_exec>);

}  // namespace

}  // namespace corvenda

PyMODINIT_FUNC PyInit__bulk() { return PyModuleDef_Init(&corvenda::bulk_module); }
