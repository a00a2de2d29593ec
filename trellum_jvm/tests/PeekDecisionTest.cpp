// peekMessageFromChannel tells an empty pipe from exhausted memory by the
// library's own answer, given under the pipe's lock, and never by reading
// the size afterwards. The earlier fault: on a pipe that was empty at the
// copy and refilled just after (an ordinary interleaving on a busy pipe), a
// size above 0 was taken for exhausted memory and OutOfMemoryError raised.
//
// This program is linked with Channel_sizeOfPipe wrapped to report a pipe
// that always looks refilled, which makes that interleaving certain instead
// of rare.
#include <gtest/gtest.h>
#include <jni.h>
#include <trellum/trellum.h>

#include "FakeJni.h"

extern "C" {
JNIEXPORT void JNICALL JNI_OnUnload(JavaVM *vm, void *reserved);
JNIEXPORT jobject JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_TrellumJNI_peekMessageFromChannel(
    JNIEnv *env, jclass, jint channelID, jint pipeID);

// Every size read says another thread has just added a message.
int32_t __wrap_Channel_sizeOfPipe(Channel, int32_t) { return 1; }
}

TEST(PeekDecision, AnEmptyPipeGivesNullEvenIfItLooksRefilledRightAfter) {
    FakeJni jni;
    for (int pipeID : {17, 0}) {
        jobject peeked = Java_com_fendrel_vm_channel_Linux_1JVM_TrellumJNI_peekMessageFromChannel(
            jni.env(), nullptr, 31337, pipeID);
        EXPECT_EQ(peeked, nullptr);
        EXPECT_FALSE(jni.exceptionPending()) << "an empty pipe was reported as exhausted memory";
        EXPECT_EQ(jni.exceptionsThrown.load(), 0);
        jni.clearException();
    }
    JNI_OnUnload(jni.vm(), nullptr);
    ChannelManager_deleteChannel(31337);
}
