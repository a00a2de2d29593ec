/*
 * Messages carried by trellum channels.
 *
 * A message is a header of five integers and a body of opaque bytes. The
 * record layout below is shared with every library that reads messages
 * directly (the JVM binding among them): field order and types are part of
 * the interface and must not change.
 *
 * Conventions:
 *  - Every _new has a matching _free; a _free of NULL does nothing.
 *  - A constructor reports exhausted memory (or a negative size) by
 *    returning NULL. Nothing is logged.
 *  - A Message belongs to its creator until it is handed to a pipe
 *    (Channel_addToPipe); a receive hands it back to the receiver, who
 *    frees it with Message_free.
 *  - All functions are thread-safe in the sense that they touch only the
 *    records passed to them.
 *
 * This header compiles as C89-or-later C and as C++.
 */
#ifndef TRELLUM_MESSAGE_H
#define TRELLUM_MESSAGE_H

#include <stdint.h>

#if defined(TRELLUM_BUILDING_LIBRARY)
#define TRELLUM_API __attribute__((visibility("default")))
#else
#define TRELLUM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _MessageHeader {
    int32_t type;       /* chosen by the sender; never interpreted */
    int32_t priority;   /* lower values leave a pipe first */
    int32_t channelID;  /* as the sender stated it; not used for routing */
    int32_t messageID;  /* chosen by the sender; never interpreted */
    int32_t attributes; /* chosen by the sender; never interpreted */
} _MessageHeader, *MessageHeader;

typedef struct _MessageBody {
    int32_t length;     /* number of bytes in data */
    uint8_t *data;      /* exactly length bytes, owned by the body */
} _MessageBody, *MessageBody;

typedef struct _Message {
    MessageHeader header; /* owned by the message, never NULL */
    MessageBody body;     /* owned by the message, never NULL */
} _Message, *Message;

/* A new header holding the five values unchanged, or NULL when out of memory. */
TRELLUM_API MessageHeader MessageHeader_new(int32_t type, int32_t priority, int32_t channelID,
                                            int32_t messageID, int32_t attributes);
TRELLUM_API void MessageHeader_free(MessageHeader header);

/*
 * A new body holding a private copy of `size` bytes from `source`. NULL when
 * out of memory or when size is negative. With size 0 the source is not read
 * and may be NULL; a NULL source with a positive size gives `size` zero
 * bytes, for the caller to fill.
 */
TRELLUM_API MessageBody MessageBody_new(int32_t size, const void *source);
/* Frees the bytes, then the record. */
TRELLUM_API void MessageBody_free(MessageBody body);

/*
 * A new message with the given header values and a private copy of `size`
 * bytes from `source` as its body (zeros, for the caller to fill, when
 * `source` is NULL). NULL when out of memory or when size is negative; no
 * partly built message survives a failure.
 */
TRELLUM_API Message Message_new(int32_t type, int32_t priority, int32_t channelID,
                                int32_t messageID, int32_t attributes, int32_t size,
                                const void *source);
/*
 * Frees the header, the body and the message. Works for messages from
 * Message_new and for records assembled by hand from MessageHeader_new,
 * MessageBody_new and malloc. A message from Message_new is one allocation:
 * its body's data may be replaced by a malloc'ed buffer, but its header and
 * body records must not be replaced or freed on their own.
 */
TRELLUM_API void Message_free(Message message);

#ifdef __cplusplus
}
#endif

#endif /* TRELLUM_MESSAGE_H */
