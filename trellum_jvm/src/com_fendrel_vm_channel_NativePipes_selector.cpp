// Native methods of com.fendrel.vm.channel.NativePipes behind PipeSelector:
// a libtrellum selector per Java selector, addressed by its pointer as a long.
#include <jni.h>
#include <stdint.h>
#include <trellum/trellum.h>

#include "InterruptibleWait.h"
#include "PinnedChannel.h"
#include "TransferAreaLayout.h"

using trellum_jvm::PinnedChannel;

namespace {

// Tokens reported per crossing; more ready pipes are reported by the next wait.
const jsize kMaxTokens = 256;

PipeSelector selectorAt(jlong address) { return reinterpret_cast<PipeSelector>(static_cast<intptr_t>(address)); }

class SelectStep : public trellum_jvm::WaitStep {
public:
    SelectStep(PipeSelector selector, PipeWaiter *waiter) : selector_(selector), waiter_(waiter) {}
    int32_t wait(int64_t timeoutNanos, bool) override {
        return PipeSelector_wait(selector_, timeoutNanos, waiter_, tokens, kMaxTokens, &count);
    }
    int64_t tokens[kMaxTokens];
    int32_t count = 0;

private:
    PipeSelector selector_;
    PipeWaiter *waiter_;
};

} // namespace

extern "C" {

// A new selector, or 0 when native memory ran out.
JNIEXPORT jlong JNICALL Java_com_fendrel_vm_channel_NativePipes_selectorNew(JNIEnv *, jclass) {
    return static_cast<jlong>(reinterpret_cast<intptr_t>(PipeSelector_new()));
}

JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_NativePipes_selectorFree(JNIEnv *, jclass, jlong selector) {
    PipeSelector_free(selectorAt(selector));
}

// Registers the pipe under `token`; the key pins the channel, which a
// delete then leaves registered and ready. Returns the key, or 0 when
// native memory ran out.
JNIEXPORT jlong JNICALL Java_com_fendrel_vm_channel_NativePipes_selectorAdd(
    JNIEnv *, jclass, jlong selector, jint channelID, jint pipe, jlong token) {
    PinnedChannel channel(channelID);
    return static_cast<jlong>(reinterpret_cast<intptr_t>(PipeSelector_add(selectorAt(selector), channel.get(), pipe, token)));
}

JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_NativePipes_selectorRemove(JNIEnv *, jclass, jlong key) {
    PipeSelector_remove(reinterpret_cast<PipeSelectorKey>(static_cast<intptr_t>(key)));
}

// Whether the channel of the key's pipe was deleted.
JNIEXPORT jboolean JNICALL Java_com_fendrel_vm_channel_NativePipes_selectorKeyDeleted(JNIEnv *, jclass, jlong key) {
    return PipeSelector_keyDeleted(reinterpret_cast<PipeSelectorKey>(static_cast<intptr_t>(key))) ? JNI_TRUE : JNI_FALSE;
}

// Waits as PipeSelector_wait does, interruptibly (InterruptibleWait.h), and
// copies the tokens of ready pipes into `tokens`. Returns their number, or
// minus the status (TRELLUM_TIMED_OUT, TRELLUM_WOKEN, TRELLUM_CANCELLED).
JNIEXPORT jint JNICALL Java_com_fendrel_vm_channel_NativePipes_selectorWait(
    JNIEnv *env, jclass, jlong selector, jlong timeoutNanos, jlong area, jlongArray tokens, jobject thread) {
    SelectStep step(selectorAt(selector), area != 0 ? trellum_jvm::waiterAt(area) : nullptr);
    const int32_t status = timeoutNanos == 0
                               ? step.wait(0, false)
                               : trellum_jvm::waitInterruptibly(env, thread, timeoutNanos,
                                                                trellum_jvm::racyInterrupts(), step);
    if (status != TRELLUM_RECEIVED) return -status;
    jsize count = step.count;
    const jsize room = env->GetArrayLength(tokens);
    if (count > room) count = room;
    env->SetLongArrayRegion(tokens, 0, count, reinterpret_cast<const jlong *>(step.tokens));
    return count;
}

JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_NativePipes_selectorWakeup(JNIEnv *, jclass, jlong selector) {
    PipeSelector_wakeup(selectorAt(selector));
}

} // extern "C"
