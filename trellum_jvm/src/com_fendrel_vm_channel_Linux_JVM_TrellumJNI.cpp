// Native methods of com.fendrel.vm.channel.Linux_JVM.TrellumJNI: Java code's
// way into the process-wide channels of libtrellum.
//
// Every method but deleteChannel finds or creates its channel by ID, so no
// call fails for an ID that was never created, and pins it for the length of
// the call, so that a deleteChannel on another thread cannot free it under
// the call. The binding keeps no channel state and takes no locks of its
// own; its only globals are cached JNI handles, kept per VM (VmHandles.h).
#include <jni.h>
#include <trellum/trellum.h>

#include <jni_support/JniThrow.h>

#include "MessageClass.h"
#include "MessageObjects.h"
#include "PinnedChannel.h"
#include "VmHandles.h"

using trellum_jvm::MessageClass;
using trellum_jvm::PinnedChannel;
using trellum_jvm::whichPipe;

extern "C" {

JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_TrellumJNI_createChannel(
    JNIEnv *env, jclass, jint channelID) {
    // Resolving here as well makes a class path without the message classes
    // fail at the first call instead of at the first received message.
    MessageClass messageClass;
    if (!trellum_jvm::resolveMessageClass(env, &messageClass)) return;
    PinnedChannel channel(channelID);
}

JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_TrellumJNI_deleteChannel(
    JNIEnv *, jclass, jint channelID) {
    ChannelManager_deleteChannel(channelID);
}

JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_TrellumJNI_addMessageToChannel(
    JNIEnv *env, jclass, jint channelID, jint pipeID, jobject messageObject) {
    // Built before the channel is touched: a bad message object changes nothing.
    Message message = trellum_jvm::object2message(env, messageObject);
    if (message == nullptr) return;
    PinnedChannel channel(channelID);
    Channel_addToPipe(channel.get(), whichPipe(pipeID), message);
}

JNIEXPORT jobject JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_TrellumJNI_removeMessageFromChannel(
    JNIEnv *env, jclass, jint channelID, jint pipeID) {
    // Resolved before anything is taken off the pipe, so that a missing class
    // leaves the queue as it was.
    MessageClass messageClass;
    if (!trellum_jvm::resolveMessageClass(env, &messageClass)) return nullptr;
    const int32_t pipe = whichPipe(pipeID);
    PinnedChannel channel(channelID);
    Message message = Channel_removeFromPipe(channel.get(), pipe);
    if (message == nullptr) return nullptr;  // the pipe is shut down or the channel deleted

    jobject result = trellum_jvm::message2object(env, messageClass, *message);
    if (result == nullptr) {
        // No object could be built (the Java heap is exhausted, say). The
        // message goes back to the front of its pipe rather than being lost,
        // even into a bounded pipe refilled meanwhile, and the caller gets
        // the pending exception.
        Channel_returnToPipe(channel.get(), pipe, message);
        return nullptr;
    }
    Message_free(message);
    return result;
}

JNIEXPORT jobject JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_TrellumJNI_peekMessageFromChannel(
    JNIEnv *env, jclass, jint channelID, jint pipeID) {
    MessageClass messageClass;
    if (!trellum_jvm::resolveMessageClass(env, &messageClass)) return nullptr;
    PinnedChannel channel(channelID);
    // A copy taken under the pipe's lock: the queued message itself may be
    // removed and freed by another thread at any moment. Whether the pipe
    // was empty or memory ran out is decided under that lock too.
    Message copy = nullptr;
    switch (Channel_checkedPeekCopyFromPipe(channel.get(), whichPipe(pipeID), &copy)) {
        case TRELLUM_RECEIVED: {
            jobject result = trellum_jvm::message2object(env, messageClass, *copy);
            Message_free(copy);
            return result;
        }
        case TRELLUM_OUT_OF_MEMORY:
            jni_support::throwNew(env, "java/lang/OutOfMemoryError", "no native memory to copy the first message");
            return nullptr;
        default:
            return nullptr;  // empty, or the channel was deleted meanwhile
    }
}

JNIEXPORT jint JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_TrellumJNI_sizeOfChannel(
    JNIEnv *, jclass, jint channelID, jint pipeID) {
    PinnedChannel channel(channelID);
    return Channel_sizeOfPipe(channel.get(), whichPipe(pipeID));
}

JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_TrellumJNI_clearChannel(
    JNIEnv *, jclass, jint channelID, jint pipeID) {
    PinnedChannel channel(channelID);
    Channel_clearPipe(channel.get(), whichPipe(pipeID));
}

JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_TrellumJNI_shutdown(
    JNIEnv *, jclass, jint channelID, jint pipeID) {
    PinnedChannel channel(channelID);
    Channel_shutdown(channel.get(), whichPipe(pipeID));
}

JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_TrellumJNI_startup(
    JNIEnv *, jclass, jint channelID, jint pipeID) {
    PinnedChannel channel(channelID);
    Channel_startup(channel.get(), whichPipe(pipeID));
}

// Runs when the class loader that loaded the library into `vm` is
// collected. Every handle of that VM is forgotten, not only the class
// reference: should the library stay mapped and be loaded again for another
// loader, IDs from the old classes must not be reused. Another VM that
// loaded the library keeps its own.
JNIEXPORT void JNICALL JNI_OnUnload(JavaVM *vm, void *) {
    trellum_jvm::releaseHandlesOf(vm);
}

} // extern "C"
