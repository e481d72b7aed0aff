/* module/kernels_module.cpp: quor._kernels, the counters behind the quor package: the
   same arguments, checks and counts as _quor, counted with the GIL released while the
   calling thread handles signals and progress. */
#include <Python.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <iterator>
#include <string>
#include <thread>
#include <utility>

#include "module/args.h"
#include "module/calls.h"
#include "module/numpy_api.h"
#include "module/ref.h"
#include "module/results.h"
#include "src/cell_list.h"
#include "src/exact_sum.h"
#include "src/kernel_select.h"
#include "src/parallel.h"
#include "src/prepare_input.h"
#include "src/slab_split.h"

namespace quor {
namespace {

/* How often the waiting caller takes the GIL back to run pending signal handlers (the
   Ctrl-C latency is this plus the time the workers take to reach their next stop check),
   and the shortest interval between two progress calls. */
constexpr std::chrono::milliseconds POLL_TICK{20};
constexpr std::chrono::milliseconds REPORT_INTERVAL{100};

// ---------------------------------------------------------------------------------------------
// Interpreter exit

/* Set by an exit function (atexit) of this module, on the thread that runs the exit
   functions, before the interpreter starts ending the other threads. A count waiting on
   another thread then takes the GIL back only once the pool has left it: that is where
   the interpreter may end the thread, and the pool must not be running pieces whose
   state lives on the stack being unwound. */
std::atomic<bool> g_exiting{false};
std::thread::id g_exiting_thread;  ///< written before g_exiting is set

PyObject *py_at_exit(PyObject *, PyObject *) {
    g_exiting_thread = std::this_thread::get_id();
    g_exiting.store(true, std::memory_order_release);
    Py_INCREF(Py_None);
    return Py_None;
}

/// True on a thread that the interpreter will end rather than give the GIL back.
bool exiting_elsewhere() {
    return g_exiting.load(std::memory_order_acquire) && g_exiting_thread != std::this_thread::get_id();
}

PyMethodDef at_exit_def = {"_quor_at_exit", py_at_exit, METH_NOARGS, nullptr};

/// Registers py_at_exit with atexit.
int register_at_exit() {
    PyObject *atexit = PyImport_ImportModule("atexit");
    if (!atexit) return -1;
    PyObject *hook = PyCFunction_New(&at_exit_def, nullptr);
    PyObject *r = hook ? PyObject_CallMethod(atexit, "register", "O", hook) : nullptr;
    Py_XDECREF(r);
    Py_XDECREF(hook);
    Py_DECREF(atexit);
    return r ? 0 : -1;
}

// ---------------------------------------------------------------------------------------------
// Counting without the GIL

/// The calling thread's side of a count running on the pool: polls for signals, reports
/// progress and keeps the Python error that stopped the count.
class Waiter {
public:
    Waiter(PyObject *progress, PyObject *stop, CountControl &ctl)
        : progress_(progress), stop_(stop), ctl_(ctl) {}

    Waiter(const Waiter &) = delete;
    Waiter &operator=(const Waiter &) = delete;

    ~Waiter() {
        if (ending_without_gil) return;
        Py_XDECREF(err_type_);
        Py_XDECREF(err_value_);
        Py_XDECREF(err_tb_);
    }

    /// Runs `work` on the pool without the GIL, polling every POLL_TICK. On return, or
    /// when an exception leaves, the GIL is held again. An error raised by a signal
    /// handler or the progress callback stops the count and is raised here once every
    /// worker has left it; otherwise the count's own exception passes through. Once the
    /// interpreter exits on another thread, the count stops and the GIL is taken back
    /// only after the pool has left it: the interpreter then ends this thread there, or,
    /// while exit functions still run, the count raises SystemExit (which ends a thread
    /// quietly).
    template <class Work>
    void run(Work &&work) {
        ts_ = PyEval_SaveThread();
        std::exception_ptr error;
        try {
            run_counting(ctl_, work, [this] { return poll(); }, POLL_TICK);
        } catch (...) {
            if (foreign_exception_caught()) throw;  // the thread is being ended in poll()
            error = std::current_exception();
        }
        restore_thread(ts_);
        if (stopped_for_exit_ && error) {
            PyErr_SetString(PyExc_SystemExit, "count stopped: the interpreter is exiting");
            throw PyErrSet{};
        }
        raise_if_stopped();  // also when the count ended before it saw the stop
        if (error) std::rethrow_exception(error);
        if (!report(true)) throw PyErrSet{};
    }

private:
    PyObject *progress_;  ///< borrowed: None or a callable taking (done, total)
    PyObject *stop_;      ///< borrowed: None or a callable taking nothing
    CountControl &ctl_;
    PyThreadState *ts_ = nullptr;
    bool stopped_for_exit_ = false;
    std::chrono::steady_clock::time_point next_report_{};
    uint64_t done_ = 0, total_ = 0;  ///< last values reported
    bool reported_ = false;
    // The error that stopped the count, kept off the thread state while the GIL is away.
    PyObject *err_type_ = nullptr, *err_value_ = nullptr, *err_tb_ = nullptr;

    /// On the calling thread, without the GIL: false once the count must stop. Left
    /// only by returning, or by the forced unwind that ends the thread at exit.
    bool poll() {
        if (exiting_elsewhere()) {  // the GIL waits until the pool has left the count
            stopped_for_exit_ = true;
            return false;
        }
        MarkIfUnwound mark;  // the callbacks below may wait for the GIL too
        restore_thread(ts_);
        stopped_for_exit_ = exiting_elsewhere();  // set while this thread waited
        const bool go_on =
            !stopped_for_exit_ && PyErr_CheckSignals() == 0 && asked_to_go_on() && report(false);
        if (!go_on && !stopped_for_exit_) PyErr_Fetch(&err_type_, &err_value_, &err_tb_);
        ts_ = PyEval_SaveThread();
        mark.returned = true;
        return go_on;
    }

    /// Calls stop() with the GIL held: false when it raised (its error stops the count).
    QUOR_LEFT_BY_FORCED_UNWIND bool asked_to_go_on() {
        if (stop_ == Py_None) return true;
        PyObject *r = PyObject_CallObject(stop_, nullptr);
        if (!r) return false;
        Py_DECREF(r);
        return true;
    }

    void raise_if_stopped() {
        if (!err_type_) return;
        PyErr_Restore(err_type_, err_value_, err_tb_);  // steals all three
        err_type_ = err_value_ = err_tb_ = nullptr;
        throw PyErrSet{};
    }

    /// Calls progress(done, total) with the GIL held, at most every REPORT_INTERVAL and
    /// only for new values (`final`: always, with done == total). Neither value ever
    /// decreases from one call to the next. False when the callback raised.
    QUOR_LEFT_BY_FORCED_UNWIND bool report(bool final) {
        if (progress_ == Py_None) return true;
        const auto now = std::chrono::steady_clock::now();
        if (!final && now < next_report_) return true;
        // total first: a sweep adds its length before any of its indices is done.
        const uint64_t total = std::max(total_, ctl_.total.load(std::memory_order_relaxed));
        uint64_t done = std::max(done_, std::min(ctl_.done.load(std::memory_order_relaxed), total));
        if (final) done = total;
        if (!final && (total == 0 || (reported_ && done == done_ && total == total_))) return true;
        PyObject *r = PyObject_CallFunction(progress_, "KK", static_cast<unsigned long long>(done),
                                            static_cast<unsigned long long>(total));
        if (!r) return false;
        Py_DECREF(r);
        done_ = done;
        total_ = total;
        reported_ = true;
        next_report_ = now + REPORT_INTERVAL;
        return true;
    }
};

// ---------------------------------------------------------------------------------------------
// Results too large for this machine

/// The machine's physical memory in bytes, or 0 when it cannot be told.
double physical_memory() {
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGESIZE)
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0) return static_cast<double>(pages) * static_cast<double>(page);
#endif
    return 0.0;
}

/// Bytes as gigabytes with one decimal, or in powers of ten past a million of them.
std::string gigabytes(double bytes) {
    char text[32];
    std::snprintf(text, sizeof text, bytes < 1e15 ? "%.1f" : "%.2g", bytes / 1e9);
    return text;
}

/* A count whose result and one histogram copy would take more than half the machine's
   physical memory raises MemoryError before it prepares anything: it could only end by
   exhausting the memory (or swapping for as long as counting takes), and the half left
   is for the catalogue, its cell copy and the caller's own arrays. */
template <class Call>
void check_memory(const Call &call) {
    const MemoryNeed need = call.memory_need();
    const double physical = physical_memory();
    if (physical <= 0.0 || need.bytes <= physical / 2) return;
    raise_with(PyExc_MemoryError,
               PyUnicode_FromFormat("%s needs %s GB for its counts, more than half of this machine's %s GB "
                                    "of memory", need.argument.c_str(), gigabytes(need.bytes).c_str(),
                                    gigabytes(physical).c_str()));
}

/* Every counter's last parameters, each None by default:
   - progress: a callable taking (done, total), called now and then with the GIL;
   - threads: the most workers of the pool this count uses at once (an int >= 1);
   - stop: a callable taking nothing, called about every POLL_TICK with the GIL; an
     exception it raises stops the count and is raised in its place. */
constexpr size_t CONTROL_PARAMS = 3;
#define QUOR_CONTROL_NAMES "progress", "threads", "stop"

/* The pair counters' parameters after those (PairSumsCall), each None by default. */
constexpr size_t PAIR_PARAMS = 8;
#define QUOR_PAIR_NAMES \
    "coords2", "partition_ids2", "weights", "weights2", "separations", "regions", "regions2", "n_regions"

/// Binds, converts and checks the arguments with the GIL held, counts without it, and
/// returns the result tuple.
template <class Call>
PyObject *count_releasing_gil(const Signature &sig, PyObject *args, PyObject *kwargs) {
    BoundArgs bound = bind_arguments(sig, args, kwargs);
    const Call call = Call::from(bound);
    const size_t first = sig.count - CONTROL_PARAMS - Call::TRAILING;
    PyObject *progress = bound[first], *threads = bound[first + 1], *stop = bound[first + 2];
    if (progress != Py_None && !PyCallable_Check(progress)) {
        PyErr_SetString(PyExc_TypeError, "progress must be None or a callable taking (done, total)");
        throw PyErrSet{};
    }
    if (stop != Py_None && !PyCallable_Check(stop)) {
        PyErr_SetString(PyExc_TypeError, "stop must be None or a callable taking no arguments");
        throw PyErrSet{};
    }
    check_memory(call);
    CountControl ctl;
    if (threads != Py_None) {
        ctl.max_workers = count_arg(bound, first + 1);
        if (ctl.max_workers == 0) {
            PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
            throw PyErrSet{};
        }
    }
    typename Call::Counts counts;
    Waiter(progress, stop, ctl).run([&] { counts = call.run(); });
    return call.result(std::move(counts)).release();
}

// ---------------------------------------------------------------------------------------------
// The counters

const char *const pairs_1d_names[] = {"coords", "partition_ids", "r_bins", "box_size", QUOR_CONTROL_NAMES,
                                      QUOR_PAIR_NAMES};
const Signature pairs_1d_sig = {"count_pairs_1d", pairs_1d_names, 15, CONTROL_PARAMS + PAIR_PARAMS};

const char *const pairs_2d_names[] = {"coords", "partition_ids", "r_p_bins", "pi_bins", "box_size", QUOR_CONTROL_NAMES,
                                      QUOR_PAIR_NAMES};
const Signature pairs_2d_sig = {"count_pairs_2d", pairs_2d_names, 16, CONTROL_PARAMS + PAIR_PARAMS};

const char *const smu_names[] = {"coords", "partition_ids", "s_bins", "n_mu_bins", "mu_max", "box_size", QUOR_CONTROL_NAMES,
                                 QUOR_PAIR_NAMES};
const Signature smu_sig = {"count_pairs_smu", smu_names, 17, CONTROL_PARAMS + PAIR_PARAMS};

/* The group counters' parameters after those (GroupRegionsCall), each None by default. */
constexpr size_t GROUP_PARAMS = 2;
#define QUOR_GROUP_NAMES "regions", "n_regions"

const char *const npoint_names[] = {"coords", "partition_ids", "r_bins", "box_size", "n_order", QUOR_CONTROL_NAMES,
                                    QUOR_GROUP_NAMES};
const Signature npoint_sig = {"count_npoint", npoint_names, 10, CONTROL_PARAMS + GROUP_PARAMS};

const char *const shape_names[] = {"coords", "partition_ids", "r_bins", "n_ratio", "box_size", QUOR_CONTROL_NAMES,
                                   QUOR_GROUP_NAMES};
const Signature shape_sig = {"count_npoint3_shape", shape_names, 10, CONTROL_PARAMS + GROUP_PARAMS};

PyObject *py_count_pairs_1d(PyObject *, PyObject *args, PyObject *kwargs) {
    return guarded([&] { return count_releasing_gil<PairSumsCall<Pairs1dCall>>(pairs_1d_sig, args, kwargs); });
}

PyObject *py_count_pairs_2d(PyObject *, PyObject *args, PyObject *kwargs) {
    return guarded([&] { return count_releasing_gil<PairSumsCall<Pairs2dCall>>(pairs_2d_sig, args, kwargs); });
}

PyObject *py_count_pairs_smu(PyObject *, PyObject *args, PyObject *kwargs) {
    return guarded([&] { return count_releasing_gil<PairSumsCall<PairsSmuCall>>(smu_sig, args, kwargs); });
}

PyObject *py_count_npoint(PyObject *, PyObject *args, PyObject *kwargs) {
    return guarded([&] { return count_releasing_gil<GroupRegionsCall<NpointCall>>(npoint_sig, args, kwargs); });
}

PyObject *py_count_npoint3_shape(PyObject *, PyObject *args, PyObject *kwargs) {
    return guarded([&] { return count_releasing_gil<GroupRegionsCall<ShapeCall>>(shape_sig, args, kwargs); });
}

// ---------------------------------------------------------------------------------------------
// Owner-aware counters: one slab of a distributed count

/// A counter's call with the slab x_lo <= x < x_hi that owns its galaxies: the counter's
/// own parameters, then x_lo, x_hi, the control parameters and the counter's trailing
/// ones. Only pairs and groups with an owned member count, so the counts of slabs that
/// tile the box (each given its ghosts) add up to the count of the whole box. In a count
/// of two catalogues, a pair counts when either of its galaxies is owned: both
/// catalogues are split by the same faces, each slab given the ghosts of both.
template <class Base>
struct SlabCall {
    Base base;
    OwnerSlab slab;

    static constexpr size_t TRAILING = Base::TRAILING;
    using Counts = typename Base::Counts;
    static SlabCall from(const BoundArgs &bound) {
        Base base = Base::from(bound);
        const size_t k = bound.sig->count - CONTROL_PARAMS - TRAILING - 2;
        return {base, {real_arg(bound, k), real_arg(bound, k + 1)}};
    }
    Counts run() const { return base.run(&slab); }
    MemoryNeed memory_need() const { return base.memory_need(); }
    Ref result(Counts &&counts) const { return base.result(std::move(counts)); }
};

const char *const slab_1d_names[] = {"coords", "partition_ids", "r_bins", "box_size",
                                     "x_lo", "x_hi", QUOR_CONTROL_NAMES, QUOR_PAIR_NAMES};
const Signature slab_1d_sig = {"count_pairs_1d_slab", slab_1d_names, 17, CONTROL_PARAMS + PAIR_PARAMS};

const char *const slab_2d_names[] = {"coords", "partition_ids", "r_p_bins", "pi_bins", "box_size",
                                     "x_lo", "x_hi", QUOR_CONTROL_NAMES, QUOR_PAIR_NAMES};
const Signature slab_2d_sig = {"count_pairs_2d_slab", slab_2d_names, 18, CONTROL_PARAMS + PAIR_PARAMS};

const char *const slab_smu_names[] = {"coords", "partition_ids", "s_bins", "n_mu_bins", "mu_max",
                                      "box_size", "x_lo", "x_hi", QUOR_CONTROL_NAMES, QUOR_PAIR_NAMES};
const Signature slab_smu_sig = {"count_pairs_smu_slab", slab_smu_names, 19, CONTROL_PARAMS + PAIR_PARAMS};

const char *const slab_npoint_names[] = {"coords", "partition_ids", "r_bins", "box_size", "n_order",
                                         "x_lo", "x_hi", QUOR_CONTROL_NAMES, QUOR_GROUP_NAMES};
const Signature slab_npoint_sig = {"count_npoint_slab", slab_npoint_names, 12, CONTROL_PARAMS + GROUP_PARAMS};

const char *const slab_shape_names[] = {"coords", "partition_ids", "r_bins", "n_ratio", "box_size",
                                        "x_lo", "x_hi", QUOR_CONTROL_NAMES, QUOR_GROUP_NAMES};
const Signature slab_shape_sig = {"count_npoint3_shape_slab", slab_shape_names, 12, CONTROL_PARAMS + GROUP_PARAMS};

PyObject *py_count_pairs_1d_slab(PyObject *, PyObject *args, PyObject *kwargs) {
    return guarded([&] { return count_releasing_gil<SlabCall<PairSumsCall<Pairs1dCall>>>(slab_1d_sig, args, kwargs); });
}

PyObject *py_count_pairs_2d_slab(PyObject *, PyObject *args, PyObject *kwargs) {
    return guarded([&] { return count_releasing_gil<SlabCall<PairSumsCall<Pairs2dCall>>>(slab_2d_sig, args, kwargs); });
}

PyObject *py_count_pairs_smu_slab(PyObject *, PyObject *args, PyObject *kwargs) {
    return guarded([&] { return count_releasing_gil<SlabCall<PairSumsCall<PairsSmuCall>>>(slab_smu_sig, args, kwargs); });
}

PyObject *py_count_npoint_slab(PyObject *, PyObject *args, PyObject *kwargs) {
    return guarded([&] { return count_releasing_gil<SlabCall<GroupRegionsCall<NpointCall>>>(slab_npoint_sig, args, kwargs); });
}

PyObject *py_count_npoint3_shape_slab(PyObject *, PyObject *args, PyObject *kwargs) {
    return guarded([&] { return count_releasing_gil<SlabCall<GroupRegionsCall<ShapeCall>>>(slab_shape_sig, args, kwargs); });
}

// ---------------------------------------------------------------------------------------------
// How many threads run a count's pieces (for the tests of `threads`)

/// _pool_probe(pieces, progress=None, threads=None, stop=None) -> int: sweeps `pieces`
/// steps of about 0.2 ms each (sleeping, so that every free worker can join in) as a
/// count does, and returns the number of threads that ran its pieces: one accumulator
/// is made per such thread.
struct PoolProbeCall {
    uint64_t pieces;

    static constexpr size_t TRAILING = 0;
    using Counts = uint64_t;
    static PoolProbeCall from(const BoundArgs &bound) { return {count_arg(bound, 0)}; }
    MemoryNeed memory_need() const { return {0.0, ""}; }
    Counts run() const {
        struct Threads {
            uint64_t n = 1;
            void merge(const Threads &right) { n += right.n; }
        };
        auto make = [] { return Threads{}; };
        auto step = [](Threads &, uint64_t) { std::this_thread::sleep_for(std::chrono::microseconds(200)); };
        return parallel_sweep<Threads>(pieces, make, step).n;
    }
    static Ref result(Counts &&threads) { return steal_or_throw(PyLong_FromUnsignedLongLong(threads)); }
};

const char *const probe_names[] = {"pieces", QUOR_CONTROL_NAMES};
const Signature probe_sig = {"_pool_probe", probe_names, 4, CONTROL_PARAMS};

PyObject *py_pool_probe(PyObject *, PyObject *args, PyObject *kwargs) {
    return guarded([&] { return count_releasing_gil<PoolProbeCall>(probe_sig, args, kwargs); });
}

// ---------------------------------------------------------------------------------------------
// The rows of each slab of a distributed count

const char *const split_names[] = {"coords", "partition_ids", "faces", "ghost"};
const Signature split_sig = {"split_slabs", split_names, 4};

/// split_slabs(coords, partition_ids, faces, ghost) -> (positions, ids, offsets): every
/// slab's rows and ghosts (src/slab_split.h), one piece after another, as a C-ordered
/// float64 (rows, 3) array, an int32 array and the n + 1 piece offsets as a list.
PyObject *py_split_slabs(PyObject *, PyObject *args, PyObject *kwargs) {
    return guarded([&] {
        BoundArgs bound = bind_arguments(split_sig, args, kwargs);
        const StridedMatrix coords = positions_arg(bound, 0);
        const PartitionIds ids = partition_arg(bound, 1);
        const Edges faces = edges_arg(bound, 2);
        const double ghost = real_arg(bound, 3);
        check_catalogue(coords, ids);
        if (faces.size < 2) {
            PyErr_SetString(PyExc_ValueError, "faces must hold at least two entries");
            throw PyErrSet{};
        }
        // Memory-bound and short: no pool, but other Python threads run meanwhile.
        SlabPieces pieces;
        PyThreadState *ts = PyEval_SaveThread();
        try {
            pieces = split_slabs(coords, ids, faces, ghost);
        } catch (...) {  // split_slabs calls no Python: no forced unwind comes from it
            restore_thread(ts);
            throw;
        }
        restore_thread(ts);

        const uint64_t n = pieces.offsets.size() - 1;
        Ref offsets = steal_or_throw(PyList_New(static_cast<Py_ssize_t>(n + 1)));
        for (uint64_t s = 0; s <= n; ++s) {
            PyObject *v = PyLong_FromUnsignedLongLong(pieces.offsets[s]);
            if (!v) throw PyErrSet{};
            PyList_SetItem(offsets.get(), static_cast<Py_ssize_t>(s), v);  // steals v
        }
        const uint64_t rows = pieces.ids.size();
        Ref xyz = make_array_2d(Hist2d{std::move(pieces.xyz), rows, 3});
        Ref out_ids = make_int32_array_1d(std::move(pieces.ids));
        Ref out = steal_or_throw(PyTuple_New(3));
        // PyTuple_SetItem takes over the item even on failure.
        check_status(PyTuple_SetItem(out.get(), 0, xyz.release()));
        check_status(PyTuple_SetItem(out.get(), 1, out_ids.release()));
        check_status(PyTuple_SetItem(out.get(), 2, offsets.release()));
        return out.release();
    });
}

const char *const exact_names[] = {"parts"};
const Signature exact_sig = {"exact_sums", exact_names, 1};

/// exact_sums(parts) -> float64 array: the sum of each row of the 2-D float64 array
/// `parts`, exactly, rounded once (infinities and NaN as IEEE addition combines them).
/// Rows of the parts that slab counts give for their sums (src/exact_sum.h), joined
/// along the last axis, add up to the sums of a single count, bit for bit.
PyObject *py_exact_sums(PyObject *, PyObject *args, PyObject *kwargs) {
    return guarded([&] {
        BoundArgs bound = bind_arguments(exact_sig, args, kwargs);
        const StridedMatrix parts = positions_arg(bound, 0);
        return make_array_1d(exact_row_sums(parts)).release();
    });
}

const char *const columns_names[] = {"n_rows", "box_size", "r_xy", "w"};
const Signature columns_sig = {"pair_grid_columns", columns_names, 4};

/// pair_grid_columns(n_rows, box_size, r_xy, w) -> int: the cells across x of the grid
/// of a pair count over n_rows galaxies (src/cell_list.h), for slab faces on its cell
/// boundaries.
PyObject *py_pair_grid_columns(PyObject *, PyObject *args, PyObject *kwargs) {
    return guarded([&] {
        BoundArgs bound = bind_arguments(columns_sig, args, kwargs);
        const uint64_t n_rows = count_arg(bound, 0);
        const double box_size = real_arg(bound, 1);
        const double r_xy = real_arg(bound, 2);
        const double w = real_arg(bound, 3);
        return steal_or_throw(PyLong_FromUnsignedLongLong(pair_grid_columns(box_size, r_xy, w, n_rows)))
            .release();
    });
}

const char *const grid_names[] = {"coords", "box_size", "r_xy", "w", "x_lo", "x_hi"};
const Signature grid_sig = {"_pair_grid", grid_names, 6, 2};

/// _pair_grid(coords, box_size, r_xy, w, x_lo=None, x_hi=None) -> (reach, cells_xy,
/// cells_z): a debugging aid for the tests, not for use. The grid a pair count of these
/// galaxies sorts them into (owner-aware for the slab x_lo <= x < x_hi when both are
/// given): cells of r_xy / reach across, or reach 0 for the coarse grid.
PyObject *py_pair_grid(PyObject *, PyObject *args, PyObject *kwargs) {
    return guarded([&] {
        BoundArgs bound = bind_arguments(grid_sig, args, kwargs);
        const StridedMatrix coords = positions_arg(bound, 0);
        const double box_size = real_arg(bound, 1);
        const double r_xy = real_arg(bound, 2);
        const double w = real_arg(bound, 3);
        OwnerSlab slab{};
        const bool owned = bound[4] != Py_None || bound[5] != Py_None;
        if (owned) slab = {real_arg(bound, 4), real_arg(bound, 5)};
        if (coords.rows > 0 && coords.cols < 3) {
            PyErr_SetString(PyExc_ValueError, "coords must have at least 3 columns");
            throw PyErrSet{};
        }
        const CellList grid = pair_count_grid(coords, box_size, r_xy, w, owned ? &slab : nullptr);
        return steal_or_throw(Py_BuildValue("(iKK)", grid.bounded ? grid.reach_xy : 0,
                                            static_cast<unsigned long long>(grid.cells_xy),
                                            static_cast<unsigned long long>(grid.cells_z)))
            .release();
    });
}

// ---------------------------------------------------------------------------------------------
// The package's passes over a catalogue before counting (src/prepare_input.h)

/* Each takes the arrays the package made or checked (dtypes and shapes as documented
   below; anything else raises TypeError or ValueError, never reads out of bounds) and
   an output array it allocated, and runs on the pool without the GIL, on at most
   `threads` workers, stopped by Ctrl-C as a count is. */

/// The fields of `obj` when it is a NumPy array of `ndim` dimensions and dtype
/// `typenum` (native byte order); null otherwise.
const ArrayFields *array_with(PyObject *obj, int ndim, int typenum) {
    const NumpyApi &np = numpy_api();
    if (!PyObject_TypeCheck(obj, np.array_type)) return nullptr;
    const ArrayFields *a = array_fields(obj);
    if (a->nd != ndim) return nullptr;
    Ref wanted = steal_or_throw(np.descr_from_type(typenum));
    return a->descr == wanted.get() || np.equiv_types(a->descr, wanted.get()) ? a : nullptr;
}

[[noreturn]] void raise_pass_argument(PyObject *type, const char *message) {
    PyErr_SetString(type, message);
    throw PyErrSet{};
}

/// The data of `obj`, a writeable C-contiguous array of `ndim` dimensions, dtype
/// `typenum` of `itemsize` bytes and `rows` rows of `cols` entries (cols only for 2-D).
char *output_array(PyObject *obj, int ndim, int typenum, int64_t itemsize, int64_t rows, int64_t cols) {
    const ArrayFields *a = array_with(obj, ndim, typenum);
    if (!a) raise_pass_argument(PyExc_TypeError, "out has the wrong dtype or dimensions");
    const bool shape = a->dimensions[0] == rows && (ndim == 1 || a->dimensions[1] == cols);
    const bool contiguous = rows < 2 || a->strides[0] == itemsize * (ndim == 1 ? 1 : cols);
    const bool inner = ndim == 1 || cols < 2 || a->strides[1] == itemsize;
    if (!shape || !contiguous || !inner || !(a->flags & NPY_WRITEABLE_FLAG))
        raise_pass_argument(PyExc_ValueError, "out must be a writeable C-ordered array of the input's shape");
    return a->data;
}

constexpr int NPY_FLOAT_TYPENUM = 11;

/// A 1-D float32 or float64 array as a column.
RealColumn real_column(PyObject *obj, int64_t &rows) {
    const ArrayFields *a = array_with(obj, 1, NPY_DOUBLE_TYPENUM);
    const bool single = !a;
    if (single) a = array_with(obj, 1, NPY_FLOAT_TYPENUM);
    if (!a) raise_pass_argument(PyExc_TypeError, "positions must be 1-D float32 or float64 arrays");
    if (rows >= 0 && a->dimensions[0] != rows)
        raise_pass_argument(PyExc_ValueError, "position columns must be equally long");
    rows = a->dimensions[0];
    return {a->data, a->strides[0], single};
}

PositionColumns position_columns(const BoundArgs &bound) {
    PositionColumns columns;
    int64_t rows = -1;
    for (int k = 0; k < 3; ++k) columns.axis[k] = real_column(bound[static_cast<size_t>(k)], rows);
    columns.rows = rows;
    return columns;
}

/// A 1-D array of integers of any NumPy integer type (native byte order) as a column.
IntegerColumn integer_column(PyObject *obj) {
    // NumPy's integer type numbers, byte to unsigned long long, in pairs signed/unsigned.
    static const int widths[] = {1, 1, 2, 2, 4, 4, static_cast<int>(sizeof(long)), static_cast<int>(sizeof(long)), 8, 8};
    for (int typenum = 1; typenum <= 10; ++typenum) {
        const ArrayFields *a = array_with(obj, 1, typenum);
        if (!a) continue;
        return {a->data, a->dimensions[0], a->strides[0], widths[typenum - 1], typenum % 2 == 1};
    }
    raise_pass_argument(PyExc_TypeError, "ids must be a 1-D array of integers");
}

/// Runs `work` without the GIL on the pool, on at most bound[threads_at] workers (None:
/// all); a catalogue of one chunk runs here, the GIL held, as it is over at once.
template <class Work>
void run_input_pass(const BoundArgs &bound, size_t threads_at, int64_t rows, Work &&work) {
    CountControl ctl;
    if (bound[threads_at] != Py_None) {
        ctl.max_workers = count_arg(bound, threads_at);
        if (ctl.max_workers == 0) raise_pass_argument(PyExc_ValueError, "threads must be at least 1");
    }
    if (rows <= (int64_t{1} << 16)) {
        work();
        return;
    }
    Waiter(Py_None, Py_None, ctl).run(work);
}

const char *const scan_names[] = {"x", "y", "z", "box_size", "threads"};
const Signature scan_sig = {"scan_positions", scan_names, 5, 1};

/// scan_positions(x, y, z, box_size, threads=None) -> int: 0 when every position is
/// finite and in [0, box_size), 1 when all are finite but some lie outside, 2 when one
/// is NaN or infinite. x, y, z: 1-D float32 or float64 arrays, any strides.
PyObject *py_scan_positions(PyObject *, PyObject *args, PyObject *kwargs) {
    return guarded([&] {
        BoundArgs bound = bind_arguments(scan_sig, args, kwargs);
        const PositionColumns columns = position_columns(bound);
        const double box = real_arg(bound, 3);
        PositionsFound found = PositionsFound::inside_box;
        run_input_pass(bound, 4, columns.rows, [&] { found = scan_positions(columns, box); });
        return steal_or_throw(PyLong_FromLong(static_cast<long>(found))).release();
    });
}

const char *const copy_names[] = {"x", "y", "z", "box_size", "wrap", "out", "threads"};
const Signature copy_sig = {"copy_positions", copy_names, 7, 1};

/// copy_positions(x, y, z, box_size, wrap, out, threads=None): writes the positions into
/// `out`, a C-ordered float64 (N, 3) array, wrapped into [0, box_size) when `wrap` as
/// np.mod(x, box_size) does (box_size itself then becomes 0.0). The positions must be
/// finite (see scan_positions); `out` must not overlap them.
PyObject *py_copy_positions(PyObject *, PyObject *args, PyObject *kwargs) {
    return guarded([&] {
        BoundArgs bound = bind_arguments(copy_sig, args, kwargs);
        const PositionColumns columns = position_columns(bound);
        const double box = real_arg(bound, 3);
        const bool wrap = flag_arg(bound, 4);
        if (!(box > 0.0) || !std::isfinite(box)) raise_pass_argument(PyExc_ValueError, "box_size must be finite and positive");
        double *out = reinterpret_cast<double *>(output_array(bound[5], 2, NPY_DOUBLE_TYPENUM, 8, columns.rows, 3));
        run_input_pass(bound, 6, columns.rows, [&] { copy_positions(columns, box, wrap, out); });
        Py_INCREF(Py_None);
        return Py_None;
    });
}

const char *const ids_names[] = {"ids", "out", "threads"};
const Signature ids_int32_sig = {"ids_to_int32", ids_names, 3, 1};
const char *const relabel_names[] = {"ids", "out", "threads", "piece_rows"};
const Signature relabel_sig = {"relabel_dense", relabel_names, 4, 2};

/// ids_to_int32(ids, out, threads=None) -> bool: writes the integer ids into `out` (a
/// C-ordered int32 array as long) and returns True when every one fits int32; False (out
/// partly written) otherwise.
PyObject *py_ids_to_int32(PyObject *, PyObject *args, PyObject *kwargs) {
    return guarded([&] {
        BoundArgs bound = bind_arguments(ids_int32_sig, args, kwargs);
        const IntegerColumn ids = integer_column(bound[0]);
        int32_t *out = reinterpret_cast<int32_t *>(output_array(bound[1], 1, NPY_INT_TYPENUM, 4, ids.size, 1));
        bool fits = true;
        run_input_pass(bound, 2, ids.size, [&] { fits = ids_to_int32(ids, out); });
        return steal_or_throw(PyBool_FromLong(fits)).release();
    });
}

/// relabel_dense(ids, out, threads=None, piece_rows=None) -> int: writes into `out` (a
/// C-ordered int32 array as long) each id's rank among the distinct ids, 0, 1, 2, ... in
/// ascending order (np.unique's inverse), and returns their number; past 2**31 of them
/// `out` is left unwritten. ids: a 1-D array of 8-byte integers. piece_rows: the fewest
/// rows sorted together (for the tests, which merge many pieces of small catalogues).
PyObject *py_relabel_dense(PyObject *, PyObject *args, PyObject *kwargs) {
    return guarded([&] {
        BoundArgs bound = bind_arguments(relabel_sig, args, kwargs);
        const IntegerColumn ids = integer_column(bound[0]);
        if (ids.width != 8) raise_pass_argument(PyExc_TypeError, "ids must hold 8-byte integers");
        int32_t *out = reinterpret_cast<int32_t *>(output_array(bound[1], 1, NPY_INT_TYPENUM, 4, ids.size, 1));
        const int64_t piece_rows =
            bound[3] == Py_None ? RELABEL_PIECE_ROWS : static_cast<int64_t>(std::max<uint64_t>(1, count_arg(bound, 3)));
        uint64_t distinct = 0;
        const int64_t rows = piece_rows < ids.size ? std::max<int64_t>(ids.size, (int64_t{1} << 16) + 1) : ids.size;
        run_input_pass(bound, 2, rows, [&] { distinct = relabel_dense(ids, out, piece_rows); });
        return steal_or_throw(PyLong_FromUnsignedLongLong(distinct)).release();
    });
}

const char *const cubes_names[] = {"coords", "n", "box_size", "out", "threads"};
const Signature cubes_sig = {"cube_labels", cubes_names, 5, 1};

/// cube_labels(coords, n, box_size, out, threads=None): writes into `out` (a C-ordered
/// int32 array, one entry per row) the cube of each position among n**3 of side
/// box_size / n (src/prepare_input.h). coords: a float64 (N, >= 3) array inside the box.
PyObject *py_cube_labels(PyObject *, PyObject *args, PyObject *kwargs) {
    return guarded([&] {
        BoundArgs bound = bind_arguments(cubes_sig, args, kwargs);
        const StridedMatrix coords = positions_arg(bound, 0);
        const uint64_t n = count_arg(bound, 1);
        const double box = real_arg(bound, 2);
        if (coords.rows > 0 && coords.cols < 3) raise_pass_argument(PyExc_ValueError, "coords must have at least 3 columns");
        if (n < 1 || n > 1290) raise_pass_argument(PyExc_ValueError, "n must be in [1, 1290]");  // n**3 <= 2**31
        int32_t *out = reinterpret_cast<int32_t *>(output_array(bound[3], 1, NPY_INT_TYPENUM, 4, coords.rows, 1));
        run_input_pass(bound, 4, coords.rows,
                       [&] { cube_labels(coords, static_cast<int64_t>(n), box, out); });
        Py_INCREF(Py_None);
        return Py_None;
    });
}

// ---------------------------------------------------------------------------------------------
// What runs here

/// runtime_info() -> dict: the kernel variant counts use ("kernel", None when QUOR_KERNEL
/// asks for one that cannot run, with the reason in "kernel_error"), the variants this
/// processor and build run ("kernels"), and the pool's size ("threads") with what set it
/// ("threads_from", and "threads_unparsed": variables passed over as unreadable).
PyObject *py_runtime_info(PyObject *, PyObject *) {
    return guarded([&] {
        Ref info = steal_or_throw(PyDict_New());
        auto set = [&](const char *key, PyObject *value) {
            Ref held = steal_or_throw(value);
            check_status(PyDict_SetItemString(info.get(), key, held.get()));
        };
        auto text = [](const std::string &s) {
            return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
        };
        const std::string &error = kernel_choice_error();
        if (error.empty()) {
            set("kernel", PyUnicode_FromString(kernel_name(active_kernel())));
            set("kernel_error", Py_BuildValue(""));
        } else {
            set("kernel", Py_BuildValue(""));
            set("kernel_error", text(error));
        }
        Ref kernels = steal_or_throw(PyList_New(0));
        for (Kernel k : {Kernel::portable, Kernel::avx2, Kernel::avx512}) {
            if (!kernel_supported(k)) continue;
            Ref name = steal_or_throw(PyUnicode_FromString(kernel_name(k)));
            check_status(PyList_Append(kernels.get(), name.get()));
        }
        set("kernels", kernels.release());
        const PoolSizing &sizing = pool_sizing();
        set("threads", PyLong_FromUnsignedLongLong(sizing.workers));
        set("threads_from", text(sizing.from));
        Ref unparsed = steal_or_throw(PyList_New(0));
        for (const std::string &name : sizing.unparsed) {
            Ref item = steal_or_throw(text(name));
            check_status(PyList_Append(unparsed.get(), item.get()));
        }
        set("threads_unparsed", unparsed.release());
        return info.release();
    });
}

// ---------------------------------------------------------------------------------------------
// Function table, module definition and init

template <class F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int KW = METH_VARARGS | METH_KEYWORDS;

PyMethodDef function_table[] = {
    {"count_pairs_1d", as_cfunction(py_count_pairs_1d), KW,
     "count_pairs_1d(coords, partition_ids, r_bins, box_size, progress=None, threads=None, stop=None, "
     "coords2=None, partition_ids2=None, weights=None, weights2=None, separations=None, "
     "regions=None, regions2=None, n_regions=None)\n--\n\n"},
    {"count_pairs_2d", as_cfunction(py_count_pairs_2d), KW,
     "count_pairs_2d(coords, partition_ids, r_p_bins, pi_bins, box_size, progress=None, threads=None, stop=None, "
     "coords2=None, partition_ids2=None, weights=None, weights2=None, separations=None, "
     "regions=None, regions2=None, n_regions=None)\n--\n\n"},
    {"count_pairs_smu", as_cfunction(py_count_pairs_smu), KW,
     "count_pairs_smu(coords, partition_ids, s_bins, n_mu_bins, mu_max, box_size, progress=None, threads=None, stop=None, "
     "coords2=None, partition_ids2=None, weights=None, weights2=None, separations=None, "
     "regions=None, regions2=None, n_regions=None)\n--\n\n"},
    {"count_npoint", as_cfunction(py_count_npoint), KW,
     "count_npoint(coords, partition_ids, r_bins, box_size, n_order, progress=None, threads=None, stop=None, "
     "regions=None, n_regions=None)\n--\n\n"},
    {"count_npoint3_shape", as_cfunction(py_count_npoint3_shape), KW,
     "count_npoint3_shape(coords, partition_ids, r_bins, n_ratio, box_size, progress=None, threads=None, stop=None, "
     "regions=None, n_regions=None)\n--\n\n"},
    {"count_pairs_1d_slab", as_cfunction(py_count_pairs_1d_slab), KW,
     "count_pairs_1d_slab(coords, partition_ids, r_bins, box_size, x_lo, x_hi, progress=None, threads=None, stop=None, "
     "coords2=None, partition_ids2=None, weights=None, weights2=None, separations=None, "
     "regions=None, regions2=None, n_regions=None)\n--\n\n"},
    {"count_pairs_2d_slab", as_cfunction(py_count_pairs_2d_slab), KW,
     "count_pairs_2d_slab(coords, partition_ids, r_p_bins, pi_bins, box_size, x_lo, x_hi, progress=None, threads=None, "
     "stop=None, coords2=None, partition_ids2=None, weights=None, weights2=None, separations=None, "
     "regions=None, regions2=None, n_regions=None)\n--\n\n"},
    {"count_pairs_smu_slab", as_cfunction(py_count_pairs_smu_slab), KW,
     "count_pairs_smu_slab(coords, partition_ids, s_bins, n_mu_bins, mu_max, box_size, x_lo, x_hi, "
     "progress=None, threads=None, stop=None, coords2=None, partition_ids2=None, weights=None, weights2=None, "
     "separations=None, regions=None, regions2=None, n_regions=None)\n--\n\n"},
    {"count_npoint_slab", as_cfunction(py_count_npoint_slab), KW,
     "count_npoint_slab(coords, partition_ids, r_bins, box_size, n_order, x_lo, x_hi, progress=None, threads=None, "
     "stop=None, regions=None, n_regions=None)\n--\n\n"},
    {"count_npoint3_shape_slab", as_cfunction(py_count_npoint3_shape_slab), KW,
     "count_npoint3_shape_slab(coords, partition_ids, r_bins, n_ratio, box_size, x_lo, x_hi, "
     "progress=None, threads=None, stop=None, regions=None, n_regions=None)\n--\n\n"},
    {"split_slabs", as_cfunction(py_split_slabs), KW,
     "split_slabs(coords, partition_ids, faces, ghost)\n--\n\n"},
    {"exact_sums", as_cfunction(py_exact_sums), KW, "exact_sums(parts)\n--\n\n"},
    {"pair_grid_columns", as_cfunction(py_pair_grid_columns), KW,
     "pair_grid_columns(n_rows, box_size, r_xy, w)\n--\n\n"},
    {"runtime_info", as_cfunction(py_runtime_info), METH_NOARGS, "runtime_info()\n--\n\n"},
    {"_pool_probe", as_cfunction(py_pool_probe), KW,
     "_pool_probe(pieces, progress=None, threads=None, stop=None)\n--\n\n"},
    {"_pair_grid", as_cfunction(py_pair_grid), KW,
     "_pair_grid(coords, box_size, r_xy, w, x_lo=None, x_hi=None)\n--\n\n"},
    // The package's passes over a catalogue.
    {"scan_positions", as_cfunction(py_scan_positions), KW, "scan_positions(x, y, z, box_size, threads=None)\n--\n\n"},
    {"copy_positions", as_cfunction(py_copy_positions), KW,
     "copy_positions(x, y, z, box_size, wrap, out, threads=None)\n--\n\n"},
    {"ids_to_int32", as_cfunction(py_ids_to_int32), KW, "ids_to_int32(ids, out, threads=None)\n--\n\n"},
    {"relabel_dense", as_cfunction(py_relabel_dense), KW, "relabel_dense(ids, out, threads=None, piece_rows=None)\n--\n\n"},
    {"cube_labels", as_cfunction(py_cube_labels), KW, "cube_labels(coords, n, box_size, out, threads=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

/// quor's own variable comes first; the others size the pool as they size _quor's.
const char *const pool_variables[] = {"QUOR_NUM_THREADS", "RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quor._kernels",
    "Counters behind the quor package: strict arguments as _quor takes them, counted "
    "with the GIL released.",
    -1,
    function_table,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quor

PyMODINIT_FUNC PyInit__kernels(void) {
    quor::set_pool_variables(quor::pool_variables, std::size(quor::pool_variables));
    PyObject *module = PyModule_Create(&quor::module_def);
    if (module && quor::register_at_exit() < 0) Py_CLEAR(module);
    return module;
}
