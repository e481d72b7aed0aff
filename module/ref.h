/* module/ref.h: the owned-reference handle and the single error path between C++ and Python. */
#pragma once

#include <Python.h>

#include <cstring>
#include <exception>
#include <new>
#include <utility>

namespace quor {

/// Thrown when a CPython or NumPy call has failed; the Python error indicator holds
/// the exception (or, if the callee forgot to set one, `guarded` supplies a SystemError).
struct PyErrSet {};

/// Move-only owner of one strong reference.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject *o) { return Ref(o); }
    static Ref borrow(PyObject *o) {
        Py_XINCREF(o);
        return Ref(o);
    }

    Ref(Ref &&other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept {
        if (this != &other) {
            PyObject *old = obj_;
            obj_ = other.obj_;
            other.obj_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { Py_XDECREF(obj_); }

    PyObject *get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }

    /// Hands the reference to the caller.
    PyObject *release() {
        PyObject *o = obj_;
        obj_ = nullptr;
        return o;
    }

private:
    explicit Ref(PyObject *o) : obj_(o) {}
    PyObject *obj_ = nullptr;
};

/// Takes a new reference from a CPython call that returns null on failure.
inline Ref steal_or_throw(PyObject *o) {
    if (!o) throw PyErrSet{};
    return Ref::steal(o);
}

/// Throws for the -1 failure result of CPython's int-returning calls.
inline void check_status(int status) {
    if (status < 0) throw PyErrSet{};
}

/// Sets a Python exception of `type` with `message` (a str object it steals) and throws.
[[noreturn]] inline void raise_with(PyObject *type, PyObject *message) {
    if (message) {
        PyErr_SetObject(type, message);
        Py_DECREF(message);
    }
    throw PyErrSet{};
}

/// Runs the body of a Python-facing function and turns any C++ exception into a Python
/// one, so the function returns null exactly when an error is set.
template <class F>
PyObject *guarded(F &&body) noexcept {
    try {
        PyObject *result = body();
        if (result) return result;
        // Defensive: a body must throw rather than return null.
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    } catch (const PyErrSet &) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    } catch (const std::exception &e) {
        // what() need not be valid UTF-8; replace what does not decode.
        const char *what = e.what();
        PyObject *message = PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(std::strlen(what)),
                                                 "replace");
        if (message) {
            PyErr_SetObject(PyExc_RuntimeError, message);
            Py_DECREF(message);
        }
        return nullptr;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
        return nullptr;
    }
}

}  // namespace quor
