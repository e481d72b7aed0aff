/* module/args.cpp: argument binding, array and scalar conversion, and the input checks counters rely on. */
#include "module/args.h"

#include <cmath>
#include <cstdint>

#include "module/numpy_api.h"

namespace quor {

// ---------------------------------------------------------------------------------------------
// Binding

namespace {

/// The function name as the messages show it, e.g. "count_pairs_1d()".
Ref function_label(const Signature &sig) {
    return steal_or_throw(PyUnicode_FromFormat("%s()", sig.function));
}

/// The names of the unfilled parameters: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
Ref quoted_name_list(const Signature &sig, const bool *missing, size_t n_missing) {
    Ref out = steal_or_throw(PyUnicode_FromString(""));
    size_t seen = 0;
    for (size_t i = 0; i < sig.count; ++i) {
        if (!missing[i]) continue;
        const char *sep = "";
        if (seen > 0) {
            if (n_missing == 2) sep = " and ";
            else if (seen + 1 == n_missing) sep = ", and ";
            else sep = ", ";
        }
        out = steal_or_throw(PyUnicode_FromFormat("%U%s'%s'", out.get(), sep, sig.names[i]));
        ++seen;
    }
    return out;
}

/// Index of the parameter called `key`, or sig.count if there is none.
size_t parameter_index(const Signature &sig, PyObject *key) {
    if (!PyUnicode_Check(key)) return sig.count;
    for (size_t i = 0; i < sig.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) return i;
    }
    return sig.count;  // the comparison above never raises
}

}  // namespace

BoundArgs bind_arguments(const Signature &sig, PyObject *args, PyObject *kwargs) {
    BoundArgs bound;
    bound.sig = &sig;
    const Py_ssize_t n_pos = PyTuple_Size(args);
    if (n_pos < 0) throw PyErrSet{};
    if (static_cast<size_t>(n_pos) > sig.count) {
        Ref label = function_label(sig);
        raise_with(PyExc_TypeError,
                   PyUnicode_FromFormat("%U takes %zu positional arguments but %zd %s given",
                                        label.get(), sig.count, n_pos, n_pos == 1 ? "was" : "were"));
    }
    for (Py_ssize_t i = 0; i < n_pos; ++i)
        bound.values[i] = Ref::borrow(PyTuple_GetItem(args, i));

    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            const size_t index = parameter_index(sig, key);
            if (index == sig.count) {
                Ref label = function_label(sig);
                // The key's own text: str() of a str subclass might run Python code.
                raise_with(PyExc_TypeError,
                           PyUnicode_Check(key)
                               ? PyUnicode_FromFormat("%U got an unexpected keyword argument '%U'",
                                                      label.get(), key)
                               : PyUnicode_FromFormat("%U got an unexpected keyword argument '%S'",
                                                      label.get(), key));
            }
            if (bound.values[index]) {
                Ref label = function_label(sig);
                raise_with(PyExc_TypeError,
                           PyUnicode_FromFormat("%U got multiple values for argument '%s'",
                                                label.get(), sig.names[index]));
            }
            bound.values[index] = Ref::borrow(value);
        }
    }

    bool missing[MAX_PARAMS] = {};
    size_t n_missing = 0;
    for (size_t i = 0; i < sig.count; ++i) {
        if (bound.values[i]) continue;
        if (i >= sig.count - sig.optional) {
            bound.values[i] = Ref::borrow(Py_None);
            continue;
        }
        missing[i] = true;
        ++n_missing;
    }
    if (n_missing > 0) {
        Ref label = function_label(sig);
        Ref names = quoted_name_list(sig, missing, n_missing);
        raise_with(PyExc_TypeError,
                   PyUnicode_FromFormat("%U missing %zu required positional %s: %U", label.get(),
                                        n_missing, n_missing == 1 ? "argument" : "arguments",
                                        names.get()));
    }
    return bound;
}

// ---------------------------------------------------------------------------------------------
// Conversion

namespace {

/// Renames a conversion failure after its parameter: an exception of exactly type TypeError
/// is replaced by TypeError("argument '<name>': <message>") carrying the original's
/// __cause__; any other exception passes unchanged. Always throws.
[[noreturn]] void raise_for_parameter(const char *name) {
    if (!PyErr_Occurred()) throw PyErrSet{};
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (!value || reinterpret_cast<PyObject *>(Py_TYPE(value)) != PyExc_TypeError) {
        PyErr_Restore(type, value, tb);
        throw PyErrSet{};
    }
    Ref original = Ref::steal(value);
    Py_XDECREF(type);
    Py_XDECREF(tb);

    Ref text = steal_or_throw(PyObject_Str(original.get()));
    Ref message = steal_or_throw(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    Ref renamed = steal_or_throw(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    PyException_SetCause(renamed.get(), PyException_GetCause(original.get()));  // steals the cause
    PyErr_SetObject(PyExc_TypeError, renamed.get());
    throw PyErrSet{};
}

/// The qualified name of an object's type, or a fixed placeholder if it cannot be read.
Ref type_qualname(PyObject *obj) {
    PyObject *name = PyObject_GetAttrString(reinterpret_cast<PyObject *>(Py_TYPE(obj)), "__qualname__");
    if (name && PyUnicode_Check(name)) return Ref::steal(name);
    Py_XDECREF(name);
    PyErr_Clear();
    return steal_or_throw(PyUnicode_FromString("<failed to extract type name>"));
}

[[noreturn]] void raise_not_array(PyObject *obj) {
    Ref qualname = type_qualname(obj);
    raise_with(PyExc_TypeError,
               PyUnicode_FromFormat("'%U' object cannot be converted to 'PyArray<T, D>'", qualname.get()));
}

/// Checks type, number of dimensions and dtype, in that order; returns the array's fields.
const ArrayFields *checked_array(PyObject *obj, int ndim, int typenum) {
    const NumpyApi &np = numpy_api();
    if (!PyObject_TypeCheck(obj, np.array_type)) raise_not_array(obj);
    const ArrayFields *fields = array_fields(obj);
    if (fields->nd != ndim) raise_not_array(obj);
    Ref wanted = steal_or_throw(np.descr_from_type(typenum));
    if (fields->descr != wanted.get() && !np.equiv_types(fields->descr, wanted.get()))
        raise_not_array(obj);
    return fields;
}

template <class Convert>
auto convert_named(const BoundArgs &bound, size_t i, Convert convert) {
    try {
        return convert(bound[i]);
    } catch (const PyErrSet &) {
        raise_for_parameter(bound.sig->names[i]);
    }
}

}  // namespace

StridedMatrix positions_arg(const BoundArgs &bound, size_t i) {
    return convert_named(bound, i, [](PyObject *obj) {
        const ArrayFields *a = checked_array(obj, 2, NPY_DOUBLE_TYPENUM);
        StridedMatrix view;
        view.data = a->data;
        view.rows = a->dimensions[0];
        view.cols = a->dimensions[1];
        view.row_stride = a->strides[0];
        view.col_stride = a->strides[1];
        return view;
    });
}

template <class T>
static StridedVector<T> vector_view(PyObject *obj, int typenum) {
    const ArrayFields *a = checked_array(obj, 1, typenum);
    StridedVector<T> view;
    view.data = a->data;
    view.size = a->dimensions[0];
    view.stride = a->strides[0];
    return view;
}

PartitionIds partition_arg(const BoundArgs &bound, size_t i) {
    return convert_named(bound, i, [](PyObject *obj) { return vector_view<int32_t>(obj, NPY_INT_TYPENUM); });
}

Edges edges_arg(const BoundArgs &bound, size_t i) {
    return convert_named(bound, i, [](PyObject *obj) { return vector_view<double>(obj, NPY_DOUBLE_TYPENUM); });
}

StridedVector<double> weights_arg(const BoundArgs &bound, size_t i) {
    return convert_named(bound, i, [](PyObject *obj) { return vector_view<double>(obj, NPY_DOUBLE_TYPENUM); });
}

bool flag_arg(const BoundArgs &bound, size_t i) {
    const int truth = PyObject_IsTrue(bound[i]);
    if (truth < 0) throw PyErrSet{};
    return truth != 0;
}

double real_arg(const BoundArgs &bound, size_t i) {
    return convert_named(bound, i, [](PyObject *obj) {
        const double v = PyFloat_AsDouble(obj);
        if (v == -1.0 && PyErr_Occurred()) throw PyErrSet{};
        return v;
    });
}

uint64_t count_arg(const BoundArgs &bound, size_t i) {
    return convert_named(bound, i, [](PyObject *obj) -> uint64_t {
        unsigned long long v;
        if (PyLong_Check(obj)) {
            v = PyLong_AsUnsignedLongLong(obj);
        } else {
            Ref index = steal_or_throw(PyNumber_Index(obj));
            v = PyLong_AsUnsignedLongLong(index.get());
        }
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrSet{};
        return static_cast<uint64_t>(v);
    });
}

// ---------------------------------------------------------------------------------------------
// Input checks

void check_edges(const char *name, const Edges &edges) {
    if (edges.size < 1)
        raise_with(PyExc_ValueError, PyUnicode_FromFormat("%s must hold at least one bin edge", name));
}

static void check_positions(const StridedMatrix &coords, const char *name) {
    if (coords.rows > 0 && coords.cols < 3)
        raise_with(PyExc_ValueError, PyUnicode_FromFormat("%s must have at least 3 columns, got %lld", name,
                                                          static_cast<long long>(coords.cols)));
}

/// ValueError unless the per-galaxy array `name` has an entry for each row of coords.
static void check_per_row(int64_t size, const char *name, const StridedMatrix &coords, const char *coords_name) {
    if (size < coords.rows)
        raise_with(PyExc_ValueError,
                   PyUnicode_FromFormat("%s has %lld entries but %s has %lld rows", name,
                                        static_cast<long long>(size), coords_name,
                                        static_cast<long long>(coords.rows)));
}

void check_catalogue(const StridedMatrix &coords, const PartitionIds &ids, const char *coords_name,
                     const char *ids_name) {
    check_positions(coords, coords_name);
    check_per_row(ids.size, ids_name, coords, coords_name);
}

void check_weights(const StridedVector<double> &weights, const StridedMatrix &coords, const char *name,
                   const char *coords_name) {
    check_per_row(weights.size, name, coords, coords_name);
}

void check_n_order(uint64_t n_order, const StridedMatrix &coords) {
    if (n_order == 0 && coords.rows > 0)
        raise_with(PyExc_ValueError, PyUnicode_FromString("n_order must be at least 1"));
}

void check_quantised_edges(const char *name, const Edges &edges) {
    const double last = edges[edges.size - 1];
    if (std::isinf(last * last))
        raise_with(PyExc_ValueError,
                   PyUnicode_FromFormat("the last edge of %s must have a finite square", name));
}

void check_result_size(const char *name, uint64_t a, uint64_t b, uint64_t c) {
    const uint64_t limit = static_cast<uint64_t>(PY_SSIZE_T_MAX);
    bool fits = a <= limit && b <= limit && c <= limit;
    if (fits) {
        // Byte size a * b * c * 8, tested one factor at a time so nothing wraps. NumPy
        // leaves out zero dimensions and refuses an empty array whose other dimensions
        // are too large all the same, so zeros are skipped here too.
        uint64_t bytes = sizeof(double);
        for (uint64_t dim : {a, b, c}) {
            if (dim == 0) continue;
            if (dim > limit / bytes) {
                fits = false;
                break;
            }
            bytes *= dim;
        }
    }
    if (!fits) raise_with(PyExc_OverflowError, PyUnicode_FromFormat("%s is too large", name));
}

}  // namespace quor
