/* src/parallel.h: the process-wide worker pool and the parallel fold-and-sum over an
   index range that every counter runs its kernel through. */
#pragma once

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

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

/// Index of the calling worker in [0, W), or -1 on a thread outside the pool.
int worker_index();

}  // namespace detail

/// Number of workers W of the pool, creating the pool on first use.
uint64_t pool_size();

/// Parse of a worker-count environment value: an optional "+", then one or more digits,
/// no blanks, no 64-bit overflow. Returns false for anything else.
bool parse_thread_count(const char *text, uint64_t &value);

/// Sweeps [0, n): calls `step(acc, i)` for every index, in ascending order within each
/// piece of the range. Every thread that runs pieces of the sweep counts them into one
/// accumulator of its own, made by `make()` (zeroed) when it takes its first piece; at
/// the end these are combined with `left.merge(right)` (entry by entry, right into left).
/// When `make` or `step` throws, every accumulator of the sweep is dropped and the first
/// exception is rethrown once all pieces have ended.
template <class Acc, class Make, class Step>
Acc parallel_sweep(uint64_t n, const Make &make, const Step &step);

/// Calls `f(i)` once for every i in [0, n) on the pool, in no set order: for work whose
/// indices write disjoint data and produce nothing to merge.
template <class F>
void parallel_for(uint64_t n, const F &f);

// ---- implementation -------------------------------------------------------------

namespace detail {

/* The split budget of a fresh or stolen piece. Halving with a budget of exactly W leaves
   leaf pieces of about 1/(4W) of the range, and the last leaf then runs alone while the
   other workers idle (a fifth of the sweep lost at two workers). Sixteen times W makes
   pieces small enough that the workers finish together; pieces cost no accumulator of
   their own, so their number does not matter for memory. */
constexpr uint64_t SPLITS_PER_WORKER = 16;

/* One sweep: the slots of its accumulators, one per worker plus one for the thread that
   started it from outside the pool. Each slot is only touched by its own thread, and a
   thread runs one piece at a time: a worker waiting in a join may run other pieces of
   this sweep (or of another), but never in the middle of a step, as a step does not join.
   Should a step ever do so, the piece it lets in finds the slot busy and counts into an
   accumulator set aside, merged at the end like the others. */
template <class Acc, class Make, class Step>
class Sweep {
public:
    Sweep(const Make &make, const Step &step, uint64_t workers)
        : make_(make),
          step_(step),
          budget_unit_(workers * SPLITS_PER_WORKER),
          slots_(workers + 1) {}

    /// Runs [0, n), splitting it over the pool unless it is too short to split.
    void run_all(uint64_t n) {
        uint64_t budget = budget_unit_;
        if (worker_index() >= 0) {
            run(0, n, budget, false);
            return;
        }
        if (!split_budget(n, false, budget)) {
            run_serial(0, n);
            return;
        }
        // Both halves go to the pool as one job; there they count as taken over.
        auto root = [&](bool) { run_halves(0, n, budget, true); };
        run_on_pool(task_ref(root));
    }

    /// Merges every accumulator made (slots in order, then those set aside) into the
    /// first, pairwise on the pool, and returns it; `make()` if the sweep made none.
    Acc take_result() {
        std::vector<std::unique_ptr<Acc> *> parts;
        for (Slot &slot : slots_)
            if (slot.acc) parts.push_back(&slot.acc);
        for (std::unique_ptr<Acc> &acc : aside_) parts.push_back(&acc);
        if (parts.empty()) return make_();
        if (parts.size() > 1) {
            auto root = [&](bool) { merge_range(parts, 0, parts.size()); };
            if (worker_index() >= 0)
                root(false);
            else
                run_on_pool(task_ref(root));
        }
        return std::move(*parts.front()->get());
    }

private:
    struct Slot {
        std::unique_ptr<Acc> acc;
        bool busy = false;
    };

    const Make &make_;
    const Step &step_;
    uint64_t budget_unit_;  ///< W x SPLITS_PER_WORKER
    std::vector<Slot> slots_;
    std::mutex aside_mu_;
    std::vector<std::unique_ptr<Acc>> aside_;

    /// Adaptive halving: a piece splits while its budget allows; a piece that moved to
    /// another thread gets a fresh budget so that stolen work can be shared again.
    bool split_budget(uint64_t len, bool migrated, uint64_t &budget) const {
        if (len / 2 < 1) return false;
        if (migrated) {
            budget = std::max(budget / 2, budget_unit_);
            return true;
        }
        if (budget == 0) return false;
        budget /= 2;
        return true;
    }

    Slot &own_slot() {
        const int w = worker_index();
        const size_t last = slots_.size() - 1;
        return slots_[w >= 0 && static_cast<size_t>(w) < last ? static_cast<size_t>(w) : last];
    }

    void run_serial(uint64_t begin, uint64_t end) {
        Slot &slot = own_slot();
        if (slot.busy) {
            auto acc = std::make_unique<Acc>(make_());
            for (uint64_t i = begin; i < end; ++i) step_(*acc, i);
            std::lock_guard<std::mutex> lock(aside_mu_);
            aside_.push_back(std::move(acc));
            return;
        }
        slot.busy = true;
        struct Release {
            bool &busy;
            ~Release() { busy = false; }
        } release{slot.busy};
        if (!slot.acc) slot.acc = std::make_unique<Acc>(make_());
        for (uint64_t i = begin; i < end; ++i) step_(*slot.acc, i);
    }

    void run(uint64_t begin, uint64_t end, uint64_t budget, bool migrated) {
        if (!split_budget(end - begin, migrated, budget)) {
            run_serial(begin, end);
            return;
        }
        run_halves(begin, end, budget, false);
    }

    /// Merges parts[lo, hi) into parts[lo], the two halves at once, freeing the others
    /// as they are merged: the total work of a serial merge, in log2 rounds.
    static void merge_range(std::vector<std::unique_ptr<Acc> *> &parts, size_t lo, size_t hi) {
        if (hi - lo < 2) return;
        const size_t mid = lo + (hi - lo) / 2;
        if (hi - lo > 2) {
            auto left = [&](bool) { merge_range(parts, lo, mid); };
            auto right = [&](bool) { merge_range(parts, mid, hi); };
            join(task_ref(left), task_ref(right), false);
        }
        (*parts[lo])->merge(**parts[mid]);
        parts[mid]->reset();
    }

    void run_halves(uint64_t begin, uint64_t end, uint64_t budget, bool injected) {
        const uint64_t mid = begin + (end - begin) / 2;
        auto run_left = [&](bool migrated) { run(begin, mid, budget, migrated); };
        auto run_right = [&](bool migrated) { run(mid, end, budget, migrated); };
        join(task_ref(run_left), task_ref(run_right), injected);
    }
};

}  // namespace detail

template <class Acc, class Make, class Step>
Acc parallel_sweep(uint64_t n, const Make &make, const Step &step) {
    detail::Sweep<Acc, Make, Step> sweep(make, step, pool_size());
    sweep.run_all(n);
    return sweep.take_result();
}

template <class F>
void parallel_for(uint64_t n, const F &f) {
    struct Nothing {
        void merge(const Nothing &) {}
    };
    parallel_sweep<Nothing>(n, [] { return Nothing{}; }, [&f](Nothing &, uint64_t i) { f(i); });
}

}  // namespace quor
