/* module/ref.h: the owned-reference handle and the single error path between C++ and Python. */
#pragma once

#include <Python.h>

#include <cstring>
#include <exception>
#include <new>
#include <utility>

namespace quor {

/* At interpreter exit, CPython ends a thread other than the exiting one that waits for
   the GIL (PyEval_RestoreThread, or any Python code that takes it back) with
   pthread_exit: on glibc a forced unwind of its stack, without the GIL, and an
   exception that is not a C++ one. Every catch-all must let it pass (catching it
   without rethrowing aborts the process), no noexcept function may lie in its path
   (that calls std::terminate), and the frames it unwinds must not touch Python
   objects: where it can start inside this module (restore_thread, and the callbacks
   of a count) `ending_without_gil` is set as it passes, and from then on the thread's
   Ref handles let their references go (the process is ending). */
inline thread_local bool ending_without_gil = false;

/// True inside a catch-all handling an exception that is not a C++ one, such as the
/// forced unwind above: the C++ runtime has no exception_ptr for it. (Catching it by
/// its glibc name, abi::__forced_unwind, binds a null reference.)
inline bool foreign_exception_caught() { return !std::current_exception(); }

/* Marks a function that calls Python code a forced unwind may leave from: under
   AddressSanitizer it keeps no redzones, which the unwind would leave poisoned below
   the frame that next runs a cleanup, where the runtime's own sigaltstack call (in
   __asan_handle_no_return) then reports them as an overflow. */
#if defined(__GNUC__)
#define QUOR_LEFT_BY_FORCED_UNWIND __attribute__((no_sanitize_address))
#else
#define QUOR_LEFT_BY_FORCED_UNWIND
#endif

/// Sets ending_without_gil unless disarmed: a frame that can only be left by a return
/// or by the forced unwind holds one and disarms it before it returns.
struct MarkIfUnwound {
    bool returned = false;
    ~MarkIfUnwound() {
        if (!returned) ending_without_gil = true;
    }
};

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
    ~Ref() {
        if (!ending_without_gil) Py_XDECREF(obj_);
    }

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

/// Takes the GIL back (PyEval_RestoreThread). At interpreter exit this may end the
/// thread instead, by a forced unwind that leaves here with `ending_without_gil` set.
inline void restore_thread(PyThreadState *ts) {
    MarkIfUnwound mark;
    PyEval_RestoreThread(ts);
    mark.returned = true;
}

/// Runs the body of a Python-facing function and turns any C++ exception into a Python
/// one, so the function returns null exactly when an error is set. Not noexcept: the
/// forced unwind that ends a thread at interpreter exit passes through (see above).
template <class F>
PyObject *guarded(F &&body) {
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
        if (foreign_exception_caught()) {  // the thread is being ended: let it go
            ending_without_gil = true;
            throw;
        }
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
        return nullptr;
    }
}

}  // namespace quor
