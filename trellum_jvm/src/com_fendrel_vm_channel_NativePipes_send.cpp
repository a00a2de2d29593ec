// Native methods of com.fendrel.vm.channel.NativePipes that queue messages:
// the path under ChannelPipe's sends. The message comes through the calling
// thread's transfer area (Marshalling.h).
#include <jni.h>
#include <stdint.h>
#include <trellum/trellum.h>

#include "InterruptibleWait.h"
#include "Marshalling.h"
#include "PinnedChannel.h"
#include "TransferAreaLayout.h"

using trellum_jvm::PinnedChannel;
using trellum_jvm::TransferArea;

namespace {

class SendStep : public trellum_jvm::WaitStep {
public:
    SendStep(Channel channel, int32_t pipe, Message message, PipeWaiter *waiter)
        : channel_(channel), pipe_(pipe), message_(message), waiter_(waiter) {}
    int32_t wait(int64_t timeoutNanos, bool continued) override {
        // Before the first wait, a brief spin for room on its way.
        int32_t status = TRELLUM_TIMED_OUT;
        if (!continued && timeoutNanos != 0 &&
            trellum_jvm::spinBriefly([&] {
                status = Channel_timedAddToPipe(channel_, pipe_, message_, 0);
                return status != TRELLUM_TIMED_OUT;
            })) {
            return status;
        }
        return Channel_cancellableAddToPipe(channel_, pipe_, message_, timeoutNanos, waiter_);
    }

private:
    Channel channel_;
    int32_t pipe_;
    Message message_;
    PipeWaiter *waiter_;
};

} // namespace

extern "C" {

// Queues the message in the transfer area, its body in `large` when that is
// not null, if there is room now. Returns a TRELLUM_ status; on any but
// TRELLUM_ADDED nothing was queued. With `keepPin`, a full pipe leaves the
// channel pinned and the message in the area for awaitSend. Raises
// OutOfMemoryError, queuing nothing, when native memory for the message
// cannot be had.
JNIEXPORT jint JNICALL Java_com_fendrel_vm_channel_NativePipes_send(
    JNIEnv *env, jclass, jint channelID, jint pipe, jbyteArray large, jlong area, jboolean keepPin) {
    TransferArea *from = trellum_jvm::transferAreaAt(area);
    Message message = trellum_jvm::messageFromArea(env, *from, large);
    if (message == nullptr) return TRELLUM_OUT_OF_MEMORY;  // an exception is pending
    PinnedChannel channel(channelID);
    const int32_t status = Channel_timedAddToPipe(channel.get(), pipe, message, 0);
    if (status == TRELLUM_TIMED_OUT && keepPin == JNI_TRUE) {
        trellum_jvm::holdForWait(from, channel.release(), message);
    } else if (status != TRELLUM_ADDED) {
        Message_free(message);  // still ours
    }
    return status;
}

// Goes on with the send that send(..., keepPin) began, on the channel it
// pinned, waiting at most `timeoutNanos` (negative: without limit) for room
// in a wait that Thread.interrupt() can end (InterruptibleWait.h). The
// area's status is a TRELLUM_ status as send returns; releases the pin.
JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_NativePipes_awaitSend(
    JNIEnv *env, jclass, jint pipe, jlong timeoutNanos, jlong area, jobject thread) {
    TransferArea *from = trellum_jvm::transferAreaAt(area);
    Message message = trellum_jvm::takeHeldMessage(from);
    PinnedChannel channel = PinnedChannel::adopt(trellum_jvm::takeHeldChannel(from));
    SendStep step(channel.get(), pipe, message, &from->waiter);
    const int32_t status =
        trellum_jvm::waitInterruptibly(env, thread, timeoutNanos, trellum_jvm::racyInterrupts(), step);
    if (status != TRELLUM_ADDED) Message_free(message);  // still ours
    from->status = status;
}

} // extern "C"
