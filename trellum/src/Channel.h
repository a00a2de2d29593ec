// The private layout of a channel and its two pipes, and the channel's
// lifetime as the registry manages it.
#ifndef TRELLUM_CHANNEL_H
#define TRELLUM_CHANNEL_H

#include <pthread.h>
#include <stdint.h>

#include <trellum/trellum.h>

#include "PriorityIndex.h"

namespace trellum {

struct SelectorEntry;

// One pipe: a priority-sorted list of nodes, guarded by `mutex`.
//
// The wait/wake protocol is model-checked: see pipe_protocol.pml beside this
// file, and keep the two in step.
struct PipeEnd {
    MessagePipe head;           // first node, NULL when empty
    PriorityIndex index;        // last node of each priority present
    int32_t count;              // nodes queued; written under the mutex, read without it
    int32_t waiters;            // receivers blocked on `condition`
    int32_t shutdownFlag;       // 1 while shut down, else 0
    // Counts shutdowns. A receiver that sees it change while it waits
    // returns as shut down even if a startup has cleared the flag since:
    // a shutdown is an event for the receivers blocked at that moment.
    uint32_t shutdownEpoch;
    // 1 once the channel is deleted. A copy of the channel's mark kept under
    // this pipe's mutex, so that the pipe's operations read no other line.
    int32_t deleted;
    // Readiness watchers (PipeReadiness.h): an event descriptor and the
    // selectors' entries. `watched` is the one word the hot paths read, so a
    // pipe that no one watches pays a branch and nothing more.
    int32_t watched;            // 1 while eventFd >= 0 or watchers != NULL
    int32_t toldReady;          // the readiness the watchers were last told
    int eventFd;                // -1 until Channel_openPipeEvents, and once deleted
    SelectorEntry *watchers;    // linked through SelectorEntry::pipeNext
    // Capacity (0: no limit) and what counts against it. A pipe holding no
    // message takes any one message, so no message can wait forever.
    int32_t maxMessages;
    int64_t maxBytes;
    int64_t bytes;              // body bytes queued
    int32_t senders;            // senders blocked on `room`
    // Statistics (Channel_statsOfPipe): plain counters under the mutex.
    int32_t highWaterSize;
    int64_t added;
    int64_t removed;
    pthread_mutex_t mutex;
    pthread_cond_t condition;   // a message was added, or the pipe shut down or deleted
    pthread_cond_t room;        // room was made, or the channel deleted
};

// References that keep a channel's memory alive: the registry's entry (or
// the creator of a bare channel), each pin, and each receiver blocked on
// one of its pipes. Whoever drops the last one frees the channel.
void retainChannel(Channel channel);
void releaseChannel(Channel channel);

// Marks the channel deleted, frees what its pipes hold and wakes every
// receiver on them. Later operations find it deleted: an add frees its
// message, receives return at once. The caller still holds a reference.
void markChannelDeleted(Channel channel);

} // namespace trellum

struct _Channel {
    int32_t id;
    int32_t references;  // atomic; see retainChannel
    int32_t deleted;     // atomic; 1 once deleted from the registry (for lookups)
    trellum::PipeEnd pipes[2];
};

#endif
