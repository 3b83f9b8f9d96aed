// The module state every module of the package builds alike (interned
// strings, keyword tuples and small constants) and the slots that visit and
// drop it.
#include "state.hpp"

#include <initializer_list>

namespace corvenda {

namespace {

const char* const string_texts[] = {
#define CORVENDA_TEXT(id, text) text,
    CORVENDA_STRINGS(CORVENDA_TEXT)
#undef CORVENDA_TEXT
};

/// A tuple of keyword names, for calls with keyword arguments.
PyObject* keywords(const ModuleState& st, std::initializer_list<S> ids) {
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(ids.size())));
    Py_ssize_t i = 0;
    for (S id : ids) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(st[id]));
    return tuple.release();
}

PyObject* number(long value) { return check(PyLong_FromLong(value)).release(); }

}  // namespace

void init_shared_state(ModuleState& st) {
    for (int i = 0; i < static_cast<int>(S::count_); ++i) {
        st.strings[i] = PyUnicode_InternFromString(string_texts[i]);
        if (!st.strings[i]) throw PyError();
    }
#define CORVENDA_MAKE(field, make) st.field = make;
    CORVENDA_CONSTANTS(CORVENDA_MAKE)
#undef CORVENDA_MAKE
}

int module_traverse(PyObject* module, visitproc visit, void* arg) noexcept {
    ModuleState& st = state_of(module);
#define CORVENDA_VISIT(type, field) Py_VISIT(st.field);
    CORVENDA_HELD(CORVENDA_VISIT)
#undef CORVENDA_VISIT
    return 0;
}

int module_clear(PyObject* module) noexcept {
    ModuleState& st = state_of(module);
#define CORVENDA_DROP(type, field) Py_CLEAR(st.field);
    CORVENDA_HELD(CORVENDA_DROP)
#undef CORVENDA_DROP
    for (PyObject*& s : st.strings) Py_CLEAR(s);
#define CORVENDA_DROP(field, make) Py_CLEAR(st.field);
    CORVENDA_CONSTANTS(CORVENDA_DROP)
#undef CORVENDA_DROP
    return 0;
}

void module_free(void* module) noexcept { module_clear(static_cast<PyObject*>(module)); }

}  // namespace corvenda
