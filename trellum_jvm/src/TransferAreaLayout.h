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

// A status, the five header integers in Message_new's order, the body
// length, the thread's waiter, then the body when it fits.
struct TransferArea {
    int32_t status;
    int32_t header[5];
    int32_t length;
    int32_t unused;
    PipeWaiter waiter;  // 8-aligned: the area is
    uint8_t body[1];    // `capacity` bytes in truth
};
static_assert(offsetof(TransferArea, header) == 4 && offsetof(TransferArea, length) == 24 &&
                  offsetof(TransferArea, waiter) == 32 && offsetof(TransferArea, body) == 80,
              "layout shared with TransferArea.java");

inline TransferArea *transferAreaAt(jlong address) {
    return reinterpret_cast<TransferArea *>(static_cast<intptr_t>(address));
}

inline PipeWaiter *waiterAt(jlong area) { return &transferAreaAt(area)->waiter; }

} // namespace trellum_jvm

#endif
