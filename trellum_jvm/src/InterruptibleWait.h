// A native wait that Thread.interrupt() can end, for the Java API's blocking
// calls.
//
// Java brackets the call with AbstractSelector.begin()/end() of the thread's
// interruptor (Interruptor.java), whose wakeup() cancels the thread's
// PipeWaiter: an interrupt lands in the native wait at once, with no
// periodic wake-up to look for it. Two cases need a look at the thread's
// interrupt status from here:
//  - a cancel without an interrupt behind it: one left over from an
//    interrupt the previous call already reported (on newer JDKs wakeup()
//    can run after end()). The wait goes on.
//  - an interrupt that raced with begin(): on JDK 17 and on Android it can
//    set the status after begin() looked and before it installed the
//    interruptor, and never call wakeup(). Where that can happen, the first
//    wait of a call is bounded, and the status is checked once when it ends.
//    That is one wake-up per call, not a periodic one.
// The whole Java call is one native call: one pin of the channel and one
// shutdown count from the start of the call to its end.
#ifndef TRELLUM_JVM_INTERRUPTIBLE_WAIT_H
#define TRELLUM_JVM_INTERRUPTIBLE_WAIT_H

#include <jni.h>
#include <stdint.h>
#include <trellum/trellum.h>

namespace trellum_jvm {

// A wait of at most `timeoutNanos` (< 0: no limit) through the thread's
// waiter, `continued` after the call's first; returns a TRELLUM_ status.
class WaitStep {
public:
    virtual int32_t wait(int64_t timeoutNanos, bool continued) = 0;

protected:
    ~WaitStep() = default;
};

// Spins for a few microseconds, or until `done()` holds; returns whether it
// held. A handoff between two busy threads then costs no sleep and no
// wake-up: the other side usually acts within that time. Bounded by time,
// so an idle wait pays it once per call and never more.
template <typename Done>
bool spinBriefly(Done done);

// Runs `step` until it returns anything but a timeout before the deadline or
// a cancel without an interrupt. Returns TRELLUM_CANCELLED only when
// `thread` (the calling thread) is interrupted. `racyInterrupts`: the VM
// may lose an interrupt that races with begin(), as described above.
int32_t waitInterruptibly(JNIEnv *env, jobject thread, int64_t timeoutNanos, bool racyInterrupts, WaitStep &step);

void pauseCpu();
int64_t monotonicNanos();

template <typename Done>
bool spinBriefly(Done done) {
    const int64_t kSpinNanos = 3000;
    const int64_t end = monotonicNanos() + kSpinNanos;
    for (;;) {
        for (int i = 0; i < 32; ++i) {
            if (done()) return true;
            pauseCpu();
        }
        if (monotonicNanos() >= end) return done();
    }
}

} // namespace trellum_jvm

#endif
