// The private layout of a channel and its two pipes, and the protocol by
// which threads share them. This block is the one statement of that
// protocol; pipe_protocol.pml beside it model-checks the pipe's part, and
// the two are kept in step.
//
// LOCKS. Each field names what guards it.
//  - A pipe's `mutex` guards every field of its PipeEnd and of its
//    PipeExtras, and the pipe's links in its selector entries
//    (SelectorEntry::pipePrev/pipeNext).
//    `count` alone is also read without it (Channel_sizeOfPipe), atomically.
//  - A selector's mutex guards its ready ring (SelectorEntry::readyPrev,
//    readyNext, inReady), `waiters` and `wakeupPending`.
//  - The registry's mutex guards its table; a thread's lookup memo is its
//    own. _Channel::references and ::deleted are atomics under no lock.
//  - A PipeWaiter's fields are atomics, but for the receive it records
//    (`receiveOn`, `shutdownEpoch`), which only the waiting thread touches.
// Lock order: pipe, then selector (a pipe tells its selectors of a change
// of readiness under its own mutex). The registry's mutex is taken with no
// other held and held over nothing that locks or blocks. A deletion locks
// the two pipes one after the other, never both. A cancel holds one lock,
// the one its waiter waits under, and nothing else.
//
// REFERENCES keep a channel's record alive (retainChannel/releaseChannel):
// the registry's entry (or the creator of a bare channel), each pin, each
// thread's lookup memo that holds it, each selector key, and each receive or
// send from its first wait to its end (HoldWhileWaiting). Whoever drops the
// last one frees the channel; the queued messages go at the deletion.
//
// WHO WAKES WHOM.
//  - Receivers wait on `condition`, counted in `waiters`. An add wakes one
//    when any waits (linkAndWake); a shutdown and a deletion concern every
//    receiver and wake all. A shutdown is an event: `shutdownEpoch` tells
//    the receivers blocked at that moment, even after a startup. A receiver
//    whose time ran out still takes a message it finds: the add's single
//    wake-up may have gone to it.
//  - Senders to a full bounded pipe wait on `room`, counted in `senders`,
//    apart from receivers, so a wake-up meant for one kind never goes to the
//    other. A receive lets one sender in under a message limit; a clear, a
//    raised limit, a byte limit and a deletion wake all (roomMade). A sender
//    that leaves without sending (timed out, cancelled) while room is left
//    passes the wake-up it may have taken on to the next sender.
//  - A cancel (PipeWaiter_cancel) sets its flag and wakes every waiter of
//    the condition its waiter waits on; the others find nothing changed and
//    wait again. A wait withdraws where it waits and lets running cancels
//    finish before it returns (WaitingScope), and holds its channel until
//    then, so a cancel never touches freed memory.
//  - Selectors and descriptors watch readiness (PipeReadiness.h): whoever
//    changes a pipe's readiness tells them under the pipe's mutex. A
//    selector entry that becomes ready wakes every wait on its selector. A
//    wakeup is taken by the next wait to return, whatever it returns for.
//    An eventfd reads 1 exactly while its pipe is ready; a deleted pipe
//    stays ready for good.
#ifndef TRELLUM_CHANNEL_H
#define TRELLUM_CHANNEL_H

#include <pthread.h>
#include <stdint.h>

#include <trellum/trellum.h>

#include "PriorityIndex.h"

namespace trellum {

struct SelectorEntry;

// A pipe runs, is shut down, or belongs to a deleted channel. Deleted is for
// good: shutdown and startup no longer change it, so a deleted pipe never
// looks merely shut down. Zero is running, as calloc leaves it.
enum class PipeState : int32_t { running = 0, shutDown, deleted };

// What only a watched or bounded pipe needs. Most pipes are neither, and a
// channel that is registered and idle should cost little: a pipe gets this
// record when it is first watched or bounded, and keeps it until the
// channel is freed.
struct PipeExtras {
    // Readiness watchers (PipeReadiness.h): an event descriptor and the
    // selectors' entries.
    int32_t toldReady;          // the readiness the watchers were last told
    int eventFd;                // -1 until Channel_openPipeEvents, and once deleted
    SelectorEntry *watchers;    // linked through SelectorEntry::pipeNext
    // Capacity (0: no limit) and the senders waiting for room. A pipe
    // holding no message takes any one message, so no message can wait
    // forever.
    int32_t maxMessages;
    int32_t senders;            // senders blocked on `room`
    int64_t maxBytes;
    pthread_cond_t room;        // room was made, or the channel deleted
};

// One pipe: a priority-sorted list of nodes, guarded by `mutex`.
struct PipeEnd {
    MessagePipe head;           // first node, NULL when empty
    PriorityIndex index;        // last node of each priority present
    int32_t count;              // nodes queued; written under the mutex, read without it
    int32_t waiters;            // receivers blocked on `condition`
    // The channel's deleted mark is copied here under this pipe's mutex, so
    // that the pipe's operations read no other line.
    PipeState state;
    // Counts shutdowns. A receiver that sees it change while it waits
    // returns as shut down even if a startup has run since: a shutdown is an
    // event for the receivers blocked at that moment.
    uint32_t shutdownEpoch;
    // `watched` and `bounded` are the words the hot paths read, so a pipe
    // that is neither pays a branch and nothing more.
    int32_t watched;            // 1 while extras has an eventFd >= 0 or watchers
    int32_t bounded;            // 1 while extras has a limit
    PipeExtras *extras;         // NULL until first watched or bounded
    // Statistics (Channel_statsOfPipe): plain counters under the mutex.
    int32_t highWaterSize;
    int64_t bytes;              // body bytes queued
    int64_t added;
    int64_t removed;
    pthread_mutex_t mutex;
    pthread_cond_t condition;   // a message was added, or the pipe shut down or deleted
};

// The pipe's extras, made on first use; NULL when memory ran out. The
// caller holds the pipe's mutex.
PipeExtras *extrasOf(PipeEnd *pipe);

inline bool isDeleted(const PipeEnd &pipe) { return pipe.state == PipeState::deleted; }

// Takes and drops one of the references listed at the top.
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
