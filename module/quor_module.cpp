/* module/quor_module.cpp: the _quor module: its seven functions, function table and init entry. */
#include <Python.h>

#include <cstdint>

#include "module/args.h"
#include "module/calls.h"
#include "module/ref.h"

namespace quor {
namespace {

/// Binds, converts and checks the arguments, counts holding the GIL, and returns the
/// result tuple.
template <class Call>
PyObject *count_holding_gil(const Signature &sig, PyObject *args, PyObject *kwargs) {
    BoundArgs bound = bind_arguments(sig, args, kwargs);
    const Call call = Call::from(bound);
    return Call::result(call.run()).release();
}

// ---------------------------------------------------------------------------------------------
// count_pairs_1d

const char *const pairs_1d_names[] = {"coords", "partition_ids", "r_bins", "box_size"};
const Signature pairs_1d_sig = {"count_pairs_1d", pairs_1d_names, 4};

const char count_pairs_1d_doc[] =
    u8"count_pairs_1d(coords, partition_ids, r_bins, box_size)\n--\n\n"
    u8"Count galaxy pairs in 3D real-space radial bins, split by partition membership.\n"
    u8"\n"
    u8"Uses an isotropic flat cell-list and half-shell traversal for O(N) scaling.\n"
    u8"Periodic boundary conditions via minimum-image. Each pair counted once (i < j).\n"
    u8"\n"
    u8"Parameters\n"
    u8"----------\n"
    u8"coords : (N, 3) float64 C-contiguous array — galaxy positions [x, y, z] in Mpc/h.\n"
    u8"partition_ids : (N,) int32 array — partition index for each galaxy.\n"
    u8"r_bins : (n_r+1,) float64 array — radial bin edges in Mpc/h.\n"
    u8"box_size : float — periodic box side length.\n"
    u8"\n"
    u8"Returns\n"
    u8"-------\n"
    u8"(dd_auto, dd_cross) : two (n_r,) float64 arrays";

PyObject *py_count_pairs_1d(PyObject *, PyObject *args, PyObject *kwargs) {
    return guarded([&] { return count_holding_gil<Pairs1dCall>(pairs_1d_sig, args, kwargs); });
}

// ---------------------------------------------------------------------------------------------
// count_pairs_2d

const char *const pairs_2d_names[] = {"coords", "partition_ids", "r_p_bins", "pi_bins", "box_size"};
const Signature pairs_2d_sig = {"count_pairs_2d", pairs_2d_names, 5};

const char count_pairs_2d_doc[] = "count_pairs_2d(coords, partition_ids, r_p_bins, pi_bins, box_size)\n--\n\n";

PyObject *py_count_pairs_2d(PyObject *, PyObject *args, PyObject *kwargs) {
    return guarded([&] { return count_holding_gil<Pairs2dCall>(pairs_2d_sig, args, kwargs); });
}

// ---------------------------------------------------------------------------------------------
// count_npoint and count_npoint_gpu

const char *const npoint_names[] = {"coords", "partition_ids", "r_bins", "box_size", "n_order"};
const Signature npoint_sig = {"count_npoint", npoint_names, 5};
const Signature npoint_gpu_sig = {"count_npoint_gpu", npoint_names, 5};

const char count_npoint_doc[] = "count_npoint(coords, partition_ids, r_bins, box_size, n_order)\n--\n\n";
const char count_npoint_gpu_doc[] = "count_npoint_gpu(coords, partition_ids, r_bins, box_size, n_order)\n--\n\n";

/* count_npoint and count_npoint_gpu differ only in the name their messages show: there is
   no accelerator code, so both run the processor computation. */

PyObject *py_count_npoint(PyObject *, PyObject *args, PyObject *kwargs) {
    return guarded([&] { return count_holding_gil<NpointCall>(npoint_sig, args, kwargs); });
}

PyObject *py_count_npoint_gpu(PyObject *, PyObject *args, PyObject *kwargs) {
    return guarded([&] { return count_holding_gil<NpointCall>(npoint_gpu_sig, args, kwargs); });
}

// ---------------------------------------------------------------------------------------------
// count_npoint3_shape

const char *const shape_names[] = {"coords", "partition_ids", "r_bins", "n_ratio", "box_size"};
const Signature shape_sig = {"count_npoint3_shape", shape_names, 5};

const char count_npoint3_shape_doc[] =
    u8"count_npoint3_shape(coords, partition_ids, r_bins, n_ratio, box_size)\n--\n\n"
    u8"Shape-resolved 3-point counts: bin each triplet by (max pairwise separation,\n"
    u8"r_min/r_max) into a 2D (n_r x n_ratio) grid, with the same sparse-partition\n"
    u8"`s`-counting as `count_npoint` (n_order=3). Summing the returned counts over\n"
    u8"the ratio axis reproduces `count_npoint(..., n_order=3)` exactly.\n"
    u8"\n"
    u8"Returns (t_by_s, t_total):\n"
    u8"  t_by_s : (3, n_r * n_ratio)  flattened as bin_rmax * n_ratio + bin_ratio\n"
    u8"  t_total: (n_r * n_ratio,)";

PyObject *py_count_npoint3_shape(PyObject *, PyObject *args, PyObject *kwargs) {
    return guarded([&] { return count_holding_gil<ShapeCall>(shape_sig, args, kwargs); });
}

// ---------------------------------------------------------------------------------------------
// has_cuda

const char has_cuda_doc[] = "has_cuda()\n--\n\n";

/// The module has no accelerator code, so this is constant.
PyObject *py_has_cuda(PyObject *, PyObject *) {
    Py_INCREF(Py_False);
    return Py_False;
}

// ---------------------------------------------------------------------------------------------
// count_pairs_smu

const char *const smu_names[] = {"coords", "partition_ids", "s_bins", "n_mu_bins", "mu_max", "box_size"};
const Signature smu_sig = {"count_pairs_smu", smu_names, 6};

const char count_pairs_smu_doc[] =
    "count_pairs_smu(coords, partition_ids, s_bins, n_mu_bins, mu_max, box_size)\n--\n\n";

PyObject *py_count_pairs_smu(PyObject *, PyObject *args, PyObject *kwargs) {
    return guarded([&] { return count_holding_gil<PairsSmuCall>(smu_sig, args, kwargs); });
}

// ---------------------------------------------------------------------------------------------
// Function table, module definition and init

template <class F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef function_table[] = {
    {"count_pairs_1d", as_cfunction(py_count_pairs_1d), METH_VARARGS | METH_KEYWORDS, count_pairs_1d_doc},
    {"count_pairs_2d", as_cfunction(py_count_pairs_2d), METH_VARARGS | METH_KEYWORDS, count_pairs_2d_doc},
    {"count_npoint", as_cfunction(py_count_npoint), METH_VARARGS | METH_KEYWORDS, count_npoint_doc},
    {"count_npoint3_shape", as_cfunction(py_count_npoint3_shape), METH_VARARGS | METH_KEYWORDS,
     count_npoint3_shape_doc},
    {"count_npoint_gpu", as_cfunction(py_count_npoint_gpu), METH_VARARGS | METH_KEYWORDS, count_npoint_gpu_doc},
    {"has_cuda", py_has_cuda, METH_NOARGS, has_cuda_doc},
    {"count_pairs_smu", as_cfunction(py_count_pairs_smu), METH_VARARGS | METH_KEYWORDS, count_pairs_smu_doc},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_quor",
    "",       // __doc__ is the empty string, not None
    0,        // no per-module state: everything remembered is process-wide
    nullptr,  // functions are added one by one after the module exists
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

/// The module, once created: one strong reference held for the life of the process.
PyObject *g_module = nullptr;

/// Appends `name` to the module's __all__, creating the list if it is missing.
void append_to_all(PyObject *module, PyObject *name) {
    PyObject *all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrSet{};
        PyErr_Clear();
        all = PyList_New(0);
        if (!all) throw PyErrSet{};
        if (PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_DECREF(all);
            throw PyErrSet{};
        }
    }
    Ref held = Ref::steal(all);
    check_status(PyList_Append(held.get(), name));
}

PyObject *init_module() {
    if (g_module) {
        // Single-phase init: module state cannot be shared with a second module object.
        PyErr_SetString(PyExc_ImportError,
                        "PyO3 modules compiled for CPython 3.8 or older may only be initialized once per "
                        "interpreter process");
        throw PyErrSet{};
    }
    Ref module = steal_or_throw(PyModule_Create2(&module_def, PYTHON_ABI_VERSION));
    Ref module_name = steal_or_throw(PyModule_GetNameObject(module.get()));
    for (PyMethodDef &def : function_table) {
        Ref function = steal_or_throw(PyCMethod_New(&def, module.get(), module_name.get(), nullptr));
        Ref name = steal_or_throw(PyObject_GetAttrString(function.get(), "__name__"));
        append_to_all(module.get(), name.get());
        check_status(PyObject_SetAttr(module.get(), name.get(), function.get()));
    }
    Py_INCREF(module.get());
    g_module = module.get();
    return module.release();
}

}  // namespace
}  // namespace quor

PyMODINIT_FUNC PyInit__quor(void) {
    return quor::guarded([] { return quor::init_module(); });
}
