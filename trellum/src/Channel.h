// The private layout of a channel and its two pipes, and the protocol by
// which threads share them. This block is the one statement of that
// protocol; pipe_protocol.pml beside it model-checks the pipe's part, and
// the two are kept in step.
//
// LOCKS. Each field names what guards it.
//  - A pipe's `mutex` guards every field of its PipeEnd and of its
//    PipeExtras, and the pipe's links in its selector entries
//    (SelectorEntry::pipePrev/pipeNext).
//    `count` alone is also read without it (Channel_sizeOfPipe), atomically;
//    `attention` is read without it too, and `inbox` is pushed onto without
//    it (INBOX below).
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
// INBOX. A producer should not queue behind a consumer that holds the
// mutex for one take. An add to a quiet pipe (attention 0: unwatched,
// unbounded, not deleted, no receiver blocked) whose mutex seems held
// (seemsLocked, a hint read without a try-lock) pushes its node onto
// `inbox` and returns; otherwise it takes the mutex. Whoever takes the
// mutex next moves the inbox into the queue (drainInbox, PipeInbox.h) before
// it looks at the queue, in push order, so FIFO among equals holds across
// producers as their adds returned. A pushed add is what it would have been
// under the mutex: a later receive, peek, snapshot or statistic takes the
// mutex and drains; Channel_sizeOfPipe counts on `count` only while the
// inbox is empty, and a drain counts what it takes before it empties the
// inbox.
// A push must never be left behind by a thread that looked at the inbox just
// before it: a receiver going to sleep, or a pipe becoming watched, bounded or
// deleted. So both sides run a Dekker pair of sequentially consistent steps:
// the one that raises attention does so under the mutex and then drains; a
// pusher pushes and then reads attention, and if anything is raised takes the
// mutex and drains itself. Either the raiser sees the push or the pusher sees
// the raise. A push that raced a first limit is drained past that limit: it
// counts as an add made just before the limit.
//
// WHO WAKES WHOM.
//  - Receivers wait on `condition`, counted in `attention`. An add wakes one
//    when any waits (linkAndWake), a drain one per message it moved; a
//    shutdown and a deletion concern every receiver and wake all. A
//    shutdown is an event: `shutdownEpoch` tells
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
    // The channel's deleted mark is copied here under this pipe's mutex, so
    // that the pipe's operations read no other line.
    PipeState state;
    // Counts shutdowns. A receiver that sees it change while it waits
    // returns as shut down even if a startup has run since: a shutdown is an
    // event for the receivers blocked at that moment.
    uint32_t shutdownEpoch;
    // What an add must look at before it may leave its message in the
    // inbox: the Attention bits and the receivers blocked on `condition`.
    // Atomic; changed only under the mutex, by sequentially consistent
    // read-modify-writes (see INBOX above). Zero for a quiet pipe, so the
    // hot paths pay one load and a branch.
    int32_t attention;
    PipeExtras *extras;         // NULL until first watched or bounded
    // Adds that found the mutex busy, newest first (linked through `next`);
    // atomic. The next holder of the mutex moves them into the queue.
    MessagePipe inbox;
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

// The bits of PipeEnd::attention; above them, the count of blocked receivers.
enum Attention : int32_t {
    kWatched = 1,      // extras has an eventFd >= 0 or watchers
    kBounded = 2,      // extras has a limit
    kDeleted = 4,      // the pipe's state is deleted
    kOneWaiter = 8,    // one receiver blocked on `condition`
};

inline int32_t attentionOf(const PipeEnd &pipe) { return __atomic_load_n(&pipe.attention, __ATOMIC_RELAXED); }
inline bool isWatched(const PipeEnd &pipe) { return (attentionOf(pipe) & kWatched) != 0; }
inline int32_t waitersOf(const PipeEnd &pipe) { return attentionOf(pipe) / kOneWaiter; }

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
