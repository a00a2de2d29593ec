// Native methods of com.fendrel.vm.channel.NativePipes that take messages
// off a pipe: the path under ChannelPipe's receives. Unlike TrellumJNI's they
// hand back primitives and a status (Marshalling.h), so that Java builds its
// message objects itself and can tell a timeout from a shutdown.
//
// Every call into the VM from native code costs about as much as the queue
// operation itself, so the common case makes none: a message travels through
// the calling thread's transfer area. Only a body larger than the area goes
// through a Java array.
#include <jni.h>
#include <stdint.h>
#include <trellum/trellum.h>

#include <jni_support/JniThrow.h>

#include "InterruptibleWait.h"
#include "Marshalling.h"
#include "PinnedChannel.h"
#include "TransferAreaLayout.h"

using trellum_jvm::PinnedChannel;
using trellum_jvm::TransferArea;

namespace {

TransferArea *areaAt(jlong address) { return trellum_jvm::transferAreaAt(address); }

// One receive step through the thread's waiter, each continuing the receive
// that the call's try began.
class ReceiveStep : public trellum_jvm::WaitStep {
public:
    ReceiveStep(Channel channel, int32_t pipe, PipeWaiter *waiter) : channel_(channel), pipe_(pipe), waiter_(waiter) {}
    int32_t wait(int64_t timeoutNanos, bool continued) override {
        // Before the first wait, a brief spin for a message on its way.
        if (!continued && timeoutNanos != 0) {
            trellum_jvm::spinBriefly([this] { return Channel_sizeOfPipe(channel_, pipe_) > 0; });
        }
        return Channel_cancellableRemoveFromPipe(channel_, pipe_, timeoutNanos, waiter_, 1, &message);
    }
    Message message = nullptr;

private:
    Channel channel_;
    int32_t pipe_;
    PipeWaiter *waiter_;
};

// Hands a received message to Java through the area, or puts it back when
// the Java heap is exhausted (OutOfMemoryError pending).
jbyteArray deliver(JNIEnv *env, Channel channel, int32_t pipe, Message message, TransferArea *area) {
    bool failed;
    jbyteArray large = trellum_jvm::handOver(env, *message, area, &failed);
    if (failed) {
        Channel_returnToPipe(channel, pipe, message);  // not lost: taken first again
        return nullptr;
    }
    Message_free(message);
    return large;
}

jbyteArray deliverOrSay(JNIEnv *env, int32_t status, Channel channel, int32_t pipe, Message message,
                        TransferArea *area) {
    if (status == TRELLUM_RECEIVED) return deliver(env, channel, pipe, message, area);
    area->status = status;
    return nullptr;
}

} // namespace

extern "C" {

// Takes the first message of pipe `pipe` (0 or 1) without waiting, into the
// transfer area at `area`, whose status says what happened. Returns a new
// array only for a body larger than the area, else null. Should the Java
// heap be exhausted, the message goes back into its pipe and
// OutOfMemoryError is pending. With `keepPin`, a pipe found empty begins a
// receive through the area's waiter and leaves the channel pinned in the
// area for awaitReceive.
JNIEXPORT jbyteArray JNICALL Java_com_fendrel_vm_channel_NativePipes_receive(
    JNIEnv *env, jclass, jint channelID, jint pipe, jlong area, jboolean keepPin) {
    PinnedChannel channel(channelID);
    TransferArea *to = areaAt(area);
    Message message = nullptr;
    int32_t status = Channel_timedRemoveFromPipe(channel.get(), pipe, 0, &message);
    if (status == TRELLUM_TIMED_OUT && keepPin == JNI_TRUE) {
        // The look whose shutdown count the wait goes on with.
        status = Channel_cancellableRemoveFromPipe(channel.get(), pipe, 0, &to->waiter, 0, &message);
        if (status == TRELLUM_TIMED_OUT) trellum_jvm::holdForWait(to, channel.release(), nullptr);
    }
    return deliverOrSay(env, status, channel.get(), pipe, message, to);
}

// Goes on with the receive that receive(..., keepPin) began, on the channel
// it pinned, waiting at most `timeoutNanos` (negative: without limit) in a
// wait that Thread.interrupt() can end (InterruptibleWait.h): the status is
// TRELLUM_CANCELLED, with nothing taken, when `thread` is interrupted.
// Releases the pin.
JNIEXPORT jbyteArray JNICALL Java_com_fendrel_vm_channel_NativePipes_awaitReceive(
    JNIEnv *env, jclass, jint pipe, jlong timeoutNanos, jlong area, jobject thread) {
    TransferArea *to = areaAt(area);
    PinnedChannel channel = PinnedChannel::adopt(trellum_jvm::takeHeldChannel(to));
    ReceiveStep step(channel.get(), pipe, &to->waiter);
    const int32_t status =
        trellum_jvm::waitInterruptibly(env, thread, timeoutNanos, trellum_jvm::racyInterrupts(), step);
    return deliverOrSay(env, status, channel.get(), pipe, step.message, to);
}

// A copy of the first message of the pipe, which stays queued, into the
// transfer area as for receive; the status is TRELLUM_RECEIVED,
// TRELLUM_EMPTY, TRELLUM_DELETED or TRELLUM_INVALID_ARGUMENT. Raises
// OutOfMemoryError only when memory for the copy truly ran out.
JNIEXPORT jbyteArray JNICALL Java_com_fendrel_vm_channel_NativePipes_peek(
    JNIEnv *env, jclass, jint channelID, jint pipe, jlong area) {
    PinnedChannel channel(channelID);
    Message copy = nullptr;
    const int32_t status = Channel_checkedPeekCopyFromPipe(channel.get(), pipe, &copy);
    if (status == TRELLUM_OUT_OF_MEMORY) {
        jni_support::throwNew(env, "java/lang/OutOfMemoryError", "no native memory to copy the first message");
        return nullptr;
    }
    if (status != TRELLUM_RECEIVED) {
        areaAt(area)->status = status;
        return nullptr;
    }
    bool failed;
    jbyteArray large = trellum_jvm::handOver(env, *copy, areaAt(area), &failed);
    Message_free(copy);
    return large;
}

// Takes up to `max` messages that are queued now, in order, in one crossing,
// into a batch (Marshalling.h). Returns how many were taken; a shutdown or a
// deletion ends the drain. Each body's local reference is deleted as soon as
// it is stored, so any `max` fits the VM's local reference table. Should the
// Java heap be exhausted, the message at hand goes back into its pipe and
// OutOfMemoryError is pending.
JNIEXPORT jint JNICALL Java_com_fendrel_vm_channel_NativePipes_drain(
    JNIEnv *env, jclass, jint channelID, jint pipe, jint max, jintArray headers, jobjectArray bodies) {
    PinnedChannel channel(channelID);
    jint taken = 0;
    while (taken < max) {
        Message message = nullptr;
        if (Channel_timedRemoveFromPipe(channel.get(), pipe, 0, &message) != TRELLUM_RECEIVED) break;
        if (!trellum_jvm::storeInBatch(env, *message, taken, headers, bodies)) {
            Channel_returnToPipe(channel.get(), pipe, message);  // not lost: taken first again
            break;
        }
        Message_free(message);
        ++taken;
    }
    return taken;
}

} // extern "C"
