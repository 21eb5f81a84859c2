#include "eval/pool.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace vantu {

namespace {

// One parallel loop. Tasks are claimed through `next`, so the caller and
// any number of workers share the loop without handing out ranges.
struct Job {
    const std::function<void(std::size_t)>* body = nullptr;
    std::size_t n = 0;
    std::atomic<std::size_t> next{0};
    std::mutex m;
    std::condition_variable finished;
    std::size_t done = 0;  // guarded by m
    std::exception_ptr error;  // guarded by m; the first failure

    void run(std::size_t i) {
        std::exception_ptr caught;
        try {
            (*body)(i);
        } catch (...) {
            caught = std::current_exception();
        }
        std::lock_guard lock(m);
        if (caught && !error) error = caught;
        if (++done == n) finished.notify_all();
    }

    // Claims and runs tasks until none is left unclaimed.
    void drain() {
        for (std::size_t i = next.fetch_add(1); i < n; i = next.fetch_add(1)) run(i);
    }
};

// The pool is never destroyed: its workers sleep on `wake` until the process
// ends, so no exit-time destructor ever has to join a thread (which would
// hang in a forked child, where the workers do not exist).
class Pool {
public:
    Pool() {
        unsigned want = std::max(1u, std::thread::hardware_concurrency());
        for (unsigned t = 0; t < want; ++t) {
            try {
                std::thread(&Pool::work, this).detach();
                ++threads_;
            } catch (const std::system_error&) {
                break;  // fewer workers; callers still run their own loops
            }
        }
    }

    std::size_t threads() const { return std::max<std::size_t>(threads_, 1); }

    void run(std::size_t n, const std::function<void(std::size_t)>& body) {
        auto job = std::make_shared<Job>();
        job->body = &body;
        job->n = n;
        {
            std::lock_guard lock(mu_);
            queue_.push_back(job);
        }
        wake_.notify_all();
        job->drain();
        std::exception_ptr error;
        {
            std::unique_lock lock(job->m);
            job->finished.wait(lock, [&] { return job->done == job->n; });
            error = job->error;
        }
        // Workers drop an exhausted job themselves; dropping it here as well
        // keeps the queue short when no worker came by.
        {
            std::lock_guard lock(mu_);
            auto it = std::find(queue_.begin(), queue_.end(), job);
            if (it != queue_.end()) queue_.erase(it);
        }
        if (error) std::rethrow_exception(error);
    }

private:
    void work() {
        for (;;) {
            std::shared_ptr<Job> job;
            {
                std::unique_lock lock(mu_);
                wake_.wait(lock, [&] { return !queue_.empty(); });
                job = queue_.front();
            }
            job->drain();
            std::lock_guard lock(mu_);
            if (!queue_.empty() && queue_.front() == job) queue_.pop_front();
        }
    }

    std::mutex mu_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<Job>> queue_;  // loops with tasks possibly unclaimed
    std::size_t threads_ = 0;
};

Pool& pool() {
    static Pool* p = new Pool();
    return *p;
}

}  // namespace

std::size_t pool_threads() { return pool().threads(); }

std::size_t chunk_len(std::size_t items, std::size_t threads) {
    std::size_t per = 4 * std::max<std::size_t>(threads, 1);
    if (items < per) return 1;
    return std::min<std::size_t>(items / per, 4096);
}

std::size_t chunk_len(std::size_t items) { return chunk_len(items, pool_threads()); }

void parallel_for(std::size_t n_tasks, const std::function<void(std::size_t)>& body) {
    if (n_tasks == 0) return;
    if (n_tasks == 1) {
        body(0);
        return;
    }
    pool().run(n_tasks, body);
}

}  // namespace vantu
