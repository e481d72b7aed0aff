/* src/parallel.h: the process-wide worker pool and the parallel fold-and-sum over an
   index range that every counter runs its kernel through. */
#pragma once

#include <algorithm>
#include <cstdint>
#include <exception>
#include <optional>
#include <utility>

namespace quor {

namespace detail {

/// A type-erased piece of work; `migrated` tells it whether it runs on a thread other
/// than the one that created it.
struct TaskRef {
    void (*invoke)(void *ctx, bool migrated);
    void *ctx;
};

template <class F>
TaskRef task_ref(F &f) {
    return {[](void *ctx, bool migrated) { (*static_cast<F *>(ctx))(migrated); }, &f};
}

/// Runs `left` on this worker and offers `right` to the others; returns when both are
/// done. `injected` marks work handed in from outside the pool. Rethrows the first
/// exception of either side, after both have ended.
void join(TaskRef left, TaskRef right, bool injected);

/// Called from a thread outside the pool: runs `root` on the pool and blocks until it
/// is done. The calling thread does no counting meanwhile.
void run_on_pool(TaskRef root);

/// True on a worker thread of the pool.
bool on_worker();

}  // namespace detail

/// Number of workers W of the pool, creating the pool on first use.
uint64_t pool_size();

/// Parse of a worker-count environment value: an optional "+", then one or more digits,
/// no blanks, no 64-bit overflow. Returns false for anything else.
bool parse_thread_count(const char *text, uint64_t &value);

/// Sweeps [0, n): every piece of the range starts from `make()` (a zeroed accumulator),
/// calls `step(acc, i)` for its indices in ascending order, and the pieces' accumulators
/// are combined with `left.merge(right)` (entry by entry, right into left).
template <class Acc, class Make, class Step>
Acc parallel_sweep(uint64_t n, const Make &make, const Step &step);

// ---- implementation -------------------------------------------------------------

namespace detail {

/* The split budget of a fresh or stolen piece. Halving with a budget of exactly W leaves
   leaf pieces of about 1/(4W) of the range, and the last leaf then runs alone while the
   other workers idle (a fifth of the sweep lost at two workers). Sixteen times W keeps the
   pieces few (a histogram each) yet small enough that the workers finish together. */
constexpr uint64_t SPLITS_PER_WORKER = 16;

template <class Acc, class Make, class Step>
struct Sweep {
    const Make &make;
    const Step &step;
    uint64_t workers;  ///< the budget unit: W x SPLITS_PER_WORKER

    /// Adaptive halving: a piece splits while its budget allows; a piece that moved to
    /// another thread gets a fresh budget so that stolen work can be shared again.
    static bool split_budget(uint64_t len, bool migrated, uint64_t workers, uint64_t &budget) {
        if (len / 2 < 1) return false;
        if (migrated) {
            budget = std::max(budget / 2, workers);
            return true;
        }
        if (budget == 0) return false;
        budget /= 2;
        return true;
    }

    Acc run_serial(uint64_t begin, uint64_t end) const {
        Acc acc = make();
        for (uint64_t i = begin; i < end; ++i) step(acc, i);
        return acc;
    }

    Acc run(uint64_t begin, uint64_t end, uint64_t budget, bool migrated) const {
        if (!split_budget(end - begin, migrated, workers, budget)) return run_serial(begin, end);
        return run_halves(begin, end, budget, false);
    }

    Acc run_halves(uint64_t begin, uint64_t end, uint64_t budget, bool injected) const {
        const uint64_t mid = begin + (end - begin) / 2;
        std::optional<Acc> left, right;
        auto run_left = [&](bool migrated) { left.emplace(run(begin, mid, budget, migrated)); };
        auto run_right = [&](bool migrated) { right.emplace(run(mid, end, budget, migrated)); };
        join(task_ref(run_left), task_ref(run_right), injected);
        left->merge(*right);
        return std::move(*left);
    }
};

}  // namespace detail

template <class Acc, class Make, class Step>
Acc parallel_sweep(uint64_t n, const Make &make, const Step &step) {
    detail::Sweep<Acc, Make, Step> sweep{make, step, pool_size() * detail::SPLITS_PER_WORKER};
    if (detail::on_worker()) return sweep.run(0, n, sweep.workers, false);

    uint64_t budget = sweep.workers;
    if (!sweep.split_budget(n, false, sweep.workers, budget)) return sweep.run_serial(0, n);

    // Both halves go to the pool as one job; there they count as taken over.
    std::optional<Acc> result;
    std::exception_ptr error;
    auto root = [&](bool) {
        try {
            result.emplace(sweep.run_halves(0, n, budget, true));
        } catch (...) {
            error = std::current_exception();
        }
    };
    detail::run_on_pool(detail::task_ref(root));
    if (error) std::rethrow_exception(error);
    return std::move(*result);
}

}  // namespace quor
