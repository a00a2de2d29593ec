// Telling watchers when a pipe becomes ready or stops being ready.
//
// A pipe is ready while it holds a message, is shut down, or its channel is
// deleted: then a receive returns without waiting. Watchers are an eventfd
// (Channel_openPipeEvents), readable exactly while the pipe is ready, and
// selector entries (PipeSelector.cpp), kept in their selector's ready list
// exactly while the pipe is ready. Both are told under the pipe's mutex, by
// whoever changed the pipe, so they can never disagree with the queue.
#ifndef TRELLUM_PIPE_READINESS_H
#define TRELLUM_PIPE_READINESS_H

#include "Channel.h"

namespace trellum {

inline bool isReady(const PipeEnd &pipe) {
    return pipe.head != nullptr || pipe.state != PipeState::running;
}

// Brings the watchers in line with the pipe's readiness. The caller holds
// the pipe's mutex and the pipe is watched.
void tellWatchers(PipeEnd *pipe);

// Called under the pipe's mutex after every change that may flip readiness.
inline void readinessMayHaveChanged(PipeEnd *pipe) {
    if (isWatched(*pipe)) tellWatchers(pipe);
}

// Recomputes whether the pipe is watched after a watcher came or went,
// and tells the watchers the current readiness. The caller holds the
// pipe's mutex.
void watchersChanged(PipeEnd *pipe);

// Closes the pipe's own event descriptor (callers' duplicates stay open).
// The caller holds the pipe's mutex, or the channel is being freed; after
// a deletion, watchersChanged must follow.
void closePipeEvents(PipeEnd *pipe);

} // namespace trellum

#endif
