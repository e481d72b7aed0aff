/* src/parallel.h: the process-wide worker pool and the parallel fold-and-sum over an
   index range that every counter runs its kernel through. */
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace quor {

/// What a count running on the pool shares with the thread that waits for it: a request
/// to stop, read by the workers, and the progress of its counting sweeps, written by them.
/// Each field has its own cache line, so progress updates do not slow the stop checks.
struct CountControl {
    /// The most workers that run pieces of this count; 0 for the whole pool. Set before
    /// it starts.
    uint64_t max_workers = 0;
    alignas(64) std::atomic<bool> cancel{false};
    alignas(64) std::atomic<uint64_t> done{0};  ///< indices of counting sweeps finished
    std::atomic<uint64_t> total{0};             ///< indices of counting sweeps started
};

/// Thrown inside a count whose control asks it to stop; ends every piece in flight.
struct Cancelled : std::exception {
    const char *what() const noexcept override { return "count cancelled"; }
};

/// The control of the count the calling thread works for, or null when the count runs
/// without one (nothing is ever cancelled or reported then).
CountControl *current_control();

/// Throws Cancelled when `ctl` asks to stop. Long loops inside a step call it every few
/// thousand iterations, with `ctl` read once from current_control() before the loop.
inline void check_cancelled(const CountControl *ctl) {
    if (ctl && ctl->cancel.load(std::memory_order_relaxed)) throw Cancelled();
}

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

/// Called from a thread outside the pool: runs `root` on the pool under `ctl` and, while
/// it runs, calls `poll(ctx)` on the calling thread about every `tick`. Once `poll`
/// returns false, `ctl.cancel` is set and `poll` is not called again. Returns (or
/// rethrows the root's exception) only when the root has ended on the pool.
void run_controlled(TaskRef root, CountControl &ctl, bool (*poll)(void *), void *ctx,
                    std::chrono::milliseconds tick);

/// Index of the calling worker in [0, W), or -1 on a thread outside the pool.
int worker_index();

/* A body of work whose pieces at most `max` pool threads run: a count (the workers its
   control allows) or one sweep of it (the accumulator copies it may hold). A thread
   that has run a piece stays in the crew until the crew ends, as its accumulator does.
   A crew lies inside the crew of the work it is part of, and a thread takes a piece
   only when every crew up that chain has it already or has room for it. The limit
   never deadlocks: the thread that offered a piece can always run it itself. */
struct Crew {
    uint64_t max = 0;          ///< 0: no limit of its own
    Crew *outer = nullptr;     ///< the work this one is part of, or null
    std::vector<int> members;  ///< workers that ran its pieces; the pool's mutex guards it
};

/// The crew of the piece the calling thread runs, or null.
Crew *current_crew();

/// The least limit along the chain from `crew` outwards, and at most `workers`.
uint64_t crew_limit(const Crew *crew, uint64_t workers);

/// Makes `crew` the calling thread's crew while it lives; a pool worker also joins it
/// (and the crews around it).
class CrewScope {
public:
    explicit CrewScope(Crew &crew);
    ~CrewScope();
    CrewScope(const CrewScope &) = delete;
    CrewScope &operator=(const CrewScope &) = delete;

private:
    Crew *outer_crew_;
};

}  // namespace detail

/// Number of workers W of the pool, creating the pool on first use.
uint64_t pool_size();

/// How the pool was sized: W, what set it (the environment variable, or
/// "processor count"), and the variables read on the way whose values could not be
/// parsed (and were therefore passed over).
struct PoolSizing {
    uint64_t workers = 1;
    std::string from;
    std::vector<std::string> unparsed;
};

/// The sizing of the pool, creating the pool on first use.
const PoolSizing &pool_sizing();

/// The environment variables that size the pool, read in this order when it is created
/// (the first one set to a valid count decides; a valid 0 means the processor count).
/// The default is RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS. Takes effect only before
/// the pool exists; `names` must outlive it.
void set_pool_variables(const char *const *names, size_t count);

/// Parse of a worker-count environment value: an optional "+", then one or more digits,
/// no blanks, no 64-bit overflow. Returns false for anything else.
bool parse_thread_count(const char *text, uint64_t &value);

/* Histogram copies. Each thread that runs pieces of a sweep counts into a copy of its
   own, so a sweep holds up to one copy per thread. The copies of one sweep may take
   HISTOGRAM_BUDGET together; past that the sweep runs on fewer threads, but always on
   at least two copies' worth (the copies then take at most twice the result). */
constexpr uint64_t HISTOGRAM_BUDGET = uint64_t{256} << 20;

/// Threads (so copies) a sweep whose accumulators take `copy_bytes` each may run on:
/// 0 for no limit of its own.
uint64_t copies_within_budget(uint64_t copy_bytes);

/// Runs `work()` on the pool as one count under `ctl`, its sweeps checking `ctl.cancel`
/// and reporting progress; meanwhile the calling thread (outside the pool) calls `poll()`
/// about every `tick` until `poll` returns false (see detail::run_controlled).
template <class Work, class Poll>
void run_counting(CountControl &ctl, Work &&work, Poll &&poll, std::chrono::milliseconds tick);

/// Sweeps [0, n): calls `step(acc, i)` for every index, in ascending order within each
/// piece of the range. Every thread that runs pieces of the sweep counts them into one
/// accumulator of its own, made by `make()` (zeroed) when it takes its first piece; at
/// the end these are combined with `left.merge(right)` (entry by entry, right into left).
/// When `make` or `step` throws, every accumulator of the sweep is dropped and the first
/// exception is rethrown once all pieces have ended. Under a control (see run_counting)
/// this is a counting sweep: it adds n to the control's total when it starts and each
/// index to `done` as it finishes, and stops with Cancelled before its next index once
/// the control asks to stop. With `copy_bytes` (the size of one accumulator), the sweep
/// runs on no more threads than copies_within_budget allows.
template <class Acc, class Make, class Step>
Acc parallel_sweep(uint64_t n, const Make &make, const Step &step, uint64_t copy_bytes = 0);

/// Calls `f(i)` once for every i in [0, n) on the pool, in no set order: for work whose
/// indices write disjoint data and produce nothing to merge. Preparation, not counting:
/// it can be cancelled like a sweep but reports no progress.
template <class F>
void parallel_for(uint64_t n, const F &f);

/// parallel_for with scratch space: `f(scratch, i)`, each thread's `Scratch` made by
/// `make()` when it takes its first index and dropped at the end.
template <class Scratch, class Make, class F>
void parallel_for(uint64_t n, const Make &make, const F &f);

// ---- implementation -------------------------------------------------------------

namespace detail {

/* The split budget of a fresh or stolen piece. Halving with a budget of exactly W leaves
   leaf pieces of about 1/(4W) of the range, and the last leaf then runs alone while the
   other workers idle (a fifth of the sweep lost at two workers). Sixteen times W makes
   pieces small enough that the workers finish together; pieces cost no accumulator of
   their own, so their number does not matter for memory. */
constexpr uint64_t SPLITS_PER_WORKER = 16;

/// Indices a piece finishes before it adds them to its control's progress.
constexpr uint64_t PROGRESS_BATCH = 64;

/* One sweep: the slots of its accumulators, one per worker plus one for the thread that
   started it from outside the pool. Each slot is only touched by its own thread, and a
   thread runs one piece at a time: a worker waiting in a join may run other pieces of
   this sweep (or of another), but never in the middle of a step, as a step does not join.
   Should a step ever do so, the piece it lets in finds the slot busy and counts into an
   accumulator set aside, merged at the end like the others. */
template <class Acc, class Make, class Step, bool Counting>
class Sweep {
public:
    /// `max_threads`: the most threads that run its pieces, 0 for no limit of its own
    /// (the count's still holds).
    Sweep(const Make &make, const Step &step, uint64_t workers, uint64_t max_threads = 0)
        : make_(make),
          step_(step),
          crew_{max_threads, current_crew(), {}},
          in_crew_(crew_),
          budget_unit_(crew_limit(&crew_, workers) * SPLITS_PER_WORKER),
          ctl_(current_control()),
          slots_(workers + 1) {}

    /// Runs [0, n), splitting it over the pool unless it is too short to split.
    void run_all(uint64_t n) {
        if (Counting && ctl_) ctl_->total.fetch_add(n, std::memory_order_relaxed);
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
    Crew crew_;          ///< the threads of this sweep, inside those of its count
    CrewScope in_crew_;  ///< the thread that made the sweep runs its first piece
    uint64_t budget_unit_;  ///< the threads it may run on x SPLITS_PER_WORKER
    CountControl *ctl_;     ///< of the count this sweep belongs to; null without one
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

    /// The steps of [begin, end) in order. Under a control: a stop check before each index
    /// (a relaxed load of a line the workers only read) and progress in batches, so the
    /// shared counter is written once per PROGRESS_BATCH indices at most.
    void steps(Acc &acc, uint64_t begin, uint64_t end) {
        if (!ctl_) {
            for (uint64_t i = begin; i < end; ++i) step_(acc, i);
            return;
        }
        uint64_t pending = 0;
        for (uint64_t i = begin; i < end; ++i) {
            check_cancelled(ctl_);
            step_(acc, i);
            if (Counting && ++pending == PROGRESS_BATCH) {
                ctl_->done.fetch_add(pending, std::memory_order_relaxed);
                pending = 0;
            }
        }
        if (Counting && pending) ctl_->done.fetch_add(pending, std::memory_order_relaxed);
    }

    void run_serial(uint64_t begin, uint64_t end) {
        Slot &slot = own_slot();
        if (slot.busy) {
            auto acc = std::make_unique<Acc>(make_());
            steps(*acc, begin, end);
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
        steps(*slot.acc, begin, end);
    }

    void run(uint64_t begin, uint64_t end, uint64_t budget, bool migrated) {
        check_cancelled(ctl_);  // a piece of a stopped count ends here, unstarted
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
Acc parallel_sweep(uint64_t n, const Make &make, const Step &step, uint64_t copy_bytes) {
    detail::Sweep<Acc, Make, Step, true> sweep(make, step, pool_size(), copies_within_budget(copy_bytes));
    sweep.run_all(n);
    return sweep.take_result();
}

template <class Scratch, class Make, class F>
void parallel_for(uint64_t n, const Make &make, const F &f) {
    struct Held {
        Scratch scratch;
        void merge(const Held &) {}
    };
    auto make_held = [&make] { return Held{make()}; };
    auto step = [&f](Held &held, uint64_t i) { f(held.scratch, i); };
    detail::Sweep<Held, decltype(make_held), decltype(step), false> sweep(make_held, step, pool_size());
    sweep.run_all(n);
    sweep.take_result();
}

template <class F>
void parallel_for(uint64_t n, const F &f) {
    struct Nothing {};
    parallel_for<Nothing>(n, [] { return Nothing{}; }, [&f](Nothing &, uint64_t i) { f(i); });
}

template <class Work, class Poll>
void run_counting(CountControl &ctl, Work &&work, Poll &&poll, std::chrono::milliseconds tick) {
    auto root = [&work](bool) { work(); };
    auto poll_fn = [](void *ctx) { return (*static_cast<std::remove_reference_t<Poll> *>(ctx))(); };
    detail::run_controlled(detail::task_ref(root), ctl, poll_fn, &poll, tick);
}

}  // namespace quor
