// Keeps concurrency tests bounded in time: a thread that should have finished
// but did not fails the test within a deadline instead of hanging the run.
#ifndef TRELLUM_TESTS_BOUNDED_THREADS_H
#define TRELLUM_TESTS_BOUNDED_THREADS_H

#include <atomic>
#include <chrono>
#include <cstdint>
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

// The threads of a stress run: producers and consumers, numbered from 0,
// and one observer, each group joined on its own.
struct StressCrew {
    explicit StressCrew(const std::function<void()> &release)
        : producers(release), consumers(release), observer(release) {}

    template <class Produce, class Consume, class Observe>
    void start(uint32_t producerCount, uint32_t consumerCount, Produce produce, Consume consume, Observe observe) {
        for (uint32_t p = 0; p < producerCount; ++p) producers.start([produce, p] { produce(p); });
        for (uint32_t c = 0; c < consumerCount; ++c) consumers.start([consume, c] { consume(c); });
        observer.start(observe);
    }

    // Lets the crew work for `duration`, then calls `stopProducing` and
    // joins the producers; false when they missed the deadline.
    template <class Stop>
    bool produceFor(std::chrono::milliseconds duration, Stop stopProducing) {
        std::this_thread::sleep_for(duration);
        stopProducing();
        return producers.joinAll();
    }

    BoundedThreads producers, consumers, observer;
};

} // namespace trellum_test

#endif
