// Owning references and the error idiom shared by every unit of the module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <utility>

namespace corvenda {

/// Thrown when a CPython call failed: the pending Python exception travels
/// inside it and is restored at the entry point that catches it.
class PyError final : public std::exception {
public:
    PyError() noexcept : exc_(PyErr_GetRaisedException()) {}
    PyError(PyError&& other) noexcept : exc_(std::exchange(other.exc_, nullptr)) {}
    PyError(const PyError&) = delete;
    PyError& operator=(const PyError&) = delete;
    ~PyError() override { Py_XDECREF(exc_); }

    /// Make the carried exception the current one again.
    void restore() noexcept { PyErr_SetRaisedException(std::exchange(exc_, nullptr)); }
    /// The carried exception instance (borrowed).
    PyObject* value() const noexcept { return exc_; }
    const char* what() const noexcept override { return "a Python exception is set"; }

private:
    PyObject* exc_;
};

/// An owning reference: decrements on destruction, never null unless empty.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& o) noexcept : p_(Py_XNewRef(o.p_)) {}
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    /// Take over a new reference.
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    /// Take a new reference to a borrowed one.
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

/// Result of a CPython call returning a new reference; throws on NULL.
inline Ref check(PyObject* p) {
    if (!p) throw PyError();
    return Ref::steal(p);
}

/// Result of a CPython call returning a status; throws on -1.
inline int check(int rc) {
    if (rc < 0) throw PyError();
    return rc;
}

/// Set a Python exception and throw it.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyError();
}

inline PyObject* none() noexcept { return Py_None; }

/// Where CPython calls into C++: returns `body()`, or `failed` (NULL or -1)
/// with the Python error set.  A PyError is restored, running out of memory
/// becomes MemoryError and any other C++ exception SystemError; nothing
/// propagates into the interpreter.
template <typename R, typename Body>
R at_boundary(R failed, Body&& body) noexcept {
    try {
        return body();
    } catch (PyError& error) {
        error.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in corvenda.mailer");
    }
    return failed;
}

/// Call `callable(*args)` with positional arguments only.
template <typename... A>
Ref call(PyObject* callable, A... args) {
    PyObject* argv[] = {nullptr, args...};
    return check(PyObject_Vectorcall(callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
template <typename... A>
Ref call(const Ref& callable, A... args) {
    return call(callable.get(), args...);
}

/// Call `obj.name(*args)`, looking the method up the way the interpreter does.
template <typename... A>
Ref call_method(PyObject* obj, PyObject* name, A... args) {
    PyObject* argv[] = {nullptr, obj, args...};
    return check(PyObject_VectorcallMethod(name, argv + 1, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline Ref getattr(PyObject* obj, PyObject* name) { return check(PyObject_GetAttr(obj, name)); }
inline void setattr(PyObject* obj, PyObject* name, PyObject* value) { check(PyObject_SetAttr(obj, name, value)); }
inline bool truth(PyObject* obj) { return check(PyObject_IsTrue(obj)) != 0; }

/// A str that is not empty (the only strings the methods treat as given).
inline bool nonempty_str(PyObject* obj) noexcept {
    return obj != Py_None && PyUnicode_Check(obj) && PyUnicode_GET_LENGTH(obj) > 0;
}

}  // namespace corvenda
