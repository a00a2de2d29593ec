// trellum_bench: the channel library against a textbook standard-library peer.
//
//   trellum_bench          the full comparison (well under two minutes)
//   trellum_bench --quick  a few operations of every workload: proves that
//                          each still runs and that both sides agree, but its
//                          figures mean nothing
//   --results FILE         also writes every figure to FILE for the chart
//
// Prints one row per workload: the medians over interleaved rounds for the
// library and the peer, their ratio, the ratio the library must not exceed
// and whether it does. Exits non-zero only when a workload saw wrong results
// (never because of a figure).
#include <stdio.h>
#include <string.h>

#include "Results.h"
#include "Workloads.h"

namespace bench {

Settings Settings::full() {
    Settings s;
    s.quick = false;
    // Many short rounds: on a busy machine a round that is interrupted is an
    // outlier the median discards, instead of every long round being hit.
    s.rounds = 21;
    s.handoverRounds = 5;
    s.scalingRounds = 9;
    s.roundTripOps = 100000;
    s.steadyOps = 100000;
    s.sizeOps = 1000000;
    s.lookupOps = 200000;
    s.handoverMessages = 1000000;
    s.scalingOps = 200000;
    s.shallowDepth = 10000;
    s.deepDepth = 100000;
    s.memoryMessages = 100000;
    s.registrySizes = {1, 100, 10000};
    return s;
}

// Few enough operations for sanitizers and emulation, yet each path still
// runs: the priority index and the registry's table grow, threads hand over.
Settings Settings::quickCheck() {
    Settings s = full();
    s.quick = true;
    s.rounds = s.handoverRounds = s.scalingRounds = 2;
    s.scalingOps = 500;
    for (long *ops : {&s.roundTripOps, &s.steadyOps, &s.sizeOps, &s.lookupOps}) *ops = 500;
    s.handoverMessages = 2000;
    s.shallowDepth = 100;
    s.deepDepth = 1000;
    s.memoryMessages = 1000;
    s.registrySizes = {1, 100, 1000};
    return s;
}

namespace {
bool faulty = false;
}

void reportFault(const char *workload, const char *what) {
    fprintf(stderr, "trellum_bench: %s: %s\n", workload, what);
    faulty = true;
}

bool faultReported() { return faulty; }

} // namespace bench

int main(int argc, char **argv) {
    bool quick = false;
    const char *resultsPath = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else if (strcmp(argv[i], "--results") == 0 && i + 1 < argc) {
            resultsPath = argv[++i];
        } else {
            fprintf(stderr, "usage: %s [--quick] [--results FILE]\n", argv[0]);
            return 2;
        }
    }
    const bench::Settings settings = quick ? bench::Settings::quickCheck() : bench::Settings::full();

    std::vector<bench::Row> rows;
    bench::addQueueRows(settings, rows);
    bench::addHandoverRow(settings, rows);
    bench::addRegistryRows(settings, rows);
    bench::addMemoryRow(settings, rows);

    printf("libtrellum against a std::mutex/std::condition_variable/std::priority_queue peer\n");
    printf("%d-bit build, 64-byte bodies, medians of %d interleaved rounds (%d for the handover)%s\n\n",
           static_cast<int>(sizeof(void *) * 8), settings.rounds, settings.handoverRounds,
           settings.quick ? "; QUICK RUN: the figures mean nothing" : "");
    bench::printTable(rows);
    fflush(stdout);
    for (const bench::Row &row : rows) {
        bench::recordResult(row.workload, row.unit, bench::kLibrary, row.library);
        bench::recordResult(row.workload, row.unit, bench::kTextbookPeer, row.peer);
    }
    bench::addScalingTable(settings);
    if (resultsPath && !bench::writeResults(resultsPath)) {
        fprintf(stderr, "trellum_bench: cannot write %s\n", resultsPath);
        return 1;
    }
    if (bench::faultReported()) {
        fprintf(stderr, "trellum_bench: some workloads gave wrong results (see above)\n");
        return 1;
    }
    return 0;
}
