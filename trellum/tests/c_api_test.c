/*
 * The public headers compiled as strict C, and the library called through
 * them from C. Returns nonzero and names the failed check on failure.
 */
#include <trellum/trellum.h>
#include <trellum/Message.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures = 0;

#define CHECK(condition)                                                  \
    do {                                                                  \
        if (!(condition)) {                                               \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                   \
        }                                                                 \
    } while (0)

/* Defined in c_message_header.c, which includes <trellum/Message.h> alone. */
int32_t headerPriorityOf(const _Message *message);

static void messages(void) {
    static const char text[] = "from C";
    Message message = Message_new(1, -2, 3, 4, 5, (int32_t)sizeof text, text);
    MessageHeader header = MessageHeader_new(6, 7, 8, 9, 10);
    MessageBody body = MessageBody_new(0, NULL);

    CHECK(message != NULL && header != NULL && body != NULL);
    if (message != NULL) {
        CHECK(message->header->type == 1 && message->header->priority == -2);
        CHECK(message->header->channelID == 3 && message->header->messageID == 4);
        CHECK(message->header->attributes == 5);
        CHECK(message->body->length == (int32_t)sizeof text);
        CHECK(memcmp(message->body->data, text, sizeof text) == 0);
        CHECK(headerPriorityOf(message) == -2);
    }
    if (header != NULL) CHECK(header->attributes == 10);
    if (body != NULL) CHECK(body->length == 0);
    CHECK(Message_new(0, 0, 0, 0, 0, -1, text) == NULL);
    CHECK(MessageBody_new(-1, text) == NULL);

    Message_free(message);
    MessageHeader_free(header);
    MessageBody_free(body);
    Message_free(NULL);
    MessageHeader_free(NULL);
    MessageBody_free(NULL);
}

static void pipes(void) {
    Channel channel = Channel_new(12);
    Message copy;
    Message taken;
    int32_t priority;
    const int32_t order[] = {5, 1, 3, -8};
    const int32_t expected[] = {-8, 1, 3, 5};
    size_t i;

    CHECK(channel != NULL);
    for (i = 0; i < 4; ++i) Channel_addToPipe(channel, 1, Message_new(0, order[i], 12, (int32_t)i, 0, 0, NULL));
    CHECK(Channel_sizeOfPipe(channel, 1) == 4);
    CHECK(Channel_sizeOfPipe(channel, 0) == 0);
    CHECK(Channel_peekFromPipe(channel, 1) != NULL && Channel_peekFromPipe(channel, 1)->header->priority == -8);

    copy = Channel_peekCopyFromPipe(channel, 1);
    CHECK(copy != NULL && copy != Channel_peekFromPipe(channel, 1));
    Message_free(copy);

    Channel_shutdown(channel, 1);
    CHECK(Channel_removeFromPipe(channel, 1) == NULL);
    Channel_startup(channel, 1);
    for (i = 0; i < 4; ++i) {
        taken = Channel_removeFromPipe(channel, 1);
        priority = taken != NULL ? taken->header->priority : INT32_MAX;
        CHECK(priority == expected[i]);
        Message_free(taken);
    }

    Channel_addToPipe(channel, 0, Message_new(0, 0, 0, 0, 0, 0, NULL));
    Channel_clearPipe(channel, 0);
    CHECK(Channel_sizeOfPipe(channel, 0) == 0);

    Channel_addToPipe(channel, 2, Message_new(0, 0, 0, 0, 0, 0, NULL)); /* freed, not queued */
    CHECK(Channel_sizeOfPipe(channel, 2) == 0);

    MessagePipe_free(MessagePipe_new(Message_new(0, 0, 0, 0, 0, 0, NULL)));
    MessagePipe_free(NULL);
    Channel_addToPipe(channel, 0, Message_new(0, 0, 0, 0, 0, 0, NULL)); /* freed with the channel */
    Channel_free(channel);
    Channel_free(NULL);
}

static void registry(void) {
    Channel channel = ChannelManager_createOrGetChannel(-3);
    CHECK(channel != NULL);
    CHECK(ChannelManager_createOrGetChannel(-3) == channel);
    Channel_addToPipe(channel, 0, Message_new(0, 0, 0, 0, 0, 0, NULL));
    ChannelManager_deleteChannel(-3);
    ChannelManager_deleteChannel(-3);
    channel = ChannelManager_createOrGetChannel(-3);
    CHECK(Channel_sizeOfPipe(channel, 0) == 0);
    ChannelManager_deleteChannel(-3);
}

/* The status calls and pins, from C. */
static void statusesAndPins(void) {
    Channel pinned = ChannelManager_acquireChannel(-4242);
    Message message = NULL, copy = NULL;
    PipeStats stats;
    /* Callers written against either name of success keep working. */
    CHECK(TRELLUM_OK == 0 && TRELLUM_RECEIVED == TRELLUM_OK && TRELLUM_ADDED == TRELLUM_OK);
    stats.structSize = sizeof stats;
    CHECK(Channel_statsOfPipe(pinned, 0, &stats) == TRELLUM_OK && stats.size == 0);
    CHECK(Channel_timedRemoveFromPipe(pinned, 0, 0, &message) == TRELLUM_TIMED_OUT && message == NULL);
    CHECK(Channel_checkedPeekCopyFromPipe(pinned, 0, &copy) == TRELLUM_EMPTY && copy == NULL);
    Channel_addToPipe(pinned, 0, Message_new(0, 1, 2, 3, 4, 0, NULL));
    CHECK(Channel_checkedPeekCopyFromPipe(pinned, 0, &copy) == TRELLUM_RECEIVED && copy != NULL);
    Message_free(copy);
    CHECK(Channel_timedRemoveFromPipe(pinned, 0, 1000000, &message) == TRELLUM_RECEIVED && message != NULL);
    Message_free(message);
    ChannelManager_deleteChannel(-4242);
    CHECK(Channel_timedRemoveFromPipe(pinned, 1, -1, &message) == TRELLUM_DELETED && message == NULL);
    CHECK(Channel_timedRemoveFromPipe(pinned, 2, 0, &message) == TRELLUM_INVALID_ARGUMENT);
    ChannelManager_releaseChannel(pinned);
}

int main(void) {
    messages();
    pipes();
    registry();
    statusesAndPins();
    if (failures == 0) puts("C API: all checks passed");
    return failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
