// Native methods of com.fendrel.vm.channel.NativePipes for a Java thread's
// transfer area (TransferAreaLayout.h) and the waiter in it.
#include <jni.h>
#include <stdint.h>
#include <trellum/trellum.h>

#include <atomic>

#include "TransferAreaLayout.h"

namespace {

// Written once as NativePipes loads, before its class can be used.
std::atomic<bool> racyInterruptsOfVm(true);

} // namespace

bool trellum_jvm::racyInterrupts() { return racyInterruptsOfVm.load(std::memory_order_relaxed); }

extern "C" {

JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_NativePipes_setRacyInterrupts(JNIEnv *, jclass, jboolean racy) {
    racyInterruptsOfVm.store(racy == JNI_TRUE, std::memory_order_relaxed);
}

// The address of a direct buffer (the calling thread's transfer area).
JNIEXPORT jlong JNICALL Java_com_fendrel_vm_channel_NativePipes_addressOf(JNIEnv *env, jclass, jobject buffer) {
    return static_cast<jlong>(reinterpret_cast<intptr_t>(env->GetDirectBufferAddress(buffer)));
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

// Drops what a call's try held for a wait that never ran.
JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_NativePipes_releaseHeld(JNIEnv *, jclass, jlong area) {
    trellum_jvm::TransferArea *held = trellum_jvm::transferAreaAt(area);
    Message_free(trellum_jvm::takeHeldMessage(held));
    ChannelManager_releaseChannel(trellum_jvm::takeHeldChannel(held));
}

} // extern "C"
