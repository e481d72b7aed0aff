/* module/results.cpp: the PySliceContainer buffer owner and zero-copy float64 result arrays. */
#include "module/results.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "module/numpy_api.h"

namespace quor {

// ---------------------------------------------------------------------------------------------
// PySliceContainer: owns one buffer for as long as NumPy holds it as an array's base.

namespace {

/// Frees a buffer given its owner and its address, length and capacity in elements.
using ReleaseFn = void (*)(void *owner, void *data, size_t len, size_t cap);

struct SliceContainer {
    PyObject_HEAD
    void *data;
    size_t len;
    size_t cap;
    void *owner;  ///< the heap object that owns the buffer, passed to `release`
    ReleaseFn release;
};

/// The vector was moved into a heap std::vector so its buffer is never copied.
template <class T>
void release_vector(void *owner, void *, size_t, size_t) {
    delete static_cast<std::vector<T> *>(owner);
}

void container_dealloc(PyObject *self) {
    SliceContainer *c = reinterpret_cast<SliceContainer *>(self);
    if (c->release) c->release(c->owner, c->data, c->len, c->cap);
    c->release = nullptr;
    PyTypeObject *type = Py_TYPE(self);
    auto tp_free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    tp_free(self);
    Py_DECREF(type);  // instances of heap types hold a reference to their type
}

PyObject *container_new(PyTypeObject *, PyObject *, PyObject *) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for PySliceContainer");
    return nullptr;
}

const char container_doc[] = "Utility type that safely stores an owned buffer on the Python heap.";

PyType_Slot container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(container_dealloc)},
    {Py_tp_new, reinterpret_cast<void *>(container_new)},
    {Py_tp_doc, const_cast<char *>(container_doc)},
    {0, nullptr},
};

PyType_Spec container_spec = {
    "builtins.PySliceContainer",
    static_cast<int>(sizeof(SliceContainer)),
    0,
    Py_TPFLAGS_DEFAULT,
    container_slots,
};

PyTypeObject *g_container_type = nullptr;

/// The process-wide PySliceContainer type, created on first use and never released.
PyTypeObject *slice_container_type() {
    if (!g_container_type) {
        PyObject *type = PyType_FromSpec(&container_spec);
        if (!type) throw PyErrSet{};
        if (g_container_type) Py_DECREF(type);  // another thread made it meanwhile
        else g_container_type = reinterpret_cast<PyTypeObject *>(type);
    }
    return g_container_type;
}

/// A container holding the vector's buffer; the vector is moved in only once the Python
/// object exists, so on failure the caller still owns (and frees) it.
template <class T>
Ref make_container(std::vector<T> &values) {
    PyTypeObject *type = slice_container_type();
    auto tp_alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Ref obj = steal_or_throw(tp_alloc(type, 0));
    auto *owner = new std::vector<T>(std::move(values));  // may throw: obj is freed empty
    SliceContainer *c = reinterpret_cast<SliceContainer *>(obj.get());
    c->data = owner->data();
    c->len = owner->size();
    c->cap = owner->capacity();
    c->owner = owner;
    c->release = release_vector<T>;
    return obj;
}

/// Wraps the container's buffer as an array of the given NumPy type, shape and C-order
/// strides.
Ref make_array(Ref container, int nd, const Py_ssize_t *dims, const Py_ssize_t *strides,
               int typenum = NPY_DOUBLE_TYPENUM) {
    const NumpyApi &np = numpy_api();
    PyObject *descr = np.descr_from_type(typenum);
    if (!descr) throw PyErrSet{};
    void *data = reinterpret_cast<SliceContainer *>(container.get())->data;
    // An empty vector may have no buffer at all, and NumPy allocates (and owns) memory of
    // its own when handed a null address; an empty array never reads its data, so any
    // valid aligned address will do.
    alignas(double) static char empty_buffer[sizeof(double)];
    if (!data) data = empty_buffer;
    // Takes over `descr` even on failure; the array does not own `data`.
    Ref array = steal_or_throw(
        np.new_from_descr(np.array_type, descr, nd, dims, strides, data, NPY_WRITEABLE_FLAG, nullptr));
    // Takes over the container's reference even on failure.
    check_status(np.set_base_object(array.get(), container.release()));
    return array;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Result arrays

Ref make_array_1d(std::vector<double> &&values) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(values.size());
    const Py_ssize_t dims[1] = {n};
    const Py_ssize_t strides[1] = {n > 0 ? static_cast<Py_ssize_t>(sizeof(double)) : 0};
    std::vector<double> owned = std::move(values);  // freed here if the container fails
    return make_array(make_container(owned), 1, dims, strides);
}

Ref make_int32_array_1d(std::vector<int32_t> &&values) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(values.size());
    const Py_ssize_t dims[1] = {n};
    const Py_ssize_t strides[1] = {n > 0 ? static_cast<Py_ssize_t>(sizeof(int32_t)) : 0};
    std::vector<int32_t> owned = std::move(values);  // freed here if the container fails
    return make_array(make_container(owned), 1, dims, strides, NPY_INT_TYPENUM);
}

Ref make_array_2d(Hist2d &&hist) {
    const uint64_t depth = std::max<uint64_t>(hist.parts, 1);
    if (hist.rows > static_cast<uint64_t>(PY_SSIZE_T_MAX) || hist.cols > static_cast<uint64_t>(PY_SSIZE_T_MAX) ||
        checked_elements(checked_elements(hist.rows, hist.cols), depth) != hist.values.size())
        throw std::logic_error("histogram shape does not match its buffer");
    const Py_ssize_t dims[3] = {static_cast<Py_ssize_t>(hist.rows), static_cast<Py_ssize_t>(hist.cols),
                                static_cast<Py_ssize_t>(depth)};
    const int nd = hist.parts > 0 ? 3 : 2;
    const bool empty = hist.values.empty();
    Py_ssize_t strides[3];
    Py_ssize_t step = static_cast<Py_ssize_t>(sizeof(double));
    for (int d = nd - 1; d >= 0; --d) {  // C order; an empty array's strides are all 0
        strides[d] = empty ? 0 : step;
        step *= dims[d];
    }
    std::vector<double> owned = std::move(hist.values);
    return make_array(make_container(owned), nd, dims, strides);
}

Ref make_array_nd(std::vector<double> &&values, const std::vector<uint64_t> &dims) {
    constexpr size_t MAX_AXES = 4;
    uint64_t elements = 1;
    for (const uint64_t d : dims) {
        if (d > static_cast<uint64_t>(PY_SSIZE_T_MAX)) throw std::logic_error("histogram shape too large");
        elements = checked_elements(elements, d);
    }
    if (dims.empty() || dims.size() > MAX_AXES || elements != values.size())
        throw std::logic_error("histogram shape does not match its buffer");
    const int nd = static_cast<int>(dims.size());
    Py_ssize_t shape[MAX_AXES], strides[MAX_AXES];
    Py_ssize_t step = static_cast<Py_ssize_t>(sizeof(double));
    for (int d = nd - 1; d >= 0; --d) {  // C order; an empty array's strides are all 0
        shape[d] = static_cast<Py_ssize_t>(dims[d]);
        strides[d] = values.empty() ? 0 : step;
        if (!values.empty()) step *= shape[d];
    }
    std::vector<double> owned = std::move(values);
    return make_array(make_container(owned), nd, shape, strides);
}

Ref make_result_pair(Ref first, Ref second) {
    Ref pair = steal_or_throw(PyTuple_New(2));
    // PyTuple_SetItem takes over the item even on failure.
    check_status(PyTuple_SetItem(pair.get(), 0, first.release()));
    check_status(PyTuple_SetItem(pair.get(), 1, second.release()));
    return pair;
}

}  // namespace quor
