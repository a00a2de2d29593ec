// Native methods of com.fendrel.vm.channel.Linux_JVM.TrellumJNI: Java code's
// way into the process-wide channels of libtrellum.
//
// Every method but deleteChannel finds or creates its channel by ID, so no
// call fails for an ID that was never created. The binding keeps no channel
// state and takes no locks of its own; its only globals are cached JNI
// handles (MessageClass.cpp, MessageObjects.cpp).
#include <jni.h>
#include <trellum/trellum.h>

#include <jni_support/JniThrow.h>

#include "MessageClass.h"
#include "MessageObjects.h"

using trellum_jvm::MessageClass;

namespace {

// Pipe ID 17 addresses pipe 0 of a channel; every other ID addresses pipe 1.
const jint kPipeIDOfPipe0 = 17;

int32_t whichPipe(jint pipeID) { return pipeID == kPipeIDOfPipe0 ? 0 : 1; }

// A peek copy fails only when native memory is exhausted or the pipe was
// empty. An empty pipe reads as size 0; a pipe that looks non-empty after a
// failed copy may just have been filled by another thread since, so the copy
// is retried a few times before running out of memory is reported.
const int kPeekAttempts = 3;

} // namespace

extern "C" {

JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_TrellumJNI_createChannel(
    JNIEnv *env, jclass, jint channelID) {
    // Resolving here as well makes a class path without the message classes
    // fail at the first call instead of at the first received message.
    MessageClass messageClass;
    if (!trellum_jvm::resolveMessageClass(env, &messageClass)) return;
    ChannelManager_createOrGetChannel(channelID);
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
    Channel_addToPipe(ChannelManager_createOrGetChannel(channelID), whichPipe(pipeID), message);
}

JNIEXPORT jobject JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_TrellumJNI_removeMessageFromChannel(
    JNIEnv *env, jclass, jint channelID, jint pipeID) {
    // Resolved before anything is taken off the pipe, so that a missing class
    // leaves the queue as it was.
    MessageClass messageClass;
    if (!trellum_jvm::resolveMessageClass(env, &messageClass)) return nullptr;
    const int32_t pipe = whichPipe(pipeID);
    Channel channel = ChannelManager_createOrGetChannel(channelID);
    Message message = Channel_removeFromPipe(channel, pipe);
    if (message == nullptr) return nullptr;  // the pipe is shut down

    jobject result = trellum_jvm::message2object(env, messageClass, *message);
    if (result == nullptr) {
        // No object could be built (the Java heap is exhausted, say). The
        // message goes back into its pipe rather than being lost; it queues
        // behind any messages of equal priority, and the caller gets the
        // pending exception.
        Channel_addToPipe(channel, pipe, message);
        return nullptr;
    }
    Message_free(message);
    return result;
}

JNIEXPORT jobject JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_TrellumJNI_peekMessageFromChannel(
    JNIEnv *env, jclass, jint channelID, jint pipeID) {
    MessageClass messageClass;
    if (!trellum_jvm::resolveMessageClass(env, &messageClass)) return nullptr;
    const int32_t pipe = whichPipe(pipeID);
    Channel channel = ChannelManager_createOrGetChannel(channelID);
    // A copy taken under the pipe's lock: the queued message itself may be
    // removed and freed by another thread at any moment.
    for (int attempt = 0; attempt < kPeekAttempts; ++attempt) {
        Message copy = Channel_peekCopyFromPipe(channel, pipe);
        if (copy != nullptr) {
            jobject result = trellum_jvm::message2object(env, messageClass, *copy);
            Message_free(copy);
            return result;
        }
        if (Channel_sizeOfPipe(channel, pipe) == 0) return nullptr;
    }
    jni_support::throwNew(env, "java/lang/OutOfMemoryError", "no native memory to copy the first message");
    return nullptr;
}

JNIEXPORT jint JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_TrellumJNI_sizeOfChannel(
    JNIEnv *, jclass, jint channelID, jint pipeID) {
    return Channel_sizeOfPipe(ChannelManager_createOrGetChannel(channelID), whichPipe(pipeID));
}

JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_TrellumJNI_clearChannel(
    JNIEnv *, jclass, jint channelID, jint pipeID) {
    Channel_clearPipe(ChannelManager_createOrGetChannel(channelID), whichPipe(pipeID));
}

JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_TrellumJNI_shutdown(
    JNIEnv *, jclass, jint channelID, jint pipeID) {
    Channel_shutdown(ChannelManager_createOrGetChannel(channelID), whichPipe(pipeID));
}

JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_TrellumJNI_startup(
    JNIEnv *, jclass, jint channelID, jint pipeID) {
    Channel_startup(ChannelManager_createOrGetChannel(channelID), whichPipe(pipeID));
}

// Runs when the class loader that loaded the library is collected. Every
// cached handle is forgotten, not only the class reference: should the
// library stay mapped and be loaded again for another loader, IDs from the
// old classes must not be reused.
JNIEXPORT void JNICALL JNI_OnUnload(JavaVM *vm, void *) {
    trellum_jvm::forgetMessageFieldIDs();
    JNIEnv *env = nullptr;
    if (vm->GetEnv(reinterpret_cast<void **>(&env), JNI_VERSION_1_6) != JNI_OK) return;
    trellum_jvm::releaseMessageClass(env);
}

} // extern "C"
