// Module entry: multi-phase initialisation, the imports that fill the module
// namespace, and the creation of the EasyMailer class.
#include "function.hpp"

namespace corvenda {

namespace {

constexpr const char* class_doc =
    "\n"
    "    简易邮件发送工具,支持纯文本、HTML格式以及基于模板的邮件发送。\n"
    "\n"
    "    使用示例：\n"
    "        mailer = EasyMailer(\n"
    "            host=\"smtp.example.com\",\n"
    "            port=465,\n"
    "            username=\"sender@example.com\",\n"
    "            password=\"your-password\",\n"
    "            use_ssl=True\n"
    "        )\n"
    "        mailer.send(\n"
    "            to=\"recipient@example.com\",\n"
    "            subject=\"Hello\",\n"
    "            body=\"This is a test email.\"\n"
    "        )\n"
    "    ";

void init_state(PyObject* module) {
    ModuleState& st = state_of(module);
    st.function_type = make_function_type(module);
    init_shared_state(st);
}

/// A builtin kept for the module's lifetime.
PyObject* builtin(const char* name) {
    Ref builtins = check(PyEval_GetFrameBuiltins());
    PyObject* value = nullptr;
    if (!check(PyDict_GetItemStringRef(builtins.get(), name, &value))) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw PyError();
    }
    return value;
}

/// `from <module> import <names>` at `level`, binding each name as soon as
/// it is read; with no names, `import <module>` binding the module itself.
void import_into(PyObject* globals, const char* module, std::initializer_list<const char*> names, int level = 0) {
    Ref module_name = check(PyUnicode_FromString(module));
    if (names.size() == 0) {
        Ref imported = check(PyImport_ImportModuleLevelObject(module_name.get(), globals, nullptr, nullptr, level));
        check(PyDict_SetItem(globals, module_name.get(), imported.get()));
        return;
    }
    Ref fromlist = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* name : names) PyTuple_SET_ITEM(fromlist.get(), i++, check(PyUnicode_FromString(name)).release());
    Ref imported = check(PyImport_ImportModuleLevelObject(module_name.get(), globals, nullptr, fromlist.get(), level));
    for (i = 0; i < PyTuple_GET_SIZE(fromlist.get()); ++i) {
        PyObject* name = PyTuple_GET_ITEM(fromlist.get(), i);
        PyObject* value = nullptr;
        if (!check(PyObject_GetOptionalAttr(imported.get(), name, &value))) {
            // Not an attribute: a submodule already loaded under the package.
            Ref package = check(PyModule_GetNameObject(imported.get()));
            Ref full = check(PyUnicode_FromFormat("%U.%U", package.get(), name));
            Ref modules = Ref::borrow(PyImport_GetModuleDict());
            if (!check(PyDict_GetItemRef(modules.get(), full.get(), &value))) {
                PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
                throw PyError();
            }
        }
        Ref owned = Ref::steal(value);
        check(PyDict_SetItem(globals, name, value));
    }
}

void create_class(PyObject* module, PyObject* globals) {
    const ModuleState& st = state_of(module);
    PyObject* class_name = st[S::EasyMailer];
    Ref ns = check(PyDict_New());
    Ref module_name = check(PyModule_GetNameObject(module));
    check(PyDict_SetItem(ns.get(), st[S::dunder_module], module_name.get()));
    check(PyDict_SetItem(ns.get(), st[S::dunder_qualname], class_name));
    Ref doc = check(PyUnicode_FromString(class_doc));
    check(PyDict_SetItem(ns.get(), st[S::dunder_doc], doc.get()));
    for (const MethodInfo& info : mailer_methods()) {
        Ref method = make_function(module, info, class_name);
        if (info.is_static) method = call(st.staticmethod, method.get());
        check(PyDict_SetItemString(ns.get(), info.name, method.get()));
    }
    Ref bases = check(PyTuple_New(0));
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), class_name, bases.get(), ns.get());
    check(PyDict_SetItem(globals, class_name, cls.get()));
}

int mailer_exec(PyObject* module) noexcept {
    return at_boundary(-1, [&] {
        init_state(module);
        ModuleState& st = state_of(module);
        st.staticmethod = builtin("staticmethod");
        st.open = builtin("open");

        PyObject* globals = PyModule_GetDict(module);
        import_into(globals, "smtplib", {});
        import_into(globals, "ssl", {});
        import_into(globals, "mimetypes", {});
        import_into(globals, "datetime", {"datetime"});
        import_into(globals, "email.mime.multipart", {"MIMEMultipart"});
        import_into(globals, "email.mime.text", {"MIMEText"});
        import_into(globals, "email.mime.base", {"MIMEBase"});
        import_into(globals, "email", {"encoders"});
        import_into(globals, "email.utils", {"formataddr", "formatdate"});
        import_into(globals, "typing", {"List", "Optional", "Union", "Dict"});
        import_into(globals, "pathlib", {"Path"});
        import_into(globals, "template", {"TemplateEngine"}, 1);

        create_class(module, globals);
        return 0;
    });
}

PyModuleDef mailer_module = module_def("mailer", nullptr, nullptr, module_slots<mailer_exec>);

}  // namespace

}  // namespace corvenda

PyMODINIT_FUNC PyInit_mailer() { return PyModuleDef_Init(&corvenda::mailer_module); }
