// Native methods of com.fendrel.vm.channel.NativePipes for a Java thread's
// transfer area (TransferAreaLayout.h) and the waiter in it.
#include <jni.h>
#include <stdint.h>
#include <trellum/trellum.h>

#include <atomic>

#include "TransferAreaLayout.h"

namespace {

// Each VM says once, as its NativePipes class loads, whether its
// Thread.interrupt() can race a wait's first look. Both VMs of a process share
// this library, so one VM that races keeps the check on for all: the check
// costs a steady VM one extra look per long wait, its absence costs a racing
// VM a lost interrupt.
std::atomic<int> vmsThatRace(0);
std::atomic<int> vmsThatDoNot(0);

} // namespace

bool trellum_jvm::racyInterrupts() {
    return vmsThatRace.load(std::memory_order_relaxed) > 0 || vmsThatDoNot.load(std::memory_order_relaxed) == 0;
}

extern "C" {

JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_NativePipes_setRacyInterrupts(JNIEnv *, jclass, jboolean racy) {
    (racy == JNI_TRUE ? vmsThatRace : vmsThatDoNot).fetch_add(1, std::memory_order_relaxed);
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
