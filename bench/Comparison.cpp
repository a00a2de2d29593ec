#include "Comparison.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace bench {

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double nanosecondsNow(Clock clock) {
    timespec now;
    clock_gettime(clock == Clock::threadCpu ? CLOCK_THREAD_CPUTIME_ID : CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

Row compareInterleaved(std::string workload, std::string unit, double target, int rounds,
                       const std::function<double()> &library, const std::function<double()> &peer) {
    std::vector<double> libraryRounds, peerRounds;
    for (int round = 0; round < rounds; ++round) {
        if (round % 2 == 0) {
            libraryRounds.push_back(library());
            peerRounds.push_back(peer());
        } else {
            peerRounds.push_back(peer());
            libraryRounds.push_back(library());
        }
    }
    return Row{std::move(workload), std::move(unit), median(libraryRounds), median(peerRounds), target};
}

void printTable(const std::vector<Row> &rows) {
    std::printf("%-48s %10s %9s %9s %7s %7s %4s\n", "workload", "unit", "library", "peer", "ratio",
                "target", "met");
    for (const Row &row : rows) {
        double ratio = row.peer > 0 ? row.library / row.peer : 0;
        bool met = row.peer > 0 && ratio <= row.target;
        char target[16];
        std::snprintf(target, sizeof target, "<=%.1f", row.target);
        std::printf("%-48s %10s %9.1f %9.1f %7.3f %7s %4s\n", row.workload.c_str(), row.unit.c_str(),
                    row.library, row.peer, ratio, target, row.peer > 0 ? (met ? "yes" : "NO") : "n/a");
    }
}

} // namespace bench
