// Interleaved measurement of the library against the peer, and the table.
//
// Both sides of a workload run in the same process, round after round,
// alternating which goes first, so that drifts of clock speed, cache state
// and neighbouring load hit both alike. A row keeps the median of each side.
#ifndef TRELLUM_BENCH_COMPARISON_H
#define TRELLUM_BENCH_COMPARISON_H

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace bench {

struct Row {
    std::string workload;
    std::string unit;   // of the two figures, e.g. "ns/op"
    double library;
    double peer;
    double target;      // the ratio library/peer must not exceed this
};

// Runs `rounds` rounds of each side, alternating the order, and returns the
// medians. Each call of a side runs one round and returns its figure.
Row compareInterleaved(std::string workload, double target, int rounds,
                       const std::function<double()> &library, const std::function<double()> &peer);

// Nanoseconds per operation of `ops` operations timed as one block.
template <typename Body>
double nanosecondsPerOp(long ops, Body &&body) {
    auto start = std::chrono::steady_clock::now();
    body();
    auto elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration<double, std::nano>(elapsed).count() / static_cast<double>(ops);
}

double median(std::vector<double> values);

void printTable(const std::vector<Row> &rows);

} // namespace bench

#endif
