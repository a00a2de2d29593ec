#include "Results.h"

#include <cstdio>
#include <vector>

namespace bench {
namespace {

struct Result {
    std::string workload, unit, contender;
    double value;
};

std::vector<Result> &results() {
    static std::vector<Result> all;
    return all;
}

} // namespace

void recordResult(const std::string &workload, const std::string &unit, const std::string &contender,
                  double value) {
    results().push_back(Result{workload, unit, contender, value});
}

bool writeResults(const char *path) {
    FILE *file = std::fopen(path, "w");
    if (!file) return false;
    for (const Result &r : results())
        std::fprintf(file, "%s\t%s\t%s\t%.3f\n", r.workload.c_str(), r.unit.c_str(), r.contender.c_str(), r.value);
    return std::fclose(file) == 0;
}

} // namespace bench
