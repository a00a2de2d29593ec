// Keeps concurrency tests bounded in time: a thread that should have finished
// but did not fails the test within a deadline instead of hanging the run.
#ifndef TRELLUM_TESTS_BOUNDED_THREADS_H
#define TRELLUM_TESTS_BOUNDED_THREADS_H

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace trellum_test {

// Generous on purpose: sanitizers and the user-mode emulation that runs the
// 32-bit build are slow. Reaching it is a fault, never a measure of speed.
constexpr std::chrono::milliseconds kDeadline{30000};

// Polls `done` until it holds or `limit` passes; returns whether it held.
template <class Predicate>
bool eventually(Predicate done, std::chrono::milliseconds limit = kDeadline) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A group of threads that must all finish. When they do not within the
// deadline, the test fails and `release` runs (for instance a shutdown that
// unblocks receivers); if even that does not free them, the process ends,
// since a blocked thread cannot be joined.
class BoundedThreads {
public:
    explicit BoundedThreads(std::function<void()> release = {}) : release_(std::move(release)) {}
    BoundedThreads(const BoundedThreads &) = delete;
    BoundedThreads &operator=(const BoundedThreads &) = delete;
    ~BoundedThreads() { joinAll(); }

    template <class Function>
    void start(Function function) {
        threads_.emplace_back([this, function] {
            function();
            finished_.fetch_add(1);
        });
    }

    int finished() const { return finished_.load(); }
    int started() const { return static_cast<int>(threads_.size()); }

    // Joins every thread; false (and a test failure) when some had to be
    // released because they missed the deadline.
    bool joinAll() {
        bool inTime = eventually([this] { return finished() == started(); });
        if (!inTime) {
            ADD_FAILURE() << started() - finished() << " of " << started()
                          << " threads still running after the deadline";
            if (release_) release_();
            if (!eventually([this] { return finished() == started(); })) {
                std::fprintf(stderr, "threads stay blocked even after release; giving up\n");
                std::_Exit(1);
            }
        }
        for (std::thread &thread : threads_) thread.join();
        threads_.clear();
        finished_ = 0;
        return inTime;
    }

private:
    std::function<void()> release_;
    std::vector<std::thread> threads_;
    std::atomic<int> finished_{0};
};

// Runs `function` on a thread of its own and reports whether it returned
// within the deadline; `release` is tried when it does not.
template <class Function>
bool returnsInTime(Function function, std::function<void()> release = {}) {
    BoundedThreads thread(std::move(release));
    thread.start(function);
    return thread.joinAll();
}

} // namespace trellum_test

#endif
