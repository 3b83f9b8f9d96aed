// The module state every module of the package builds alike: interned
// strings, keyword tuples and small constants.
#include "state.hpp"

#include <initializer_list>

namespace corvenda {

namespace {

const char* const string_texts[] = {
#define CORVENDA_TEXT(id, text) text,
    CORVENDA_STRINGS(CORVENDA_TEXT)
#undef CORVENDA_TEXT
};

PyObject* keyword_tuple(const ModuleState& st, std::initializer_list<S> ids) {
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(ids.size())));
    Py_ssize_t i = 0;
    for (S id : ids) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(st[id]));
    return tuple.release();
}

}  // namespace

void init_shared_state(ModuleState& st) {
    for (int i = 0; i < static_cast<int>(S::count_); ++i) {
        st.strings[i] = PyUnicode_InternFromString(string_texts[i]);
        if (!st.strings[i]) throw PyError();
    }
    st.kw_localtime = keyword_tuple(st, {S::localtime});
    st.kw_context = keyword_tuple(st, {S::context});
    st.kw_filename = keyword_tuple(st, {S::filename});
    st.kw_build_message = keyword_tuple(st, {S::to, S::subject, S::body, S::html, S::cc, S::sender, S::sender_name,
                                             S::attachments, S::reply_to});
    st.kw_send = keyword_tuple(st, {S::to, S::subject, S::body, S::html, S::cc, S::bcc, S::sender, S::sender_name,
                                    S::attachments, S::reply_to});
    st.one = check(PyLong_FromLong(1)).release();
    st.kw_maxheaderlen = keyword_tuple(st, {S::maxheaderlen});
    st.header_width = check(PyLong_FromLong(78)).release();
}

void clear_shared_state(ModuleState& st) noexcept {
    for (PyObject*& s : st.strings) Py_CLEAR(s);
    Py_CLEAR(st.kw_localtime);
    Py_CLEAR(st.kw_context);
    Py_CLEAR(st.kw_filename);
    Py_CLEAR(st.kw_build_message);
    Py_CLEAR(st.kw_send);
    Py_CLEAR(st.one);
    Py_CLEAR(st.kw_maxheaderlen);
    Py_CLEAR(st.header_width);
}

}  // namespace corvenda
