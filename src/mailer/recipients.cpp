// EasyMailer._collect_recipients: the envelope recipient list.
#include "function.hpp"

namespace corvenda {

namespace {

/// One recipient argument into the list: nothing for None, a str as one
/// address, anything else iterated.
void add_recipients(PyObject* recipients, PyObject* value) {
    if (value == Py_None) return;
    if (PyUnicode_Check(value)) {
        check(PyList_Append(recipients, value));
        return;
    }
    check(PyList_Extend(recipients, value));
}

}  // namespace

Ref mailer_collect_recipients(const Env&, Args args) {
    Ref recipients = check(PyList_New(0));
    for (int i = 0; i < 3; ++i) add_recipients(recipients.get(), args[i]);
    return recipients;
}

}  // namespace corvenda
