// The JNI handles the binding caches, kept apart for each Java VM of the
// process. A handle means something only in the VM that resolved it, and a
// process may run two VMs side by side that both load this library.
#ifndef TRELLUM_JVM_VM_HANDLES_H
#define TRELLUM_JVM_VM_HANDLES_H

#include <jni.h>

#include "CachedHandle.h"

namespace trellum_jvm {

// How many VMs the binding serves at once. A process holds at most two that
// can load it (a JVM and a Dalvik VM); a fixed table keeps the lookup on
// every call free of locks and allocations.
const int kMaxVms = 2;

// Each handle is resolved on first need by whichever of the VM's threads
// needs it (CachedHandle.h) and kept until the VM unloads the library.
struct VmHandles {
    CachedHandle<jclass> messageClass;  // a global reference
    CachedHandle<jmethodID> messageConstructor;
    CachedHandle<jfieldID> messageHeader;
    CachedHandle<jfieldID> messageBody;
    CachedHandle<jfieldID> headerInts[5];  // in Message_new's order
    CachedHandle<jfieldID> bodyData;
    CachedHandle<jmethodID> threadIsInterrupted;
};

// The handles of the VM the calling thread's `env` belongs to. A VM seen for
// the first time takes a free set; racing threads of a new VM end up with
// the same one. Returns null: IllegalStateException is pending, since
// kMaxVms other VMs hold every set.
VmHandles *handlesOf(JNIEnv *env);

// As handlesOf, but returns null with nothing pending where handlesOf would
// throw: for callers that can do without a cache.
VmHandles *handlesIfServed(JNIEnv *env);

// Deletes the VM's global references (through an environment of the calling
// thread, when it has one in that VM) and frees its set for another VM.
// Other VMs' handles are untouched. For JNI_OnUnload.
void releaseHandlesOf(JavaVM *vm);

} // namespace trellum_jvm

#endif
