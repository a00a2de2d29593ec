// Native methods of com.fendrel.vm.channel.NativePipes, the path under the
// Java channel API (MessageChannel, ChannelPipe). Unlike TrellumJNI's they
// take and hand back primitives and byte arrays, and report a status, so that
// Java builds its message objects itself and can tell a timeout from a
// shutdown. Each call pins its channel for its length.
#include <jni.h>
#include <trellum/trellum.h>

#include <jni_support/JniThrow.h>
#include <jni_support/ScopedLocalRef.h>

#include "MessageObjects.h"
#include "PinnedChannel.h"

using jni_support::ScopedLocalRef;
using trellum_jvm::PinnedChannel;

namespace {

// Slots of the int array that receive and peek fill: the five header
// integers in Message_new's order, then the status.
const jsize kHeaderInts = 5;
const jsize kStatusSlot = 5;

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

// Hands the message to Java: its header and `status` into `out`, its body as
// the result. Returns null: an exception is pending and the message is
// untouched.
jbyteArray handOver(JNIEnv *env, const _Message &message, jint status, jintArray out) {
    ScopedLocalRef<jbyteArray> body(env, bodyArray(env, message));
    if (!body) return nullptr;
    const _MessageHeader &h = *message.header;
    const jint values[kHeaderInts + 1] = {h.type, h.priority, h.channelID, h.messageID, h.attributes, status};
    env->SetIntArrayRegion(out, 0, kHeaderInts + 1, values);
    if (env->ExceptionCheck()) return nullptr;
    return body.release();
}

void setStatus(JNIEnv *env, jintArray out, jint status) { env->SetIntArrayRegion(out, kStatusSlot, 1, &status); }

} // namespace

extern "C" {

// Queues a message built from the header integers and a copy of `body`
// (null: empty). Raises OutOfMemoryError, queuing nothing, when native memory
// for it cannot be had.
JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_NativePipes_put(
    JNIEnv *env, jclass, jint channelID, jint pipe, jint type, jint priority, jint headerChannelID,
    jint messageID, jint attributes, jbyteArray body) {
    const jint header[kHeaderInts] = {type, priority, headerChannelID, messageID, attributes};
    Message message = trellum_jvm::newMessageFromArray(env, header, body);
    if (message == nullptr) {
        if (!env->ExceptionCheck()) {
            jni_support::throwNew(env, "java/lang/OutOfMemoryError", "no native memory for the message");
        }
        return;
    }
    PinnedChannel channel(channelID);
    Channel_addToPipe(channel.get(), pipe, message);
}

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
            Channel_addToPipe(channel.get(), pipe, message);  // not lost
            break;
        }
        Message_free(message);
        ++taken;
    }
    return taken;
}

// Takes the first message of pipe `pipe` (0 or 1), waiting at most
// `timeoutNanos` (0: not at all; negative: without limit). Returns its body
// with its header and TRELLUM_RECEIVED in `headerAndStatus` (6 ints), or
// null with only the status set. Should the Java heap be exhausted, the
// message goes back into its pipe and OutOfMemoryError is pending.
JNIEXPORT jbyteArray JNICALL Java_com_fendrel_vm_channel_NativePipes_receive(
    JNIEnv *env, jclass, jint channelID, jint pipe, jlong timeoutNanos, jintArray headerAndStatus) {
    PinnedChannel channel(channelID);
    Message message = nullptr;
    const int32_t status = Channel_timedRemoveFromPipe(channel.get(), pipe, timeoutNanos, &message);
    if (status != TRELLUM_RECEIVED) {
        setStatus(env, headerAndStatus, status);
        return nullptr;
    }
    jbyteArray body = handOver(env, *message, status, headerAndStatus);
    if (body == nullptr) {
        Channel_addToPipe(channel.get(), pipe, message);  // not lost: queued again behind its equals
        return nullptr;
    }
    Message_free(message);
    return body;
}

// A copy of the first message of the pipe, which stays queued: its body,
// with its header and TRELLUM_RECEIVED in `headerAndStatus`; or null with the
// status (TRELLUM_EMPTY, TRELLUM_DELETED, TRELLUM_INVALID_ARGUMENT). Raises
// OutOfMemoryError only when native memory for the copy truly ran out.
JNIEXPORT jbyteArray JNICALL Java_com_fendrel_vm_channel_NativePipes_peek(
    JNIEnv *env, jclass, jint channelID, jint pipe, jintArray headerAndStatus) {
    PinnedChannel channel(channelID);
    Message copy = nullptr;
    const int32_t status = Channel_checkedPeekCopyFromPipe(channel.get(), pipe, &copy);
    if (status == TRELLUM_OUT_OF_MEMORY) {
        jni_support::throwNew(env, "java/lang/OutOfMemoryError", "no native memory to copy the first message");
        return nullptr;
    }
    if (status != TRELLUM_RECEIVED) {
        setStatus(env, headerAndStatus, status);
        return nullptr;
    }
    jbyteArray body = handOver(env, *copy, status, headerAndStatus);
    Message_free(copy);
    return body;
}

} // extern "C"
