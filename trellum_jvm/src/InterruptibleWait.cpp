#include "InterruptibleWait.h"

#include <stdint.h>
#include <time.h>

#include "VmHandles.h"

namespace trellum_jvm {
namespace {

// Long enough for Thread.interrupt() to finish setting the status it began
// setting before begin() looked; short enough to be noticed at most once.
const int64_t kFirstWaitNanos = 10 * 1000 * 1000;

// Resolved on java.lang.Thread itself, not on the class of the thread at
// hand: an ID found on a subclass that overrides isInterrupted() would be
// that override, and calling it on any other thread is undefined.
// Returns null with nothing pending when it cannot be had.
jmethodID resolveIsInterrupted(JNIEnv *env) {
    jclass threadClass = env->FindClass("java/lang/Thread");
    if (threadClass == nullptr) {
        env->ExceptionClear();
        return nullptr;
    }
    jmethodID method = env->GetMethodID(threadClass, "isInterrupted", "()Z");
    env->DeleteLocalRef(threadClass);
    if (method == nullptr) env->ExceptionClear();
    return method;
}

// The status only ends a wait, so a VM the binding does not serve (whose
// ID cannot be cached) still waits interruptibly: it resolves the method on
// each look, which is at most once per wake-up.
bool isInterrupted(JNIEnv *env, jobject thread) {
    VmHandles *handles = handlesIfServed(env);
    jmethodID method = handles != nullptr ? handles->threadIsInterrupted.get() : nullptr;
    if (method == nullptr) {
        method = resolveIsInterrupted(env);
        if (method == nullptr) return false;
        if (handles != nullptr) handles->threadIsInterrupted.set(method);  // java.lang.Thread is never unloaded
    }
    const bool interrupted = env->CallBooleanMethod(thread, method) == JNI_TRUE;
    if (env->ExceptionCheck()) {
        env->ExceptionClear();
        return false;
    }
    return interrupted;
}

} // namespace

int64_t monotonicNanos() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void pauseCpu() {
#if defined(__i386__) || defined(__x86_64__)
    __builtin_ia32_pause();
#endif
}

int32_t waitInterruptibly(JNIEnv *env, jobject thread, int64_t timeoutNanos, bool racyInterrupts, WaitStep &step) {
    const bool unbounded = timeoutNanos < 0;
    const int64_t deadline = unbounded ? 0 : monotonicNanos() + timeoutNanos;
    bool checkAfterFirstWait = racyInterrupts && (unbounded || timeoutNanos > kFirstWaitNanos);
    bool continued = false;
    for (;;) {
        int64_t remaining = -1;
        if (!unbounded) {
            remaining = deadline - monotonicNanos();
            if (remaining < 0) remaining = 0;
        }
        int64_t slice = remaining;
        if (checkAfterFirstWait && (unbounded || remaining > kFirstWaitNanos)) slice = kFirstWaitNanos;
        const int32_t status = step.wait(slice, continued);
        continued = true;
        if (status == TRELLUM_CANCELLED) {
            if (isInterrupted(env, thread)) return status;
            continue;  // a cancel left over from an interrupt already reported
        }
        if (status != TRELLUM_TIMED_OUT) return status;
        if (checkAfterFirstWait) {
            checkAfterFirstWait = false;
            if (isInterrupted(env, thread)) return TRELLUM_CANCELLED;
        }
        if (!unbounded && deadline - monotonicNanos() <= 0) return status;
    }
}

} // namespace trellum_jvm
