// Native methods of com.fendrel.vm.channel.NativePipes for sends that may
// wait for room, capacity, statistics, and what makes a pipe a whole
// java.util.Collection: a snapshot and the removal of a given message, both
// atomic under the pipe's lock.
#include <jni.h>
#include <stdint.h>
#include <stdlib.h>
#include <trellum/trellum.h>

#include <jni_support/JniThrow.h>
#include <jni_support/ScopedLocalRef.h>

#include "InterruptibleWait.h"
#include "MessageObjects.h"
#include "PinnedChannel.h"
#include "TransferAreaLayout.h"

using jni_support::ScopedLocalRef;
using trellum_jvm::PinnedChannel;

namespace {

const jsize kHeaderInts = 5;
const jsize kStatsFields = 10;

class SendStep : public trellum_jvm::WaitStep {
public:
    SendStep(Channel channel, int32_t pipe, Message message, PipeWaiter *waiter)
        : channel_(channel), pipe_(pipe), message_(message), waiter_(waiter) {}
    int32_t wait(int64_t timeoutNanos, bool continued) override {
        // Before the first wait, a brief spin for room on its way.
        int32_t status = TRELLUM_TIMED_OUT;
        if (!continued && timeoutNanos != 0 &&
            trellum_jvm::spinBriefly([&] {
                status = Channel_timedAddToPipe(channel_, pipe_, message_, 0);
                return status != TRELLUM_TIMED_OUT;
            })) {
            return status;
        }
        return Channel_cancellableAddToPipe(channel_, pipe_, message_, timeoutNanos, waiter_);
    }

private:
    Channel channel_;
    int32_t pipe_;
    Message message_;
    PipeWaiter *waiter_;
};

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
    bool take(Channel channel, int32_t pipe) {
        int32_t room = Channel_sizeOfPipe(channel, pipe) + 8;
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

// Queues a message built from the header integers and `body`, or when
// `body` is null from `length` bytes of the transfer area's body, if there
// is room now. Returns a TRELLUM_ status; on any but TRELLUM_ADDED nothing
// was queued. With `keepPin`, a full pipe leaves the channel pinned and the
// message in the area for awaitSend. Raises OutOfMemoryError, queuing
// nothing, when native memory for the message cannot be had.
JNIEXPORT jint JNICALL Java_com_fendrel_vm_channel_NativePipes_send(
    JNIEnv *env, jclass, jint channelID, jint pipe, jint type, jint priority, jint headerChannelID, jint messageID,
    jint attributes, jbyteArray body, jlong area, jint length, jboolean keepPin) {
    Message message;
    if (body != nullptr) {
        const jint header[kHeaderInts] = {type, priority, headerChannelID, messageID, attributes};
        message = trellum_jvm::newMessageFromArray(env, header, body);
        if (message == nullptr) return TRELLUM_OUT_OF_MEMORY;  // an exception is pending
    } else {
        message = Message_new(type, priority, headerChannelID, messageID, attributes, length,
                              trellum_jvm::transferAreaAt(area)->body);
        if (message == nullptr) {
            jni_support::throwNew(env, "java/lang/OutOfMemoryError", "no native memory for the message");
            return TRELLUM_OUT_OF_MEMORY;
        }
    }
    PinnedChannel channel(channelID);
    const int32_t status = Channel_timedAddToPipe(channel.get(), pipe, message, 0);
    if (status == TRELLUM_TIMED_OUT && keepPin == JNI_TRUE) {
        trellum_jvm::holdForWait(trellum_jvm::transferAreaAt(area), channel.release(), message);
    } else if (status != TRELLUM_ADDED) {
        Message_free(message);  // still ours
    }
    return status;
}

// Goes on with the send that send(..., keepPin) began, on the channel it
// pinned, waiting at most `timeoutNanos` (negative: without limit) for room
// in a wait that Thread.interrupt() can end (InterruptibleWait.h). Returns a
// TRELLUM_ status as send does; releases the pin.
JNIEXPORT jint JNICALL Java_com_fendrel_vm_channel_NativePipes_awaitSend(
    JNIEnv *env, jclass, jint pipe, jlong timeoutNanos, jlong area, jobject thread, jboolean racyInterrupts) {
    trellum_jvm::TransferArea *from = trellum_jvm::transferAreaAt(area);
    Message message = trellum_jvm::takeHeldMessage(from);
    PinnedChannel channel = PinnedChannel::adopt(trellum_jvm::takeHeldChannel(from));
    SendStep step(channel.get(), pipe, message, &from->waiter);
    const int32_t status = trellum_jvm::waitInterruptibly(env, thread, timeoutNanos, racyInterrupts == JNI_TRUE, step);
    if (status != TRELLUM_ADDED) Message_free(message);  // still ours
    return status;
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

// Copies of every queued message, in take order, taken at one instant: an
// array of two elements, the header integers (int[5n]) and the bodies
// (byte[n][]). Null with OutOfMemoryError pending when memory ran out.
JNIEXPORT jobjectArray JNICALL Java_com_fendrel_vm_channel_NativePipes_snapshot(
    JNIEnv *env, jclass, jint channelID, jint pipe) {
    Copies copies;
    {
        PinnedChannel channel(channelID);
        if (!copies.take(channel.get(), pipe)) {
            jni_support::throwNew(env, "java/lang/OutOfMemoryError", "no native memory to copy the pipe");
            return nullptr;
        }
    }
    const jsize count = copies.count;
    ScopedLocalRef<jintArray> headers(env, env->NewIntArray(count * kHeaderInts));
    if (!headers) return nullptr;
    ScopedLocalRef<jclass> byteArrayClass(env, env->FindClass("[B"));
    if (!byteArrayClass) return nullptr;
    ScopedLocalRef<jobjectArray> bodies(env, env->NewObjectArray(count, byteArrayClass.get(), nullptr));
    if (!bodies) return nullptr;
    for (jsize i = 0; i < count; ++i) {
        const _Message &message = *copies.messages[i];
        const _MessageHeader &h = *message.header;
        const jint values[kHeaderInts] = {h.type, h.priority, h.channelID, h.messageID, h.attributes};
        env->SetIntArrayRegion(headers.get(), i * kHeaderInts, kHeaderInts, values);
        ScopedLocalRef<jbyteArray> body(env, env->NewByteArray(message.body->length));
        if (!body) return nullptr;
        env->SetByteArrayRegion(body.get(), 0, message.body->length,
                                reinterpret_cast<const jbyte *>(message.body->data));
        env->SetObjectArrayElement(bodies.get(), i, body.get());
    }
    ScopedLocalRef<jclass> objectClass(env, env->FindClass("java/lang/Object"));
    if (!objectClass) return nullptr;
    jobjectArray result = env->NewObjectArray(2, objectClass.get(), nullptr);
    if (result == nullptr) return nullptr;
    env->SetObjectArrayElement(result, 0, headers.get());
    env->SetObjectArrayElement(result, 1, bodies.get());
    return result;
}

// Removes the first queued message equal to the given one. Returns the
// status of Channel_removeEqualFromPipe; raises OutOfMemoryError when
// native memory for the comparison message cannot be had.
JNIEXPORT jint JNICALL Java_com_fendrel_vm_channel_NativePipes_removeEqual(
    JNIEnv *env, jclass, jint channelID, jint pipe, jint type, jint priority, jint headerChannelID, jint messageID,
    jint attributes, jbyteArray body) {
    const jint header[kHeaderInts] = {type, priority, headerChannelID, messageID, attributes};
    Message like = trellum_jvm::newMessageFromArray(env, header, body);
    if (like == nullptr) return TRELLUM_OUT_OF_MEMORY;
    PinnedChannel channel(channelID);
    const int32_t status = Channel_removeEqualFromPipe(channel.get(), pipe, like);
    Message_free(like);
    return status;
}

} // extern "C"
