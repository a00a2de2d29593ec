// Native methods of com.fendrel.vm.channel.NativePipes that control and
// inspect a pipe: its state, capacity and statistics, and what makes it a
// whole java.util.Collection: a snapshot and the removal of a given message,
// both atomic under the pipe's lock. Each call pins its channel for its
// length.
#include <errno.h>
#include <jni.h>
#include <stdint.h>
#include <stdlib.h>
#include <trellum/trellum.h>

#include <jni_support/JniThrow.h>

#include "Marshalling.h"
#include "PinnedChannel.h"
#include "TransferAreaLayout.h"

using trellum_jvm::PinnedChannel;

namespace {

const jsize kStatsFields = 10;

// A snapshot of a pipe's messages, freed with this object.
struct Copies {
    Message *messages = nullptr;
    int32_t count = 0;

    Copies() = default;
    Copies(const Copies &) = delete;
    Copies &operator=(const Copies &) = delete;
    ~Copies() { release(); }

    // Copies the pipe, growing the array until it holds every message.
    // False when memory ran out.
    bool take(Channel channel, int32_t pipe, int32_t room) {
        for (;;) {
            messages = static_cast<Message *>(malloc(sizeof(Message) * static_cast<size_t>(room)));
            if (messages == nullptr) return false;
            int32_t queued = 0;
            const int32_t status = Channel_copyOfPipe(channel, pipe, messages, room, &queued);
            if (status == TRELLUM_OUT_OF_MEMORY) return false;
            if (status != TRELLUM_RECEIVED) return true;  // deleted meanwhile: nothing queued
            count = queued < room ? queued : room;
            if (queued <= room) return true;
            release();
            room = queued + queued / 2;
        }
    }

    void release() {
        for (int32_t i = 0; i < count; ++i) Message_free(messages[i]);
        free(messages);
        messages = nullptr;
        count = 0;
    }
};

} // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_com_fendrel_vm_channel_NativePipes_size(JNIEnv *, jclass, jint channelID, jint pipe) {
    PinnedChannel channel(channelID);
    return Channel_sizeOfPipe(channel.get(), pipe);
}

JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_NativePipes_clear(JNIEnv *, jclass, jint channelID, jint pipe) {
    PinnedChannel channel(channelID);
    Channel_clearPipe(channel.get(), pipe);
}

JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_NativePipes_shutdown(JNIEnv *, jclass, jint channelID, jint pipe) {
    PinnedChannel channel(channelID);
    Channel_shutdown(channel.get(), pipe);
}

JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_NativePipes_startup(JNIEnv *, jclass, jint channelID, jint pipe) {
    PinnedChannel channel(channelID);
    Channel_startup(channel.get(), pipe);
}

JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_NativePipes_deleteChannel(JNIEnv *, jclass, jint channelID) {
    ChannelManager_deleteChannel(channelID);
}

// A new readiness descriptor of the pipe, or -errno.
JNIEXPORT jint JNICALL Java_com_fendrel_vm_channel_NativePipes_openEvents(JNIEnv *, jclass, jint channelID, jint pipe) {
    PinnedChannel channel(channelID);
    const int fd = Channel_openPipeEvents(channel.get(), pipe);
    return fd >= 0 ? fd : -errno;
}

JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_NativePipes_setCapacity(
    JNIEnv *, jclass, jint channelID, jint pipe, jint maxMessages, jlong maxBytes) {
    PinnedChannel channel(channelID);
    Channel_setPipeCapacity(channel.get(), pipe, maxMessages, maxBytes);
}

// Fills `fields` with size, bytes, highWaterSize, maxMessages, maxBytes,
// added, removed, waitingReceivers, waitingSenders and shutDown, read at
// one instant. Returns the status of Channel_statsOfPipe.
JNIEXPORT jint JNICALL Java_com_fendrel_vm_channel_NativePipes_stats(
    JNIEnv *env, jclass, jint channelID, jint pipe, jlongArray fields) {
    PinnedChannel channel(channelID);
    PipeStats stats;
    stats.structSize = sizeof stats;
    const int32_t status = Channel_statsOfPipe(channel.get(), pipe, &stats);
    const jlong values[kStatsFields] = {stats.size, stats.bytes, stats.highWaterSize, stats.maxMessages,
                                        stats.maxBytes, stats.added, stats.removed, stats.waitingReceivers,
                                        stats.waitingSenders, stats.shutDown};
    env->SetLongArrayRegion(fields, 0, kStatsFields, values);
    return status;
}

// Copies of every queued message, in take order, taken at one instant, into
// a batch (Marshalling.h) when they fit in it. Returns how many were queued:
// more than the batch holds means nothing was stored. Raises
// OutOfMemoryError when memory for the copies ran out.
JNIEXPORT jint JNICALL Java_com_fendrel_vm_channel_NativePipes_snapshot(
    JNIEnv *env, jclass, jint channelID, jint pipe, jintArray headers, jobjectArray bodies) {
    const jsize room = env->GetArrayLength(bodies);
    Copies copies;
    {
        PinnedChannel channel(channelID);
        if (!copies.take(channel.get(), pipe, room + 1)) {
            jni_support::throwNew(env, "java/lang/OutOfMemoryError", "no native memory to copy the pipe");
            return 0;
        }
    }
    if (copies.count > room) return copies.count;
    for (jsize i = 0; i < copies.count; ++i) {
        if (!trellum_jvm::storeInBatch(env, *copies.messages[i], i, headers, bodies)) return 0;
    }
    return copies.count;
}

// Removes the first queued message equal to the one in the transfer area,
// its body in `large` when that is not null. Returns the status of
// Channel_removeEqualFromPipe; raises OutOfMemoryError when native memory
// for the comparison message cannot be had.
JNIEXPORT jint JNICALL Java_com_fendrel_vm_channel_NativePipes_removeEqual(
    JNIEnv *env, jclass, jint channelID, jint pipe, jbyteArray large, jlong area) {
    Message like = trellum_jvm::messageFromArea(env, *trellum_jvm::transferAreaAt(area), large);
    if (like == nullptr) return TRELLUM_OUT_OF_MEMORY;
    PinnedChannel channel(channelID);
    const int32_t status = Channel_removeEqualFromPipe(channel.get(), pipe, like);
    Message_free(like);
    return status;
}

} // extern "C"
