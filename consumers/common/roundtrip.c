/*
 * A consumer's first program: one message through a channel and back, and a
 * shut-down pipe that stops a receive. Exits nonzero on any mismatch, so a
 * consumer check fails when the headers, the library or its linking are not
 * what an outside project gets.
 */
#include <trellum/trellum.h>

#include <stdio.h>
#include <string.h>

static int fail(const char *what) {
    fprintf(stderr, "roundtrip: %s\n", what);
    return 1;
}

int main(void) {
    static const char body[] = "consumer";
    const int32_t id = 4242;
    Channel ch = ChannelManager_createOrGetChannel(id);
    if (ch == NULL) return fail("no channel");

    Message m = Message_new(1, 5, id, 7, 0, (int32_t)sizeof body, body);
    if (m == NULL) return fail("no message");
    Channel_addToPipe(ch, 1, m);
    if (Channel_sizeOfPipe(ch, 1) != 1) return fail("the message was not queued");

    Message got = Channel_removeFromPipe(ch, 1);
    if (got == NULL) return fail("nothing received");
    if (got->header->messageID != 7 || got->body->length != (int32_t)sizeof body ||
        memcmp(got->body->data, body, sizeof body) != 0) {
        Message_free(got);
        return fail("received a different message");
    }
    Message_free(got);

    Channel_shutdown(ch, 1);
    if (Channel_removeFromPipe(ch, 1) != NULL) return fail("a shut-down pipe delivered");
    ChannelManager_deleteChannel(id);
    puts("roundtrip: ok");
    return 0;
}
