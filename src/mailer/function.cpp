// The method object type and the argument binder that all methods share.
#include "function.hpp"

#include <cstring>
#include <string_view>

namespace corvenda {

namespace {

/// What the binder does with a parameter after binding, derived from its
/// annotation text.
enum class Check : std::uint8_t {
    None,    // not tested (no annotation, a Union, or not a built-in type)
    ToInt,   // "int": number conversion, then an exact-int test
    ToBool,  // "bool": truth value
    Str,     // "str", "Optional[str]"
    List,    // "List[...]", "Optional[List[...]]"
    Dict,    // "Dict", "dict", "Optional[dict]"
};

struct Test {
    Check check;
    bool none_ok;  // the annotation begins with Optional
};

Test test_for(const char* annotation) {
    if (!annotation) return {Check::None, false};
    std::string_view text(annotation);
    bool optional = text.starts_with("Optional[") && text.ends_with("]");
    if (optional) text = text.substr(9, text.size() - 10);
    Check check = Check::None;
    if (text == "str") check = Check::Str;
    else if (text == "int") check = Check::ToInt;
    else if (text == "bool") check = Check::ToBool;
    else if (text == "dict" || text == "Dict" || text.starts_with("Dict[")) check = Check::Dict;
    else if (text == "list" || text.starts_with("List[")) check = Check::List;
    return {check, optional};
}

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodInfo* info;
    PyObject* module;       // strong: the namespace and state every call uses
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;          // None when absent
    PyObject* defaults;     // tuple, or None
    PyObject* annotations;  // dict of str
    PyObject* names;        // tuple of interned parameter names
    PyObject* signature;    // built on first use (fill_once)
    int nparams;
    int nrequired;
    Test tests[max_params];
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// -- argument binding --------------------------------------------------------

void count_error(const char* name, bool exact, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given) {
    Py_ssize_t expected = given < min ? min : max;
    const char* more_or_less = exact ? "exactly" : given < min ? "at least" : "at most";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name, more_or_less,
                 expected, expected == 1 ? "" : "s", given);
}

/// Index of the keyword `key` among the parameter names, or -1.
Py_ssize_t param_index(PyObject* names, PyObject* key) {
    Py_ssize_t n = PyTuple_GET_SIZE(names);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyTuple_GET_ITEM(names, i) == key) return i;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyUnicode_Compare(PyTuple_GET_ITEM(names, i), key) == 0) return i;
    return -1;
}

/// Value passed by keyword for `name`, or nullptr.
PyObject* keyword_value(PyObject* name, PyObject* kwnames, PyObject* const* kwvalues) {
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n; ++k)
        if (PyTuple_GET_ITEM(kwnames, k) == name) return kwvalues[k];
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0) return kwvalues[k];
    }
    return nullptr;
}

/// Fills `bound` in parameter order; returns false with a TypeError set.
bool bind(const FunctionObject* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) {
    const char* name = fn->info->name;
    const int max = fn->nparams, min = fn->nrequired;
    const bool exact = min == max;
    if (nargs > max) {
        count_error(name, exact, min, max, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    Py_ssize_t matched = 0;
    for (Py_ssize_t i = nargs; i < max; ++i) {
        PyObject* value = nkw ? keyword_value(PyTuple_GET_ITEM(fn->names, i), kwnames, args + nargs) : nullptr;
        if (value) {
            bound[i] = value;
            ++matched;
        } else if (i < min) {
            count_error(name, exact, min, max, i);
            return false;
        } else {
            bound[i] = PyTuple_GET_ITEM(fn->defaults, i - min);
        }
    }
    if (matched == nkw) return true;

    // Some keyword did not fill a parameter: report the first such one.
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
            return false;
        }
        Py_ssize_t index = param_index(fn->names, key);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, key);
            return false;
        }
        if (index < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name, key);
            return false;
        }
    }
    return true;
}

// -- conversions and exact-type tests -----------------------------------------

[[noreturn]] void type_error(const ModuleState& st, PyObject* param, const char* expected, PyObject* arg,
                             bool subclass) {
    Ref message = check(PyUnicode_FromFormat("Argument '%.200U' has incorrect type (expected %.200s, got %.200s)",
                                             param, expected, Py_TYPE(arg)->tp_name));
    Ref exc = call(PyExc_TypeError, message.get());
    if (subclass) {
        Ref note = check(PyUnicode_FromFormat(
            "corvenda.mailer checks argument types more strictly than type hints require and rejects "
            "subclasses of built-in types, so pass a plain %s.",
            expected));
        call_method(exc.get(), st[S::add_note], note.get());
    }
    PyErr_SetRaisedException(exc.release());
    throw PyError();
}

/// Converts "int" and "bool" parameters, then tests every annotated one, in
/// parameter order; converted values are owned by `owned`.
void convert_and_test(const FunctionObject* fn, const ModuleState& st, PyObject** bound, Ref* owned) {
    for (int i = 0; i < fn->nparams; ++i) {
        PyObject* value = bound[i];
        switch (fn->tests[i].check) {
        case Check::ToInt:
            if (PyLong_CheckExact(value)) break;
            if (!PyNumber_Check(value)) type_error(st, PyTuple_GET_ITEM(fn->names, i), "int", value, false);
            owned[i] = check(PyNumber_Long(value));
            bound[i] = owned[i].get();
            break;
        case Check::ToBool:
            bound[i] = truth(value) ? Py_True : Py_False;
            break;
        default:
            break;
        }
    }
    for (int i = 0; i < fn->nparams; ++i) {
        PyObject* value = bound[i];
        const Test test = fn->tests[i];
        if (test.none_ok && value == Py_None) continue;
        const char* expected = nullptr;
        bool subclass = false;
        switch (test.check) {
        case Check::Str:
            if (PyUnicode_CheckExact(value)) continue;
            expected = "str", subclass = PyUnicode_Check(value);
            break;
        case Check::ToInt:
            if (PyLong_CheckExact(value)) continue;
            expected = "int", subclass = PyLong_Check(value);
            break;
        case Check::List:
            if (PyList_CheckExact(value)) continue;
            expected = "list", subclass = PyList_Check(value);
            break;
        case Check::Dict:
            if (PyDict_CheckExact(value)) continue;
            expected = "dict", subclass = PyDict_Check(value);
            break;
        default:
            continue;
        }
        type_error(st, PyTuple_GET_ITEM(fn->names, i), expected, value, subclass);
    }
}

/// Keeps the C stack from overflowing when overrides recurse through us.
struct RecursionGuard {
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" in a corvenda.mailer method")) throw PyError();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    FunctionObject* fn = as_function(callable);
    PyObject* bound[max_params];
    if (!bind(fn, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) return nullptr;
    return at_boundary<PyObject*>(nullptr, [&] {
        const ModuleState& st = state_of(fn->module);
        Ref owned[max_params];
        convert_and_test(fn, st, bound, owned);
        RecursionGuard guard;
        return fn->info->impl(Env{st, PyModule_GetDict(fn->module)}, bound).release();
    });
}

// -- the type -----------------------------------------------------------------

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject* fn = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->module);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->signature);
    return 0;
}

int function_clear(PyObject* self) noexcept {
    FunctionObject* fn = as_function(self);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->module_name);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->names);
    Py_CLEAR(fn->signature);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_get_globals(PyObject* self, void*) noexcept {
    return Py_NewRef(PyModule_GetDict(as_function(self)->module));
}

PyObject* function_get_kwdefaults(PyObject*, void*) noexcept { return Py_NewRef(Py_None); }

/// inspect.Signature of the method: its real parameters, defaults and
/// annotation strings, for inspect.signature() and help().
Ref build_signature(FunctionObject* fn) {
    Ref inspect = check(PyImport_ImportModule("inspect"));
    Ref parameter = check(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature = check(PyObject_GetAttrString(inspect.get(), "Signature"));
    Ref kind = check(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
    Ref params = check(PyList_New(0));
    for (int i = 0; i < fn->nparams; ++i) {
        PyObject* name = PyTuple_GET_ITEM(fn->names, i);
        Ref kwargs = check(PyDict_New());
        if (i >= fn->nrequired)
            check(PyDict_SetItemString(kwargs.get(), "default", PyTuple_GET_ITEM(fn->defaults, i - fn->nrequired)));
        PyObject* annotation = nullptr;
        if (check(PyDict_GetItemRef(fn->annotations, name, &annotation))) {
            Ref owned = Ref::steal(annotation);
            check(PyDict_SetItemString(kwargs.get(), "annotation", annotation));
        }
        Ref args = check(PyTuple_Pack(2, name, kind.get()));
        Ref param = check(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
        check(PyList_Append(params.get(), param.get()));
    }
    Ref kwargs = check(PyDict_New());
    if (fn->info->return_annotation) {
        Ref text = check(PyUnicode_FromString(fn->info->return_annotation));
        check(PyDict_SetItemString(kwargs.get(), "return_annotation", text.get()));
    }
    Ref args = check(PyTuple_Pack(1, params.get()));
    return check(PyObject_Call(signature.get(), args.get(), kwargs.get()));
}

/// A field filled on first use, read and written under the object's critical
/// section.  The value is built outside it: building runs Python code, which
/// may suspend the section and let another thread fill the field first; then
/// the field keeps the first value and the other thread's copy is dropped.
template <typename Build>
PyObject* fill_once([[maybe_unused]] PyObject* self, PyObject** field, Build build) noexcept {
    PyObject* result = nullptr;
    Py_BEGIN_CRITICAL_SECTION(self);
    result = Py_XNewRef(*field);
    Py_END_CRITICAL_SECTION();
    if (result) return result;
    try {
        Ref built = build();
        Py_BEGIN_CRITICAL_SECTION(self);
        if (!*field) *field = built.release();
        result = Py_NewRef(*field);
        Py_END_CRITICAL_SECTION();
    } catch (PyError& error) {
        error.restore();
    }
    return result;
}

PyObject* function_get_signature(PyObject* self, void*) noexcept {
    FunctionObject* fn = as_function(self);
    return fill_once(self, &fn->signature, [fn] { return build_signature(fn); });
}

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {"__name__", Py_T_OBJECT_EX, offsetof(FunctionObject, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(FunctionObject, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module_name), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), Py_READONLY, nullptr},
    {"__defaults__", Py_T_OBJECT_EX, offsetof(FunctionObject, defaults), Py_READONLY, nullptr},
    {"__annotations__", Py_T_OBJECT_EX, offsetof(FunctionObject, annotations), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__globals__", function_get_globals, nullptr, nullptr, nullptr},
    {"__kwdefaults__", function_get_kwdefaults, nullptr, nullptr, nullptr},
    {"__signature__", function_get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "corvenda.mailer.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

Ref text(const char* s) { return check(PyUnicode_FromString(s)); }

}  // namespace

PyTypeObject* make_function_type(PyObject* module) {
    return reinterpret_cast<PyTypeObject*>(check(PyType_FromModuleAndSpec(module, &function_spec, nullptr)).release());
}

Ref make_function(PyObject* module, const MethodInfo& info, PyObject* class_name) {
    const ModuleState& st = state_of(module);
    const int nparams = static_cast<int>(info.params.size());
    const int ndefaults = static_cast<int>(info.defaults.size());

    Ref name = check(PyUnicode_InternFromString(info.name));
    Ref qualname = check(PyUnicode_FromFormat("%U.%U", class_name, name.get()));
    Ref module_name = check(PyModule_GetNameObject(module));
    Ref doc = info.doc ? text(info.doc) : Ref::borrow(Py_None);
    Ref defaults = Ref::borrow(Py_None);
    if (ndefaults) {
        defaults = check(PyTuple_New(ndefaults));
        for (int i = 0; i < ndefaults; ++i) {
            Default d = info.defaults[static_cast<std::size_t>(i)];
            PyTuple_SET_ITEM(defaults.get(), i,
                             Py_NewRef(d == Default::True ? Py_True : d == Default::False ? Py_False : Py_None));
        }
    }
    Ref names = check(PyTuple_New(nparams));
    Ref annotations = check(PyDict_New());
    for (int i = 0; i < nparams; ++i) {
        const Param& param = info.params[static_cast<std::size_t>(i)];
        PyObject* param_name = PyUnicode_InternFromString(param.name);
        if (!param_name) throw PyError();
        PyTuple_SET_ITEM(names.get(), i, param_name);
        if (param.annotation) check(PyDict_SetItem(annotations.get(), param_name, text(param.annotation).get()));
    }
    if (info.return_annotation)
        check(PyDict_SetItemString(annotations.get(), "return", text(info.return_annotation).get()));

    FunctionObject* fn = PyObject_GC_New(FunctionObject, st.function_type);
    if (!fn) throw PyError();
    fn->vectorcall = function_vectorcall;
    fn->info = &info;
    fn->module = Py_NewRef(module);
    fn->name = name.release();
    fn->qualname = qualname.release();
    fn->module_name = module_name.release();
    fn->doc = doc.release();
    fn->defaults = defaults.release();
    fn->annotations = annotations.release();
    fn->names = names.release();
    fn->signature = nullptr;
    fn->nparams = nparams;
    fn->nrequired = nparams - ndefaults;
    for (int i = 0; i < nparams; ++i) fn->tests[i] = test_for(info.params[static_cast<std::size_t>(i)].annotation);
    PyObject_GC_Track(fn);
    return Ref::steal(reinterpret_cast<PyObject*>(fn));
}

}  // namespace corvenda
