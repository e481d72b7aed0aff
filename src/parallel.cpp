/* src/parallel.cpp: the process-wide worker pool: one queue of pending pieces shared by
   the workers, fork-join with reclaim of untaken halves, counts run under a control with
   the caller polling, and the worker count rules. */
#include "src/parallel.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#endif

namespace quor {

namespace {

constexpr uint64_t MAX_WORKERS = 65535;
constexpr int NOT_A_WORKER = -1;

using detail::Crew;

thread_local int tls_worker = NOT_A_WORKER;
/// The control of the count whose piece this thread runs; set around each job.
thread_local CountControl *tls_control = nullptr;
/// The crew of the piece this thread runs; set around each job and sweep.
thread_local Crew *tls_crew = nullptr;

/// Makes `ctl` and `crew` this thread's for its lifetime, then restores those before.
struct ControlScope {
    CountControl *outer;
    Crew *outer_crew;
    ControlScope(CountControl *ctl, Crew *crew) : outer(tls_control), outer_crew(tls_crew) {
        tls_control = ctl;
        tls_crew = crew;
    }
    ~ControlScope() {
        tls_control = outer;
        tls_crew = outer_crew;
    }
};

// ---- crews: the pool's mutex guards their members ------------------------------------

bool has_member(const Crew *crew, int worker) {
    return std::find(crew->members.begin(), crew->members.end(), worker) != crew->members.end();
}

/// Whether this worker may run pieces of `crew`.
bool admits(const Crew *crew) {
    for (const Crew *k = crew; k; k = k->outer)
        if (k->max && k->members.size() >= k->max && !has_member(k, tls_worker)) return false;
    return true;
}

/// Makes this worker a member of `crew` and the crews around it.
void join_crews(Crew *crew) {
    for (Crew *k = crew; k; k = k->outer)
        if (!has_member(k, tls_worker)) k->members.push_back(tls_worker);
}

enum class JobState { Queued, Running, Done };

/// A piece offered to the pool. Lives on the stack of the thread that offered it,
/// which does not return before the job is Done or taken back out of the queue.
struct Job {
    detail::TaskRef task;
    int creator;            ///< worker index of the offering thread, NOT_A_WORKER from outside
    CountControl *control;  ///< the count the job belongs to, passed on to its thread
    Crew *crew;             ///< the threads that may take it
    JobState state = JobState::Queued;
    std::exception_ptr error;

    Job(detail::TaskRef t, int from, CountControl *ctl, Crew *c)
        : task(t), creator(from), control(ctl), crew(c) {}
};

struct Pool {
    uint64_t workers = 1;  ///< W: sizes the split budget
    uint64_t started = 0;  ///< threads actually running (fewer only if the OS refused)
    uint64_t idle = 0;     ///< workers asleep in their loop, holding nothing
    bool fork_pending = false;  ///< a fork waits: no new count starts before it
    std::mutex mu;
    /* Workers sleep on `cv`; threads outside the pool wait for their counts on `outside`.
       A count queues and finishes pieces by the hundred, and each signal woke every
       thread that slept on it: the waiting caller with them, which then took a core from
       the workers for nothing. Only the end of a job handed in from outside concerns it. */
    std::condition_variable cv;       ///< signalled when a job is queued or a worker's job finished
    std::condition_variable outside;  ///< signalled when a job handed in from outside finished
    std::condition_variable all_idle;  ///< signalled when the last worker falls asleep
    std::deque<Job *> queue;     ///< oldest (largest) pieces at the front
    /* Jobs handed in from outside the pool: whole counts or whole sweeps. Only idle
       workers take them. A worker waiting in a join helps with `queue` alone, so it never
       runs another caller's entire count on top of its own piece: that would tie the end
       of this count (and of its cancellation) to the end of the other. */
    std::deque<Job *> injected;

    std::deque<Job *> &queue_of(const Job *job) {
        return job->creator == NOT_A_WORKER ? injected : queue;
    }

    /// Runs `job` on this thread, then marks it done; `job` may be gone once we unlock.
    void execute(Job *job) {
        const bool migrated = job->creator != tls_worker;
        {
            ControlScope scope(job->control, job->crew);
            try {
                job->task.invoke(job->task.ctx, migrated);
            } catch (...) {
                job->error = std::current_exception();
            }
        }
        const bool from_outside = job->creator == NOT_A_WORKER;
        {
            std::lock_guard<std::mutex> lock(mu);
            job->state = JobState::Done;
        }
        (from_outside ? outside : cv).notify_all();
    }

    /// Takes the oldest job of `from` whose crews admit this worker, which joins them;
    /// null if none. The caller holds the lock.
    static Job *take_admitted(std::deque<Job *> &from) {
        for (auto it = from.begin(); it != from.end(); ++it) {
            Job *job = *it;
            if (!admits(job->crew)) continue;
            from.erase(it);
            job->state = JobState::Running;
            join_crews(job->crew);
            return job;
        }
        return nullptr;
    }

    void push(Job *job) {
        {
            std::lock_guard<std::mutex> lock(mu);
            queue_of(job).push_back(job);
        }
        cv.notify_all();
    }

    /// Removes `job` from the queue if no worker has taken it yet.
    bool reclaim(Job *job) {
        std::lock_guard<std::mutex> lock(mu);
        if (job->state != JobState::Queued) return false;
        // The job was offered last by this thread, so it sits near the back.
        std::deque<Job *> &q = queue_of(job);
        q.erase(std::find(q.rbegin(), q.rend(), job).base() - 1);
        job->state = JobState::Running;
        return true;
    }

    /// Waits for `job`, running other queued pieces meanwhile when called by a worker.
    void wait_for(Job *job, bool help) {
        std::condition_variable &signal = job->creator == NOT_A_WORKER ? outside : cv;
        std::unique_lock<std::mutex> lock(mu);
        while (job->state != JobState::Done) {
            if (Job *other = help ? take_admitted(queue) : nullptr) {
                lock.unlock();
                execute(other);
                lock.lock();
                continue;
            }
            signal.wait(lock);
        }
    }

    void worker_loop(int index) {
        tls_worker = index;
        std::unique_lock<std::mutex> lock(mu);
        for (;;) {
            Job *job = take_admitted(queue);
            if (!job && !fork_pending) job = take_admitted(injected);
            if (!job) {
                if (++idle == started) all_idle.notify_all();
                cv.wait(lock);
                --idle;
                continue;
            }
            lock.unlock();
            execute(job);
            lock.lock();
        }
    }

    /// Waits until every worker sleeps in its loop; the caller holds the lock.
    void wait_all_idle(std::unique_lock<std::mutex> &lock) {
        all_idle.wait(lock, [this] { return idle == started; });
    }

    explicit Pool(uint64_t w) : workers(w) {
        for (uint64_t i = 0; i < w; ++i) {
            try {
                std::thread(&Pool::worker_loop, this, static_cast<int>(i)).detach();
            } catch (const std::system_error &) {
                break;  // run with the threads we have; the budget still uses W
            }
            std::lock_guard<std::mutex> lock(mu);  // workers compare it with `idle`
            ++started;
        }
    }
};

uint64_t logical_processors() {
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<uint64_t>(n);
    }
#endif
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

const char *const RAYON_VARIABLES[] = {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"};
const char *const *pool_variables = RAYON_VARIABLES;
size_t n_pool_variables = 2;

/// W from the first of pool_variables set to a valid count (a valid 0 selects the
/// default and consults no later variable), else the processor count. A value that
/// does not parse passes on to the next variable.
PoolSizing size_from_env() {
    PoolSizing sizing;
    uint64_t w = 0;
    for (size_t k = 0; k < n_pool_variables && sizing.from.empty(); ++k) {
        const char *value = std::getenv(pool_variables[k]);
        if (!value) continue;
        if (parse_thread_count(value, w))
            sizing.from = pool_variables[k];
        else if (*value)
            sizing.unparsed.push_back(pool_variables[k]);
    }
    if (w == 0) {
        w = logical_processors();
        sizing.from = sizing.from.empty() ? "processor count" : sizing.from + "=0: processor count";
    }
    sizing.workers = std::min(w, MAX_WORKERS);
    return sizing;
}

std::mutex pool_mu;
Pool *the_pool = nullptr;  // never destroyed: workers may still sleep on it at exit
PoolSizing the_sizing;     // how the_pool was sized

#if defined(__linux__)
/* A fork waits until every worker sleeps, and keeps them asleep until it is done. A
   worker caught mid-way (still starting up, or counting for another thread) may hold a
   lock of the allocator or of the C library that the child would then find taken for
   ever. Counts under way run to their end; counts asked for meanwhile start after the
   fork. The child has none of the parent's threads: it starts a pool of its own, and
   leaves the parent's, whose lock its copy still holds, alone. */
void quiet_pool_before_fork() {
    for (;;) {
        Pool *pool;
        {
            std::lock_guard<std::mutex> lock(pool_mu);
            pool = the_pool;
        }
        /* Wait without pool_mu: the workers' counts take it to reach the pool. Once all
           sleep, none will, so it is taken after, the pool's lock still held. */
        if (pool) {
            std::unique_lock<std::mutex> lock(pool->mu);
            pool->fork_pending = true;
            pool->wait_all_idle(lock);
            lock.release();
        }
        pool_mu.lock();
        if (the_pool == pool) return;  // both held across the fork
        // A pool was started meanwhile by another thread: its workers may be starting.
        pool_mu.unlock();
    }
}

void resume_pool_in_parent() {
    if (Pool *pool = the_pool) {
        pool->fork_pending = false;
        pool->mu.unlock();
        pool->cv.notify_all();  // counts asked for during the fork
    }
    pool_mu.unlock();
}

void forget_pool_in_child() {
    the_pool = nullptr;
    pool_mu.unlock();
}
#endif

Pool &get_pool() {
    std::lock_guard<std::mutex> lock(pool_mu);
    if (!the_pool) {
#if defined(__linux__)
        static const bool registered = (pthread_atfork(quiet_pool_before_fork, resume_pool_in_parent,
                                                      forget_pool_in_child), true);
        (void)registered;
#endif
        the_sizing = size_from_env();
        the_pool = new Pool(the_sizing.workers);
    }
    return *the_pool;
}

}  // namespace

bool parse_thread_count(const char *text, uint64_t &value) {
    const char *p = text;
    if (*p == '+') ++p;
    if (*p == '\0') return false;
    uint64_t v = 0;
    for (; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (v > (UINT64_MAX - digit) / 10) return false;
        v = v * 10 + digit;
    }
    value = v;
    return true;
}

uint64_t pool_size() { return get_pool().workers; }

const PoolSizing &pool_sizing() {
    get_pool();
    return the_sizing;
}

void set_pool_variables(const char *const *names, size_t count) {
    std::lock_guard<std::mutex> lock(pool_mu);
    pool_variables = names;
    n_pool_variables = count;
}

CountControl *current_control() { return tls_control; }

uint64_t copies_within_budget(uint64_t copy_bytes) {
    if (copy_bytes == 0) return 0;
    return std::max<uint64_t>(2, HISTOGRAM_BUDGET / copy_bytes);
}

namespace detail {

int worker_index() { return tls_worker; }

Crew *current_crew() { return tls_crew; }

uint64_t crew_limit(const Crew *crew, uint64_t workers) {
    uint64_t limit = workers;
    for (const Crew *k = crew; k; k = k->outer)
        if (k->max) limit = std::min(limit, k->max);
    return limit;
}

CrewScope::CrewScope(Crew &crew) : outer_crew_(tls_crew) {
    tls_crew = &crew;
    if (tls_worker == NOT_A_WORKER) return;  // a thread outside the pool runs no piece
    Pool &pool = get_pool();
    std::lock_guard<std::mutex> lock(pool.mu);
    join_crews(&crew);
}

CrewScope::~CrewScope() { tls_crew = outer_crew_; }

void join(TaskRef left, TaskRef right, bool injected) {
    Pool &pool = get_pool();
    Job right_job{right, tls_worker, tls_control, tls_crew};
    pool.push(&right_job);

    std::exception_ptr left_error;
    try {
        left.invoke(left.ctx, injected);
    } catch (...) {
        left_error = std::current_exception();
    }

    if (pool.reclaim(&right_job)) {
        try {
            right.invoke(right.ctx, injected);
        } catch (...) {
            right_job.error = std::current_exception();
        }
    } else {
        pool.wait_for(&right_job, true);
    }
    if (left_error) std::rethrow_exception(left_error);
    if (right_job.error) std::rethrow_exception(right_job.error);
}

void run_on_pool(TaskRef root) {
    Pool &pool = get_pool();
    if (pool.started == 0) {  // no thread could be started: count here instead
        root.invoke(root.ctx, true);
        return;
    }
    Job job{root, NOT_A_WORKER, tls_control, tls_crew};
    pool.push(&job);
    pool.wait_for(&job, false);
    if (job.error) std::rethrow_exception(job.error);
}

void run_controlled(TaskRef root, CountControl &ctl, bool (*poll)(void *), void *ctx,
                    std::chrono::milliseconds tick) {
    Pool &pool = get_pool();
    Crew count_crew{ctl.max_workers, nullptr, {}};
    if (pool.started == 0) {  // no worker to count on: count here, without polling
        ControlScope scope(&ctl, &count_crew);
        root.invoke(root.ctx, true);
        return;
    }
    Job job{root, NOT_A_WORKER, &ctl, &count_crew};
    pool.push(&job);
    /* Should `poll` never return (the thread ended by a forced unwind of its stack, as the
       interpreter does at exit), the count is stopped, and the job taken back or waited
       for, before the frame it lives in goes away. Declared before `lock`, so that the
       lock is released first. */
    struct Settle {
        Pool &pool;
        Job &job;
        CountControl &ctl;
        bool settled = false;
        ~Settle() {
            if (settled) return;
            ctl.cancel.store(true, std::memory_order_relaxed);
            if (!pool.reclaim(&job)) pool.wait_for(&job, false);
        }
    } settle{pool, job, ctl};
    bool polling = true;
    std::unique_lock<std::mutex> lock(pool.mu);
    for (;;) {
        const auto deadline = std::chrono::steady_clock::now() + tick;
        if (pool.outside.wait_until(lock, deadline, [&job] { return job.state == JobState::Done; })) break;
        if (!polling) continue;
        lock.unlock();
        if (!poll(ctx)) {
            polling = false;
            ctl.cancel.store(true, std::memory_order_relaxed);
            // A count still queued (the workers busy with others) never starts.
            if (pool.reclaim(&job)) {
                settle.settled = true;
                throw Cancelled();
            }
        }
        lock.lock();
    }
    settle.settled = true;
    lock.unlock();
    if (job.error) std::rethrow_exception(job.error);
}

}  // namespace detail

}  // namespace quor
