// A selector's registration of one pipe, shared between the pipe (which
// lists its watchers) and the selector (which lists the ready ones).
#ifndef TRELLUM_PIPE_SELECTOR_ENTRY_H
#define TRELLUM_PIPE_SELECTOR_ENTRY_H

#include <stdint.h>

#include <trellum/trellum.h>

#include "Channel.h"

namespace trellum {

struct SelectorEntry {
    PipeSelector selector;
    Channel channel;            // pinned while registered
    PipeEnd *pipe;
    int64_t token;              // what a wait reports for this pipe
    // In the pipe's watcher list; under the pipe's mutex.
    SelectorEntry *pipePrev;
    SelectorEntry *pipeNext;
    // In the selector's ready ring while the pipe is ready; under the
    // selector's mutex.
    SelectorEntry *readyPrev;
    SelectorEntry *readyNext;
    bool inReady;
};

// Puts the entry into its selector's ready ring (waking the selector's
// waiters) or takes it out. The caller holds the pipe's mutex; the
// selector's is taken inside (the lock order: Channel.h).
void noteEntryReadiness(SelectorEntry *entry, bool ready);

} // namespace trellum

#endif
