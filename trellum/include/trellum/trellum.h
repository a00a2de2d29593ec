/*
 * trellum: process-wide message channels.
 *
 * A channel, named by any 32-bit ID (zero and negatives included), holds two
 * independent pipes, index 0 and index 1. Each pipe is a queue ordered by
 * message priority (lower first, first-in first-out among equals) with a
 * blocking receive and a shut-down mark.
 *
 * Conventions. Each call follows one of three:
 *  - Status calls return an int32_t TRELLUM_ code (below): TRELLUM_OK, or
 *    for a send TRELLUM_ADDED and for a receive TRELLUM_RECEIVED (all 0), on
 *    success, and TRELLUM_INVALID_ARGUMENT for a NULL channel or result
 *    pointer or a pipe index other than 0 and 1. Where a status is not a
 *    success, the results written are NULL or zero and nothing changed
 *    hands: a message passed in is still the caller's.
 *  - Calls that need a system resource (Channel_openPipeEvents,
 *    PipeSelector_add, PipeSelector_new) return -1 or NULL with errno set
 *    when it cannot be had or an argument is bad; nothing changes then.
 *  - Every other call has no failure result: the plain pipe calls
 *    (Channel_addToPipe, Channel_removeFromPipe, the unchecked peeks, size,
 *    clear, capacity, shutdown and startup) and those returning nothing. On
 *    a NULL channel, selector, key or waiter, or a pipe index other than 0
 *    and 1, they do nothing: a receive or peek returns NULL, a size is 0,
 *    and an added message is freed, as ownership passed all the same.
 *    Where memory for a channel, a queue node or the registry cannot be
 *    had, the process aborts: queuing nothing or corrupting a queue would
 *    be worse.
 *
 * Besides:
 *  - Channels, queue nodes, selectors and their keys are opaque; messages
 *    are the records of <trellum/Message.h>.
 *  - Every function may be called from any thread. Each pipe has its own
 *    lock; the registry has one. The receives, PipeSelector_wait, and
 *    the sends to a full bounded pipe are the only calls that block.
 *  - A channel from the registry is used either through a pin
 *    (ChannelManager_acquireChannel ... ChannelManager_releaseChannel),
 *    which stays valid even if another thread deletes the channel
 *    meanwhile, or as a bare pointer (ChannelManager_createOrGetChannel),
 *    valid only until the channel is deleted. Use a pin whenever another
 *    thread might delete the channel while you use it.
 *
 * This header compiles as C and as C++.
 */
#ifndef TRELLUM_TRELLUM_H
#define TRELLUM_TRELLUM_H

#include <trellum/Message.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _Channel *Channel;

/* Results of the status calls. The three successes are one value. */
#define TRELLUM_OK 0               /* success: stats, snapshots, removals, selects */
#define TRELLUM_ADDED 0            /* a message was queued (a send) */
#define TRELLUM_RECEIVED 0         /* a message was received (or copied, for a peek) */
#define TRELLUM_TIMED_OUT 1        /* no message arrived, or no room came, in time */
#define TRELLUM_SHUT_DOWN 2        /* the pipe is, or was meanwhile, shut down */
#define TRELLUM_DELETED 3          /* the channel is, or was meanwhile, deleted */
#define TRELLUM_INVALID_ARGUMENT 4 /* a NULL channel or result pointer, or a pipe other than 0 and 1 */
#define TRELLUM_EMPTY 5            /* the pipe was empty (a peek) */
#define TRELLUM_OUT_OF_MEMORY 6    /* memory for a copy could not be had (a peek) */
#define TRELLUM_CANCELLED 7        /* PipeWaiter_cancel ended the wait */
#define TRELLUM_WOKEN 8            /* PipeSelector_wakeup ended the wait */
typedef struct _MessagePipe *MessagePipe;

/* ---- queue nodes ---------------------------------------------------------- */

/* A node holding `message` (ownership passes to the node) with no successor. */
TRELLUM_API MessagePipe MessagePipe_new(Message message);
/* Frees this node and every node after it, each with its message. */
TRELLUM_API void MessagePipe_free(MessagePipe node);

/* ---- channels --------------------------------------------------------------- */

/*
 * A new channel with two empty, running pipes. Channels are normally made
 * and destroyed by the registry below; a channel made here is the caller's.
 */
TRELLUM_API Channel Channel_new(int32_t id);
/*
 * Frees both pipes with every queued message, then the channel. Takes no
 * lock: no other thread may be using the channel, a blocked receiver
 * included.
 */
TRELLUM_API void Channel_free(Channel channel);

/*
 * Queues `message` behind every message of lower or equal priority and wakes
 * one blocked receiver. The pipe takes ownership. A shut-down pipe still
 * queues; a deleted channel queues nothing and frees the message. On a full
 * bounded pipe (Channel_setPipeCapacity) it waits for room without limit; a
 * deletion ends that wait and frees the message. An unbounded pipe never
 * makes it wait.
 */
TRELLUM_API void Channel_addToPipe(Channel channel, int32_t pipe, Message message);
/*
 * Queues `message` like Channel_addToPipe, waiting at most `timeoutNanos`
 * on the monotonic clock for room in a full bounded pipe: 0 only tries, a
 * negative timeout waits without limit. Returns TRELLUM_ADDED when the pipe
 * took the message (and owns it now). On every other status the message is
 * still the caller's, untouched:
 *   TRELLUM_TIMED_OUT         no room came in time;
 *   TRELLUM_DELETED           the channel was deleted before or while waiting;
 *   TRELLUM_INVALID_ARGUMENT  a NULL channel or message, or a pipe index
 *                             other than 0 and 1.
 * A shut-down pipe still queues, and when full it makes the send wait for
 * room like any other.
 */
TRELLUM_API int32_t Channel_timedAddToPipe(Channel channel, int32_t pipe, Message message, int64_t timeoutNanos);
/*
 * Puts back a message the caller just received and could not deliver (say,
 * memory for the receiver's copy ran out): ahead of every queued message of
 * its priority, so that it is the next one taken again, whatever the pipe's
 * capacity, and without counting it as added or removed. Never waits. The
 * pipe takes ownership; a deleted channel frees the message.
 */
TRELLUM_API void Channel_returnToPipe(Channel channel, int32_t pipe, Message message);
/*
 * Bounds the pipe: at most `maxMessages` queued messages and `maxBytes`
 * queued body bytes; 0 or less means no limit on that measure (pipes start
 * with no limit). A pipe holding no message accepts any one message however
 * large, so no message can wait forever. Lowering a limit below what is
 * queued drops nothing: sends wait until the pipe is back under it. Raising
 * one lets waiting senders in. Nothing for a NULL channel, a bad pipe index
 * or a deleted channel.
 */
TRELLUM_API void Channel_setPipeCapacity(Channel channel, int32_t pipe, int32_t maxMessages, int64_t maxBytes);
/*
 * Takes the first message; the caller owns it and frees it with
 * Message_free. Blocks while the pipe is empty and running. Returns NULL
 * when the pipe is shut down, at once, leaving queued messages queued. A
 * receiver blocked at a shutdown returns NULL even when a startup follows
 * before it wakes. Returns NULL when the channel is deleted, at once or
 * while waiting.
 */
TRELLUM_API Message Channel_removeFromPipe(Channel channel, int32_t pipe);
/*
 * Takes the first message like Channel_removeFromPipe, waiting at most
 * `timeoutNanos` on the monotonic clock (changes of the wall clock do not
 * matter): 0 does not wait, a negative timeout waits without limit.
 * Returns TRELLUM_RECEIVED with *message set to the message, now the
 * caller's. Otherwise *message is NULL (when `message` is not NULL) and
 * nothing was taken:
 *   TRELLUM_TIMED_OUT         no message came in time;
 *   TRELLUM_SHUT_DOWN         the pipe was shut down on entry (at once) or
 *                             while the call waited;
 *   TRELLUM_DELETED           the channel was deleted on entry (a pinned
 *                             channel) or while the call waited;
 *   TRELLUM_INVALID_ARGUMENT  a NULL channel or `message`, or a pipe index
 *                             other than 0 and 1.
 */
TRELLUM_API int32_t Channel_timedRemoveFromPipe(Channel channel, int32_t pipe, int64_t timeoutNanos,
                                                Message *message);
/*
 * The first message, still owned by the pipe, or NULL when the pipe is empty;
 * never blocks. The pointer is only lent: another thread may remove and free
 * the message at any moment. Prefer Channel_peekCopyFromPipe.
 */
TRELLUM_API Message Channel_peekFromPipe(Channel channel, int32_t pipe);
/*
 * A new copy of the first message, made while the pipe is locked, or NULL
 * when the pipe is empty (or memory for the copy cannot be had). The caller
 * owns the copy and frees it with Message_free. Never blocks.
 */
TRELLUM_API Message Channel_peekCopyFromPipe(Channel channel, int32_t pipe);
/*
 * Copies the first message like Channel_peekCopyFromPipe, telling why there
 * is no copy, as decided under the pipe's lock. Returns TRELLUM_RECEIVED
 * with *copy set to the copy, now the caller's. Otherwise *copy is NULL
 * (when `copy` is not NULL): TRELLUM_EMPTY for an empty pipe,
 * TRELLUM_DELETED for a deleted channel, TRELLUM_OUT_OF_MEMORY when memory
 * for the copy could not be had, TRELLUM_INVALID_ARGUMENT as for
 * Channel_timedRemoveFromPipe. Never blocks; a shut-down pipe is peeked as
 * any other.
 */
TRELLUM_API int32_t Channel_checkedPeekCopyFromPipe(Channel channel, int32_t pipe, Message *copy);
/*
 * A snapshot of the queue, taken at one instant under the pipe's lock: sets
 * *count to the number of queued messages and writes new copies of the
 * first min(*count, capacity) of them, in the order receives would take
 * them, to `copies` (which may be NULL when `capacity` is 0). The caller owns
 * the copies and frees each with Message_free. When *count exceeds
 * `capacity`, call again with more room (the pipe may have changed since).
 * Returns TRELLUM_OK, TRELLUM_DELETED, TRELLUM_OUT_OF_MEMORY (nothing
 * copied) or TRELLUM_INVALID_ARGUMENT (NULL channel or `count`, bad pipe
 * index, negative capacity, NULL `copies` with room asked for).
 */
TRELLUM_API int32_t Channel_copyOfPipe(Channel channel, int32_t pipe, Message *copies, int32_t capacity,
                                       int32_t *count);
/*
 * Removes and frees the first queued message equal to `like` (the same five
 * header integers and the same body bytes), atomically. `like` stays the
 * caller's. Returns TRELLUM_OK when one was removed, TRELLUM_EMPTY when
 * none is queued, TRELLUM_DELETED, or TRELLUM_INVALID_ARGUMENT. A removal
 * counts as a receive in the statistics and makes room like one.
 */
TRELLUM_API int32_t Channel_removeEqualFromPipe(Channel channel, int32_t pipe, Message like);

/* A pipe's state and counters at one instant (Channel_statsOfPipe). */
typedef struct PipeStats {
    uint32_t structSize;        /* set by the caller to sizeof(PipeStats); lets the struct grow */
    int32_t  size;              /* messages queued now */
    int64_t  bytes;             /* body bytes queued now */
    int32_t  highWaterSize;     /* most messages queued at once since the pipe was made */
    int32_t  maxMessages;       /* capacity, 0 = none */
    int64_t  maxBytes;          /* capacity, 0 = none */
    int64_t  added;             /* messages ever queued */
    int64_t  removed;           /* messages ever taken (clear and delete not counted) */
    int32_t  waitingReceivers;  /* threads blocked in a receive now */
    int32_t  waitingSenders;    /* threads blocked in an add now */
    int32_t  shutDown;          /* 1 while shut down */
} PipeStats;

/*
 * Fills *stats, read at one instant under the pipe's lock, and returns
 * TRELLUM_OK. Returns TRELLUM_DELETED for a deleted channel (the
 * fields zeroed), and TRELLUM_INVALID_ARGUMENT (nothing written) for a NULL
 * channel or `stats`, a bad pipe index, or a structSize smaller than this
 * version's sizeof(PipeStats). Costs the add and remove paths nothing but
 * counter updates under the lock they hold anyway.
 */
TRELLUM_API int32_t Channel_statsOfPipe(Channel channel, int32_t pipe, PipeStats *stats);
/* The number of queued messages. */
TRELLUM_API int32_t Channel_sizeOfPipe(Channel channel, int32_t pipe);
/*
 * Frees every queued message. Neither wakes receivers nor changes the
 * shut-down mark; wakes senders waiting for room.
 */
TRELLUM_API void Channel_clearPipe(Channel channel, int32_t pipe);
/*
 * Marks the pipe shut down and wakes every blocked receiver; each returns
 * NULL (TRELLUM_SHUT_DOWN from the timed receive), even if a startup
 * follows before it wakes. Nothing on a deleted channel.
 */
TRELLUM_API void Channel_shutdown(Channel channel, int32_t pipe);
/*
 * Clears the shut-down mark; queued messages can be received again.
 * Receivers that start afterwards wait as usual. Nothing on a deleted channel.
 */
TRELLUM_API void Channel_startup(Channel channel, int32_t pipe);

/* ---- readiness descriptors ------------------------------------------------- */

/*
 * A new file descriptor that is readable (POLLIN for poll, EPOLLIN for
 * level-triggered epoll, ALOOPER_EVENT_INPUT for ALooper_addFd) exactly while
 * the pipe holds at least one message, is shut down, or its channel is
 * deleted, and not readable otherwise: a receive would then return without
 * waiting. The library keeps that state under the pipe's lock; never read
 * or write the descriptor yourself, only wait on it. It is non-blocking and
 * close-on-exec, and it is the caller's: close it with close(). Each call
 * gives a descriptor of its own; closing one affects no other. After the
 * channel is deleted the descriptor stays valid, and readable, until closed.
 * Hold a pin (ChannelManager_acquireChannel) for as long as you use the
 * channel through its descriptor.
 *
 * A pipe pays for this only once a descriptor was opened on it: the first
 * call makes one eventfd for the pipe, which every later call duplicates.
 * Returns -1 with errno EINVAL for a NULL channel or a pipe other than 0 and
 * 1, and -1 with the system's errno (EMFILE, ENFILE, ENOMEM) when no
 * descriptor can be had; nothing changes then.
 */
TRELLUM_API int Channel_openPipeEvents(Channel channel, int32_t pipe);

/* ---- cancellable waits ------------------------------------------------------ */

/*
 * Lets another thread end a wait: storage for a waiting thread's cancel flag.
 * It holds no resources: initialize it with PipeWaiter_init, and free its
 * memory whenever no wait and no PipeWaiter_cancel uses it any more. One
 * waiter serves one waiting thread at a time.
 */
typedef struct PipeWaiter {
    uint64_t opaque[6];
} PipeWaiter;

/* Readies a waiter: no cancel pending, no receive in progress. */
TRELLUM_API void PipeWaiter_init(PipeWaiter *waiter);
/*
 * Ends the waiter's current wait with TRELLUM_CANCELLED; when none is under
 * way, the next one ends so at once (a cancel is kept until a wait takes it).
 * Any thread may call it at any moment; it never waits for the waiting
 * thread (it holds the lock of the pipe or selector waited on for a moment).
 * The waiter's memory must stay valid until this call returns.
 */
TRELLUM_API void PipeWaiter_cancel(PipeWaiter *waiter);
/*
 * Channel_timedRemoveFromPipe that `waiter` can cancel: returns
 * TRELLUM_CANCELLED, taking nothing, when a cancel is pending before the
 * call would wait or comes while it waits. A queued message is taken even
 * with a cancel pending (the cancel stays pending).
 *
 * With `continued` 0 the call begins a receive; with `continued` 1, after an
 * earlier call through the same waiter on the same pipe, it goes on with that
 * receive: a shutdown since the receive began ends it with TRELLUM_SHUT_DOWN
 * even if a startup followed, as it would have ended a single wait. So a
 * long receive can be split into several calls (say to check something in
 * between) without missing a shutdown event. TRELLUM_INVALID_ARGUMENT as for
 * Channel_timedRemoveFromPipe, and for a NULL waiter.
 */
TRELLUM_API int32_t Channel_cancellableRemoveFromPipe(Channel channel, int32_t pipe, int64_t timeoutNanos,
                                                      PipeWaiter *waiter, int32_t continued, Message *message);
/*
 * Channel_timedAddToPipe that `waiter` can cancel: returns TRELLUM_CANCELLED,
 * with the message still the caller's, when a cancel is pending before the
 * call would wait for room or comes while it waits. TRELLUM_INVALID_ARGUMENT
 * also for a NULL waiter.
 */
TRELLUM_API int32_t Channel_cancellableAddToPipe(Channel channel, int32_t pipe, Message message,
                                                 int64_t timeoutNanos, PipeWaiter *waiter);

/* ---- waiting on many pipes -------------------------------------------------- */

/*
 * A selector waits until at least one of any number of pipes, of any
 * channels, is ready: holds a message, is shut down, or its channel is
 * deleted. Readiness is level-triggered: a pipe is reported by every wait
 * for as long as it stays ready. A wait costs the same however many idle
 * pipes are registered, and no descriptor is used per pipe.
 *
 * PipeSelector_add, PipeSelector_remove and PipeSelector_free of one
 * selector must not run concurrently with each other; PipeSelector_wait and
 * PipeSelector_wakeup may run on any thread at any time before
 * PipeSelector_free.
 */
typedef struct _PipeSelector *PipeSelector;
typedef struct _PipeSelectorKey *PipeSelectorKey;

/* A new selector with no pipes, or NULL when out of memory. */
TRELLUM_API PipeSelector PipeSelector_new(void);
/* Frees the selector. Remove every key first; no wait may be under way. */
TRELLUM_API void PipeSelector_free(PipeSelector selector);
/*
 * Registers the pipe; waits report `token` while it is ready. The key pins
 * the channel (its memory stays valid after a delete, and the deleted pipe
 * stays ready) until PipeSelector_remove. A pipe may be registered more than
 * once; each key is reported. Returns NULL with errno EINVAL (NULL selector
 * or channel, pipe other than 0 and 1) or ENOMEM.
 */
TRELLUM_API PipeSelectorKey PipeSelector_add(PipeSelector selector, Channel channel, int32_t pipe, int64_t token);
/* Deregisters the pipe and drops the key's pin. NULL does nothing. */
TRELLUM_API void PipeSelector_remove(PipeSelectorKey key);
/*
 * 1 when the channel of the key's pipe was deleted (the pipe then stays
 * ready until the key is removed), else 0; 0 for NULL. Any thread.
 */
TRELLUM_API int32_t PipeSelector_keyDeleted(PipeSelectorKey key);
/*
 * Waits at most `timeoutNanos` on the monotonic clock (0 does not wait, a
 * negative timeout waits without limit) until a registered pipe is ready,
 * then writes the tokens of up to `maxTokens` ready pipes to `tokens` and
 * their number to *count. Pipes that stay ready move behind the others, so
 * repeated waits with a small `maxTokens` report every ready pipe in turn.
 * Returns TRELLUM_OK (tokens written), TRELLUM_TIMED_OUT,
 * TRELLUM_WOKEN (PipeSelector_wakeup), TRELLUM_CANCELLED (`waiter`, which
 * may be NULL, was cancelled) or TRELLUM_INVALID_ARGUMENT (NULL selector,
 * tokens or count, or maxTokens < 1); *count is 0 but for TRELLUM_OK.
 */
TRELLUM_API int32_t PipeSelector_wait(PipeSelector selector, int64_t timeoutNanos, PipeWaiter *waiter,
                                      int64_t *tokens, int32_t maxTokens, int32_t *count);
/*
 * Ends the current wait on the selector with TRELLUM_WOKEN, or the next one
 * at once when none is under way. Any thread; never blocks for long.
 */
TRELLUM_API void PipeSelector_wakeup(PipeSelector selector);

/* ---- the process-wide registry ---------------------------------------------- */

/*
 * The channel registered under `id`, created (empty, running) when there is
 * none. Concurrent calls for one new ID create exactly one channel. The
 * pointer stays valid until ChannelManager_deleteChannel of the ID; where
 * another thread may delete the channel, use ChannelManager_acquireChannel.
 */
TRELLUM_API Channel ChannelManager_createOrGetChannel(int32_t id);
/*
 * Finds or creates the channel like ChannelManager_createOrGetChannel, and
 * pins it: the pointer stays valid, even after ChannelManager_deleteChannel
 * of the ID, until the matching ChannelManager_releaseChannel. On a channel
 * deleted meanwhile an add frees its message, both receives return at once
 * (NULL, TRELLUM_DELETED), peeks return NULL, the size is 0, and clear,
 * shutdown and startup do nothing. Pins may be taken any number of times;
 * each needs its own release.
 */
TRELLUM_API Channel ChannelManager_acquireChannel(int32_t id);
/* Drops a pin taken by ChannelManager_acquireChannel. NULL does nothing. */
TRELLUM_API void ChannelManager_releaseChannel(Channel channel);
/*
 * Unregisters the channel of `id` at once (a later find-or-create gives a
 * new, empty, running channel), frees its queued messages and wakes every
 * receiver blocked on either pipe: Channel_removeFromPipe returns NULL and
 * the timed receive TRELLUM_DELETED. Returns without waiting for other
 * threads. The channel's record (its messages are freed at once) goes when
 * the last blocked receiver has left and the last pin is released; threads
 * that looked the channel up keep it in a per-thread memo until a later
 * lookup replaces it or the thread ends. A pointer from
 * ChannelManager_createOrGetChannel must not be used after this call. An
 * unknown ID is not an error.
 */
TRELLUM_API void ChannelManager_deleteChannel(int32_t id);

#ifdef __cplusplus
}
#endif

#endif /* TRELLUM_TRELLUM_H */
