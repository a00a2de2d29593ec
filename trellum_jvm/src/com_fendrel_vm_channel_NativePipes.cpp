// Native methods of com.fendrel.vm.channel.NativePipes, the path under the
// Java channel API (MessageChannel, ChannelPipe). Unlike TrellumJNI's they
// take and hand back primitives, and report a status, so that Java builds its
// message objects itself and can tell a timeout from a shutdown. Each call
// pins its channel for its length.
//
// Every call into the VM from native code costs about as much as the queue
// operation itself, so the common case makes none: a message travels through
// the calling thread's transfer area, a direct buffer that Java reads and
// writes (TransferArea.java holds the layout below). Only a body larger than
// the area goes through a Java array.
#include <jni.h>
#include <stdint.h>
#include <errno.h>
#include <string.h>
#include <trellum/trellum.h>

#include <jni_support/JniThrow.h>
#include <jni_support/ScopedLocalRef.h>

#include "InterruptibleWait.h"
#include "MessageObjects.h"
#include "PinnedChannel.h"
#include "TransferAreaLayout.h"

using jni_support::ScopedLocalRef;
using trellum_jvm::PinnedChannel;

using trellum_jvm::TransferArea;

namespace {

const jsize kHeaderInts = 5;

TransferArea *areaAt(jlong address) { return trellum_jvm::transferAreaAt(address); }

// A new byte array holding the message's body. Returns null: an exception
// (OutOfMemoryError) is pending.
jbyteArray bodyArray(JNIEnv *env, const _Message &message) {
    const jsize length = message.body->length;
    jbyteArray data = env->NewByteArray(length);
    if (data == nullptr) return nullptr;
    if (length > 0) {
        env->SetByteArrayRegion(data, 0, length, reinterpret_cast<const jbyte *>(message.body->data));
    }
    return data;
}

// Hands a message to Java through the area: its header, length and (if it
// fits) body, with status TRELLUM_RECEIVED. Returns a new array holding a
// body too large for the area, else null. Returns null with *failed set when
// that array could not be had (OutOfMemoryError pending); the area then says
// nothing was received.
jbyteArray handOverThrough(JNIEnv *env, const _Message &message, TransferArea *area, jint capacity, bool *failed) {
    *failed = false;
    const _MessageHeader &h = *message.header;
    const int32_t length = message.body->length;
    jbyteArray large = nullptr;
    if (length > capacity) {
        large = bodyArray(env, message);
        if (large == nullptr) {
            *failed = true;
            area->status = TRELLUM_OUT_OF_MEMORY;
            return nullptr;
        }
    } else if (length > 0) {
        memcpy(area->body, message.body->data, static_cast<size_t>(length));
    }
    area->header[0] = h.type;
    area->header[1] = h.priority;
    area->header[2] = h.channelID;
    area->header[3] = h.messageID;
    area->header[4] = h.attributes;
    area->length = length;
    area->status = TRELLUM_RECEIVED;
    return large;
}

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
jbyteArray deliver(JNIEnv *env, Channel channel, int32_t pipe, Message message, TransferArea *area, jint capacity) {
    bool failed;
    jbyteArray large = handOverThrough(env, *message, area, capacity, &failed);
    if (failed) {
        Channel_returnToPipe(channel, pipe, message);  // not lost: taken first again
        return nullptr;
    }
    Message_free(message);
    return large;
}

} // namespace

extern "C" {

// Takes up to `max` messages that are queued now, in order, in one crossing:
// message i's header goes to headers[5i..5i+4] and its body to bodies[i].
// Returns how many were taken; a shutdown or a deletion ends the drain. Each
// body's local reference is deleted as soon as it is stored, so any `max`
// fits the VM's local reference table. Should the Java heap be exhausted,
// the message at hand goes back into its pipe and OutOfMemoryError is pending.
JNIEXPORT jint JNICALL Java_com_fendrel_vm_channel_NativePipes_drain(
    JNIEnv *env, jclass, jint channelID, jint pipe, jint max, jintArray headers, jobjectArray bodies) {
    PinnedChannel channel(channelID);
    jint taken = 0;
    while (taken < max) {
        Message message = nullptr;
        if (Channel_timedRemoveFromPipe(channel.get(), pipe, 0, &message) != TRELLUM_RECEIVED) break;
        ScopedLocalRef<jbyteArray> body(env, bodyArray(env, *message));
        if (body) {
            const _MessageHeader &h = *message->header;
            const jint values[kHeaderInts] = {h.type, h.priority, h.channelID, h.messageID, h.attributes};
            env->SetIntArrayRegion(headers, taken * kHeaderInts, kHeaderInts, values);
            if (!env->ExceptionCheck()) env->SetObjectArrayElement(bodies, taken, body.get());
        }
        if (env->ExceptionCheck()) {
            Channel_returnToPipe(channel.get(), pipe, message);  // not lost: taken first again
            break;
        }
        Message_free(message);
        ++taken;
    }
    return taken;
}

// The address of a direct buffer (the calling thread's transfer area).
JNIEXPORT jlong JNICALL Java_com_fendrel_vm_channel_NativePipes_addressOf(JNIEnv *env, jclass, jobject buffer) {
    return static_cast<jlong>(reinterpret_cast<intptr_t>(env->GetDirectBufferAddress(buffer)));
}

// Takes the first message of pipe `pipe` (0 or 1) without waiting, into the
// transfer area at `area` (`capacity` body bytes). The area's status says
// what happened. Returns a new array only for a body larger than the area,
// else null. Should the Java heap be exhausted, the message goes back into
// its pipe and OutOfMemoryError is pending. With `keepPin`, a pipe found
// empty begins a receive through the area's waiter and leaves the channel
// pinned in the area for awaitReceive.
JNIEXPORT jbyteArray JNICALL Java_com_fendrel_vm_channel_NativePipes_receive(
    JNIEnv *env, jclass, jint channelID, jint pipe, jlong area, jint capacity, jboolean keepPin) {
    PinnedChannel channel(channelID);
    TransferArea *to = areaAt(area);
    Message message = nullptr;
    int32_t status = Channel_timedRemoveFromPipe(channel.get(), pipe, 0, &message);
    if (status == TRELLUM_TIMED_OUT && keepPin == JNI_TRUE) {
        // The look whose shutdown count the wait goes on with.
        status = Channel_cancellableRemoveFromPipe(channel.get(), pipe, 0, &to->waiter, 0, &message);
        if (status == TRELLUM_TIMED_OUT) trellum_jvm::holdForWait(to, channel.release(), nullptr);
    }
    if (status != TRELLUM_RECEIVED) {
        to->status = status;
        return nullptr;
    }
    return deliver(env, channel.get(), pipe, message, to, capacity);
}

// Goes on with the receive that receive(..., keepPin) began, on the channel
// it pinned, waiting at most `timeoutNanos` (negative: without limit) in a
// wait that Thread.interrupt() can end (InterruptibleWait.h): the status is
// TRELLUM_CANCELLED, with nothing taken, when `thread` is interrupted.
// Releases the pin.
JNIEXPORT jbyteArray JNICALL Java_com_fendrel_vm_channel_NativePipes_awaitReceive(
    JNIEnv *env, jclass, jint pipe, jlong timeoutNanos, jlong area, jint capacity, jobject thread,
    jboolean racyInterrupts) {
    TransferArea *to = areaAt(area);
    PinnedChannel channel = PinnedChannel::adopt(trellum_jvm::takeHeldChannel(to));
    ReceiveStep step(channel.get(), pipe, &to->waiter);
    const int32_t status = trellum_jvm::waitInterruptibly(env, thread, timeoutNanos, racyInterrupts == JNI_TRUE, step);
    if (status != TRELLUM_RECEIVED) {
        to->status = status;
        return nullptr;
    }
    return deliver(env, channel.get(), pipe, step.message, to, capacity);
}

// Drops what a call's try held for a wait that never ran.
JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_NativePipes_releaseHeld(JNIEnv *, jclass, jlong area) {
    TransferArea *held = areaAt(area);
    Message_free(trellum_jvm::takeHeldMessage(held));
    ChannelManager_releaseChannel(trellum_jvm::takeHeldChannel(held));
}

// Readies the waiter of a new transfer area.
JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_NativePipes_initWaiter(JNIEnv *, jclass, jlong area) {
    PipeWaiter_init(trellum_jvm::waiterAt(area));
}

// Thread.interrupt() of the area's thread, through its interruptor: ends the
// thread's current wait, or its next. Never waits for that thread.
JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_NativePipes_cancelWait(JNIEnv *, jclass, jlong area) {
    PipeWaiter_cancel(trellum_jvm::waiterAt(area));
}

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

// A copy of the first message of the pipe, which stays queued, into the
// transfer area as for receive; the status is TRELLUM_RECEIVED,
// TRELLUM_EMPTY, TRELLUM_DELETED or TRELLUM_INVALID_ARGUMENT. Raises
// OutOfMemoryError only when memory for the copy truly ran out.
JNIEXPORT jbyteArray JNICALL Java_com_fendrel_vm_channel_NativePipes_peek(
    JNIEnv *env, jclass, jint channelID, jint pipe, jlong area, jint capacity) {
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
    jbyteArray large = handOverThrough(env, *copy, areaAt(area), capacity, &failed);
    Message_free(copy);
    return large;
}

} // extern "C"
