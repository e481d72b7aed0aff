/* module/numpy_api.h: NumPy's C array interface, fetched at run time from its `_ARRAY_API` capsule. */
#pragma once

#include <Python.h>

namespace quor {

/// NumPy type numbers used here (stable across NumPy 1.x and 2.x).
constexpr int NPY_INT_TYPENUM = 5;      ///< C int: int32 on every platform we build for
constexpr int NPY_DOUBLE_TYPENUM = 12;  ///< float64
constexpr int NPY_WRITEABLE_FLAG = 0x0400;

/// The stable leading fields of NumPy's array object; read-only mirror so that no NumPy
/// header is needed. The layout is fixed by NumPy's ABI in 1.x and 2.x alike.
struct ArrayFields {
    PyObject_HEAD
    char *data;
    int nd;
    Py_ssize_t *dimensions;
    Py_ssize_t *strides;
    PyObject *base;
    PyObject *descr;
    int flags;
};

/// The entries of NumPy's C API table this module calls.
struct NumpyApi {
    PyTypeObject *array_type;
    PyObject *(*descr_from_type)(int typenum);  ///< new reference to a dtype descriptor
    unsigned char (*equiv_types)(PyObject *a, PyObject *b);
    PyObject *(*new_from_descr)(PyTypeObject *subtype, PyObject *descr, int nd,
                                const Py_ssize_t *dims, const Py_ssize_t *strides, void *data,
                                int flags, PyObject *obj);
    int (*set_base_object)(PyObject *array, PyObject *base);
};

/// The process-wide table, fetched on first use (imports NumPy); throws PyErrSet if
/// NumPy or its C interface cannot be loaded.
const NumpyApi &numpy_api();

inline const ArrayFields *array_fields(PyObject *array) {
    return reinterpret_cast<const ArrayFields *>(array);
}

}  // namespace quor
