/*
 * Producer threads and a consumer exchange prioritized messages through a
 * channel of the process-wide registry, using only the public C API.
 *
 *  1. Three producers queue their messages on pipe 0 of channel 7 at once,
 *     each with its own mix of priorities (0 urgent, 5 normal, 9 low).
 *  2. A consumer drains pipe 0 in priority order, first in first out among
 *     equals, and reports on pipe 1 once the pipe is empty.
 *  3. On that report the main thread shuts pipe 0 down; the consumer's
 *     blocked receive returns NULL and it stops.
 *
 * The demo checks the order it printed and exits nonzero if it is wrong.
 */
#include <trellum/trellum.h>

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kChannelID = 7, kWorkPipe = 0, kReportPipe = 1, kProducers = 3, kPerProducer = 4 };

static const int32_t kPriorities[kProducers][kPerProducer] = {
    {5, 9, 0, 5},
    {9, 5, 5, 0},
    {0, 0, 9, 5},
};

static const char *kindOf(int32_t priority) {
    return priority == 0 ? "urgent" : priority == 5 ? "normal" : "low";
}

static void *produce(void *argument) {
    const int32_t producer = (int32_t)(size_t)argument;
    Channel channel = ChannelManager_createOrGetChannel(kChannelID);
    int32_t sequence;
    for (sequence = 0; sequence < kPerProducer; ++sequence) {
        const int32_t priority = kPriorities[producer][sequence];
        char text[64];
        int length = snprintf(text, sizeof text, "%s note %d from producer %d", kindOf(priority),
                              (int)sequence, (int)producer);
        /* type = producer, messageID = its sequence number */
        Message message = Message_new(producer, priority, kChannelID, sequence, 0, length, text);
        if (message == NULL) {
            fprintf(stderr, "out of memory\n");
            exit(EXIT_FAILURE);
        }
        Channel_addToPipe(channel, kWorkPipe, message);
    }
    return NULL;
}

struct Tally {
    int received;
    int outOfOrder;
};

static void *consume(void *argument) {
    struct Tally *tally = argument;
    Channel channel = ChannelManager_createOrGetChannel(kChannelID);
    int32_t lastPriority = INT32_MIN;
    int32_t lastSequence[kProducers] = {-1, -1, -1};
    Message message;

    while ((message = Channel_removeFromPipe(channel, kWorkPipe)) != NULL) {
        const _MessageHeader *header = message->header;
        printf("  received  priority %d  %.*s\n", (int)header->priority, (int)message->body->length,
               (const char *)message->body->data);
        /* Everything was queued before the consumer started: the order is total. */
        if (header->priority < lastPriority) ++tally->outOfOrder;
        if (header->priority != lastPriority) memset(lastSequence, 0xff, sizeof lastSequence);
        if (header->messageID <= lastSequence[header->type]) ++tally->outOfOrder;
        lastPriority = header->priority;
        lastSequence[header->type] = header->messageID;
        ++tally->received;
        Message_free(message);

        if (Channel_sizeOfPipe(channel, kWorkPipe) == 0) {
            Channel_addToPipe(channel, kReportPipe, Message_new(0, 0, kChannelID, 0, 0, 7, "drained"));
        }
    }
    printf("consumer: pipe %d shut down, stopping\n", kWorkPipe);
    return NULL;
}

int main(void) {
    pthread_t producers[kProducers];
    pthread_t consumer;
    struct Tally tally = {0, 0};
    Channel channel = ChannelManager_createOrGetChannel(kChannelID);
    Message report;
    int i;

    printf("%d producers queue %d messages each on channel %d, pipe %d\n", kProducers, kPerProducer,
           kChannelID, kWorkPipe);
    for (i = 0; i < kProducers; ++i) {
        if (pthread_create(&producers[i], NULL, produce, (void *)(size_t)i) != 0) return EXIT_FAILURE;
    }
    for (i = 0; i < kProducers; ++i) pthread_join(producers[i], NULL);
    printf("queued: %d messages; the consumer starts\n", (int)Channel_sizeOfPipe(channel, kWorkPipe));

    if (pthread_create(&consumer, NULL, consume, &tally) != 0) return EXIT_FAILURE;
    report = Channel_removeFromPipe(channel, kReportPipe); /* blocks until the consumer reports */
    printf("main: consumer reports \"%.*s\"; shutting pipe %d down\n",
           report != NULL ? (int)report->body->length : 0,
           report != NULL ? (const char *)report->body->data : "", kWorkPipe);
    Message_free(report);
    Channel_shutdown(channel, kWorkPipe);
    pthread_join(consumer, NULL);
    ChannelManager_deleteChannel(kChannelID);

    if (tally.received != kProducers * kPerProducer || tally.outOfOrder != 0) {
        fprintf(stderr, "wrong delivery: %d received, %d out of order\n", tally.received, tally.outOfOrder);
        return EXIT_FAILURE;
    }
    printf("all %d messages arrived by priority, each producer's in its own order\n", tally.received);
    return EXIT_SUCCESS;
}
