/*
 * trellum: process-wide message channels.
 *
 * A channel, named by any 32-bit ID (zero and negatives included), holds two
 * independent pipes, index 0 and index 1. Each pipe is a queue ordered by
 * message priority (lower first, first-in first-out among equals) with a
 * blocking receive and a shut-down mark.
 *
 * Conventions:
 *  - Channels and queue nodes are opaque; messages are the records of
 *    <trellum/Message.h>.
 *  - Channel operations have no failure result. Where memory for a channel,
 *    a queue node or the registry cannot be had, the process aborts: queuing
 *    nothing or corrupting a queue would be worse.
 *  - A pipe index other than 0 or 1, or a NULL channel, is harmless: the
 *    operation does nothing (an added message is freed), a receive or peek
 *    returns NULL and a size is 0.
 *  - Every function may be called from any thread. Each pipe has its own
 *    lock; the registry has one. Channel_removeFromPipe is the only call
 *    that blocks.
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
 * queues.
 */
TRELLUM_API void Channel_addToPipe(Channel channel, int32_t pipe, Message message);
/*
 * Takes the first message; the caller owns it and frees it with
 * Message_free. Blocks while the pipe is empty and running. Returns NULL
 * when the pipe is shut down, at once, leaving queued messages queued.
 */
TRELLUM_API Message Channel_removeFromPipe(Channel channel, int32_t pipe);
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
/* The number of queued messages. */
TRELLUM_API int32_t Channel_sizeOfPipe(Channel channel, int32_t pipe);
/* Frees every queued message. Neither wakes receivers nor changes the shut-down mark. */
TRELLUM_API void Channel_clearPipe(Channel channel, int32_t pipe);
/* Marks the pipe shut down and wakes every blocked receiver; each returns NULL. */
TRELLUM_API void Channel_shutdown(Channel channel, int32_t pipe);
/* Clears the shut-down mark; queued messages can be received again. */
TRELLUM_API void Channel_startup(Channel channel, int32_t pipe);

/* ---- the process-wide registry ---------------------------------------------- */

/*
 * The channel registered under `id`, created (empty, running) when there is
 * none. Concurrent calls for one new ID create exactly one channel. The
 * pointer stays valid until ChannelManager_deleteChannel of the ID.
 */
TRELLUM_API Channel ChannelManager_createOrGetChannel(int32_t id);
/*
 * Removes the channel registered under `id` and frees it with every queued
 * message. An unknown ID is not an error. No other thread may still use the
 * channel, a receiver blocked on it included.
 */
TRELLUM_API void ChannelManager_deleteChannel(int32_t id);

#ifdef __cplusplus
}
#endif

#endif /* TRELLUM_TRELLUM_H */
