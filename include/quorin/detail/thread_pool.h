// A fixed team of threads that runs one job of independent tasks at a time.
//
//     quorin::ThreadPool pool(4);                    // the caller and 3 workers
//     pool.run(tasks, [&](std::size_t task, unsigned slot) { ... });
//
// run() hands the tasks out in ascending order, each to the next free thread, and returns
// when every task has finished. The caller of run() works too (slot 0), so a pool of one
// thread starts no thread at all. Workers start at the first run() that can use them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace quorin {

class ThreadPool {
public:
    // A team of `threads` threads (at least 1): the caller of run() and threads - 1 workers.
    explicit ThreadPool(unsigned threads) : threads_(threads == 0 ? 1 : threads) {}
    ~ThreadPool() { stopWorkers(); }
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // The number of threads that run tasks.
    unsigned size() const noexcept { return threads_; }

    // Runs task(i, slot) once for every i in [0, count); `slot` in [0, size()) names the
    // running thread, so per-thread scratch can be indexed by it. Not reentrant. If tasks
    // throw, the tasks not yet started are skipped and the first exception is rethrown
    // once every running task has returned.
    template <class Task>
    void run(std::size_t count, Task&& task) {
        if (count == 0) return;
        if (threads_ == 1 || count == 1) {
            for (std::size_t i = 0; i < count; ++i) task(i, 0u);
            return;
        }
        startWorkers();
        std::function<void(std::size_t, unsigned)> job(std::ref(task));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            job_ = &job;
            count_ = count;
            next_.store(0, std::memory_order_relaxed);
            failed_.store(false, std::memory_order_relaxed);
            error_ = nullptr;
            busy_ = workers_.size();
            ++generation_;
        }
        wake_.notify_all();
        work(job, 0);
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [&] { return busy_ == 0; });
        job_ = nullptr;
        if (error_) std::rethrow_exception(error_);
    }

private:
    void work(const std::function<void(std::size_t, unsigned)>& job, unsigned slot) {
        while (!failed_.load(std::memory_order_relaxed)) {
            const std::size_t i = next_.fetch_add(1, std::memory_order_relaxed);
            if (i >= count_) break;
            try {
                job(i, slot);
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!error_) error_ = std::current_exception();
                failed_.store(true, std::memory_order_relaxed);
            }
        }
    }

    void workerLoop(unsigned slot) {
        std::size_t seen = 0;
        while (true) {
            const std::function<void(std::size_t, unsigned)>* job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [&] { return quit_ || generation_ != seen; });
                if (quit_) return;
                seen = generation_;
                job = job_;
            }
            work(*job, slot);
            std::lock_guard<std::mutex> lock(mutex_);
            if (--busy_ == 0) done_.notify_one();
        }
    }

    void startWorkers() {
        if (!workers_.empty()) return;
        workers_.reserve(threads_ - 1);
        for (unsigned slot = 1; slot < threads_; ++slot) workers_.emplace_back([this, slot] { workerLoop(slot); });
    }

    void stopWorkers() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        wake_.notify_all();
        for (std::thread& t : workers_) t.join();
        workers_.clear();
    }

    unsigned threads_;
    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    const std::function<void(std::size_t, unsigned)>* job_ = nullptr;
    std::size_t count_ = 0;
    std::size_t generation_ = 0;
    std::size_t busy_ = 0;
    bool quit_ = false;
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> failed_{false};
    std::exception_ptr error_;
};

}  // namespace quorin
