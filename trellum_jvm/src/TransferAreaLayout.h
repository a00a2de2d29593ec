// A Java thread's transfer area (TransferArea.java): native memory, in a
// direct buffer, through which messages cross without the native side
// calling back into the VM, and which holds the thread's PipeWaiter.
#ifndef TRELLUM_JVM_TRANSFER_AREA_LAYOUT_H
#define TRELLUM_JVM_TRANSFER_AREA_LAYOUT_H

#include <jni.h>
#include <stddef.h>
#include <stdint.h>
#include <trellum/trellum.h>

namespace trellum_jvm {

// Body bytes that fit in an area (TransferArea.CAPACITY).
const int32_t kAreaBodyBytes = 4096;

// A status, the five header integers in Message_new's order, the body
// length, the thread's waiter, what a call's try holds for its wait, then
// the body when it fits.
struct TransferArea {
    int32_t status;
    int32_t header[5];
    int32_t length;
    int32_t unused;
    PipeWaiter waiter;    // 8-aligned: the area is
    int64_t heldChannel;  // a pinned Channel, or 0
    int64_t heldMessage;  // a send's Message, or 0
    uint8_t body[1];      // kAreaBodyBytes in truth
};
static_assert(offsetof(TransferArea, header) == 4 && offsetof(TransferArea, length) == 24 &&
                  offsetof(TransferArea, waiter) == 32 && offsetof(TransferArea, heldChannel) == 80 &&
                  offsetof(TransferArea, heldMessage) == 88 && offsetof(TransferArea, body) == 96,
              "layout shared with TransferArea.java");

inline TransferArea *transferAreaAt(jlong address) {
    return reinterpret_cast<TransferArea *>(static_cast<intptr_t>(address));
}

inline PipeWaiter *waiterAt(jlong area) { return &transferAreaAt(area)->waiter; }

// A call that tries before it waits leaves the pin of the channel it looked
// at (and a send its message) here for its wait: a delete or a shutdown
// between the two is then seen, where a second lookup would find the
// channel made anew. The wait takes them back; so does releaseHeld when the
// wait never ran.
inline void holdForWait(TransferArea *area, Channel channel, Message message) {
    area->heldChannel = static_cast<int64_t>(reinterpret_cast<intptr_t>(channel));
    area->heldMessage = static_cast<int64_t>(reinterpret_cast<intptr_t>(message));
}

inline Channel takeHeldChannel(TransferArea *area) {
    Channel channel = reinterpret_cast<Channel>(static_cast<intptr_t>(area->heldChannel));
    area->heldChannel = 0;
    return channel;
}

inline Message takeHeldMessage(TransferArea *area) {
    Message message = reinterpret_cast<Message>(static_cast<intptr_t>(area->heldMessage));
    area->heldMessage = 0;
    return message;
}

// Whether the VM can lose an interrupt that races with the interruptor's
// begin() (InterruptibleWait.h); NativePipes sets it once, as it loads.
bool racyInterrupts();

} // namespace trellum_jvm

#endif
