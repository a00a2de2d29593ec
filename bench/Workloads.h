// The workloads the benchmark compares, each run against the library and
// the peer with the same data and the same sequence of operations.
#ifndef TRELLUM_BENCH_WORKLOADS_H
#define TRELLUM_BENCH_WORKLOADS_H

#include <stdint.h>

#include <vector>

#include "Comparison.h"

namespace bench {

// How much work each row does. `quick` only proves that every workload still
// runs and agrees with the peer; its figures mean nothing.
struct Settings {
    bool quick;
    int rounds;
    int handoverRounds;
    int scalingRounds;
    long roundTripOps;
    long steadyOps;
    long sizeOps;
    long lookupOps;
    long handoverMessages;
    long scalingOps;  // per thread and round
    int32_t shallowDepth;
    int32_t deepDepth;
    int32_t memoryMessages;
    std::vector<int32_t> registrySizes;

    static Settings full();
    static Settings quickCheck();
};

void addQueueRows(const Settings &settings, std::vector<Row> &rows);
void addHandoverRow(const Settings &settings, std::vector<Row> &rows);
void addRegistryRows(const Settings &settings, std::vector<Row> &rows);
void addMemoryRow(const Settings &settings, std::vector<Row> &rows);
// Its own table: more than two contenders, one and two threads each.
void addScalingTable(const Settings &settings);

// A workload whose results were wrong (lost, reordered or mismatched
// messages, a wrong channel) reports it here; the run then fails.
void reportFault(const char *workload, const char *what);
bool faultReported();

} // namespace bench

#endif
