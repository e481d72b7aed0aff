/* module/numpy_api.cpp: fetches NumPy's C API table once per process, without NumPy headers. */
#include "module/numpy_api.h"

#include "module/ref.h"

namespace quor {

namespace {

// Slots of NumPy's C API table; the same numbers in NumPy 1.x and 2.x.
constexpr int SLOT_ARRAY_TYPE = 2;
constexpr int SLOT_DESCR_FROM_TYPE = 45;
constexpr int SLOT_NEW_FROM_DESCR = 94;
constexpr int SLOT_EQUIV_TYPES = 182;
constexpr int SLOT_SET_BASE_OBJECT = 282;

NumpyApi g_api;
bool g_api_ready = false;

/// NumPy 2 moved the table's module from numpy.core to numpy._core.
const char *multiarray_module_name() {
    Ref numpy = steal_or_throw(PyImport_ImportModule("numpy"));
    Ref version = steal_or_throw(PyObject_GetAttrString(numpy.get(), "__version__"));
    Ref lib = steal_or_throw(PyObject_GetAttrString(numpy.get(), "lib"));
    Ref numpy_version = steal_or_throw(PyObject_GetAttrString(lib.get(), "NumpyVersion"));
    Ref parsed = steal_or_throw(PyObject_CallFunctionObjArgs(numpy_version.get(), version.get(), nullptr));
    Ref major = steal_or_throw(PyObject_GetAttrString(parsed.get(), "major"));
    const long value = PyLong_AsLong(major.get());
    if (value == -1 && PyErr_Occurred()) throw PyErrSet{};
    return value >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
}

void **fetch_table() {
    Ref multiarray = steal_or_throw(PyImport_ImportModule(multiarray_module_name()));
    Ref capsule = steal_or_throw(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    void *table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (!table) throw PyErrSet{};
    // The table lives as long as NumPy's extension module, which is never unloaded.
    return static_cast<void **>(table);
}

/// Any failure to reach NumPy surfaces as ImportError, with the original cause attached.
[[noreturn]] void raise_numpy_unavailable() {
    if (!PyErr_Occurred()) throw PyErrSet{};
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (PyErr_GivenExceptionMatches(type, PyExc_ImportError)) {
        PyErr_Restore(type, value, tb);
        throw PyErrSet{};
    }
    PyErr_NormalizeException(&type, &value, &tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyErr_SetString(PyExc_ImportError, "numpy's C array interface could not be loaded");
    PyObject *etype, *evalue, *etb;
    PyErr_Fetch(&etype, &evalue, &etb);
    PyErr_NormalizeException(&etype, &evalue, &etb);
    if (evalue && value) PyException_SetCause(evalue, value);  // steals value
    else Py_XDECREF(value);
    PyErr_Restore(etype, evalue, etb);
    throw PyErrSet{};
}

}  // namespace

const NumpyApi &numpy_api() {
    if (g_api_ready) return g_api;
    void **table = nullptr;
    try {
        table = fetch_table();
    } catch (const PyErrSet &) {
        raise_numpy_unavailable();
    }
    g_api.array_type = static_cast<PyTypeObject *>(table[SLOT_ARRAY_TYPE]);
    g_api.descr_from_type = reinterpret_cast<decltype(g_api.descr_from_type)>(table[SLOT_DESCR_FROM_TYPE]);
    g_api.equiv_types = reinterpret_cast<decltype(g_api.equiv_types)>(table[SLOT_EQUIV_TYPES]);
    g_api.new_from_descr = reinterpret_cast<decltype(g_api.new_from_descr)>(table[SLOT_NEW_FROM_DESCR]);
    g_api.set_base_object =
        reinterpret_cast<decltype(g_api.set_base_object)>(table[SLOT_SET_BASE_OBJECT]);
    g_api_ready = true;
    return g_api;
}

}  // namespace quor
