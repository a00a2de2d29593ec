// Interleaved measurement of the library against the peer, and the table.
//
// Both sides of a workload run in the same process, round after round,
// alternating which goes first, so that drifts of clock speed, cache state
// and neighbouring load hit both alike. A row keeps the median of each side.
#ifndef TRELLUM_BENCH_COMPARISON_H
#define TRELLUM_BENCH_COMPARISON_H

#include <functional>
#include <string>
#include <vector>

namespace bench {

struct Row {
    std::string workload;
    std::string unit;   // of the two figures, e.g. "cpu ns/op"
    double library;
    double peer;
    double target;      // the ratio library/peer must not exceed this
};

// Runs `rounds` rounds of each side, alternating the order, and returns the
// medians. Each call of a side runs one round and returns its figure.
Row compareInterleaved(std::string workload, std::string unit, double target, int rounds,
                       const std::function<double()> &library, const std::function<double()> &peer);

// What a round's time is read from. A single thread's own CPU time leaves out
// the time other processes held the CPU, which on a shared machine swamps
// the differences measured; a handover between threads is about waiting and
// waking, so it takes the wall clock.
enum class Clock { threadCpu, wall };

inline const char *unitOf(Clock clock) { return clock == Clock::threadCpu ? "cpu ns/op" : "wall ns/op"; }

double nanosecondsNow(Clock clock);

// The middle value (the mean of the two middle ones for an even count); 0 for none.
double median(std::vector<double> values);

// Nanoseconds per operation of `ops` operations timed as one block.
template <typename Body>
double nanosecondsPerOp(Clock clock, long ops, Body &&body) {
    double start = nanosecondsNow(clock);
    body();
    return (nanosecondsNow(clock) - start) / static_cast<double>(ops);
}

void printTable(const std::vector<Row> &rows);

} // namespace bench

#endif
