// Every figure the benchmark prints, kept for the chart: one line per
// (workload, contender) in a tab-separated file that bench/chart.py reads,
// in the same format as the Java harness writes.
#ifndef TRELLUM_BENCH_RESULTS_H
#define TRELLUM_BENCH_RESULTS_H

#include <string>

namespace bench {

// The names the chart shows for the contenders of the native workloads.
constexpr const char *kLibrary = "libtrellum";
constexpr const char *kTextbookPeer = "textbook peer";
constexpr const char *kTbbPeer = "oneTBB peer";

void recordResult(const std::string &workload, const std::string &unit, const std::string &contender,
                  double value);

// Writes workload, unit, contender and value per line. False when the file
// cannot be written.
bool writeResults(const char *path);

} // namespace bench

#endif
