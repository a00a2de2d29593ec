#include "VmHandles.h"

#include <pthread.h>

#include <jni_support/JniThrow.h>

namespace trellum_jvm {
namespace {

struct VmSlot {
    JavaVM *vm = nullptr;  // null: free. Read without the lock, so atomically.
    VmHandles handles;
};

// Constant-initialized: no static constructor runs before a VM's first call.
VmSlot gSlots[kMaxVms];

// Serializes taking and freeing slots, so that racing threads of a new VM
// never take two; finding one's own slot needs no lock.
pthread_mutex_t gSlotsMutex = PTHREAD_MUTEX_INITIALIZER;

class SlotsLock {
public:
    SlotsLock() { pthread_mutex_lock(&gSlotsMutex); }
    ~SlotsLock() { pthread_mutex_unlock(&gSlotsMutex); }
    SlotsLock(const SlotsLock &) = delete;
    SlotsLock &operator=(const SlotsLock &) = delete;
};

// With one VM in the process its slot is the first, found at the first look.
VmSlot *findSlot(JavaVM *vm) {
    for (VmSlot &slot : gSlots) {
        if (__atomic_load_n(&slot.vm, __ATOMIC_ACQUIRE) == vm) return &slot;
    }
    return nullptr;
}

VmSlot *takeFreeSlot(JavaVM *vm) {
    SlotsLock lock;
    // Another thread of this VM may have taken one since we looked.
    if (VmSlot *own = findSlot(vm)) return own;
    for (VmSlot &slot : gSlots) {
        if (slot.vm == nullptr) {
            // Its handles were emptied when it was freed: the new VM resolves
            // its own from scratch.
            __atomic_store_n(&slot.vm, vm, __ATOMIC_RELEASE);
            return &slot;
        }
    }
    return nullptr;
}

JavaVM *vmOf(JNIEnv *env) {
    JavaVM *vm = nullptr;
    if (env->GetJavaVM(&vm) != JNI_OK) return nullptr;
    return vm;
}

// Null when the VM is unknown or no slot is free; `*why` then says which.
VmSlot *slotOf(JNIEnv *env, const char **why) {
    JavaVM *vm = vmOf(env);
    if (vm == nullptr) {
        *why = "the calling thread's Java VM cannot be identified (GetJavaVM failed)";
        return nullptr;
    }
    VmSlot *slot = findSlot(vm);
    if (slot == nullptr) slot = takeFreeSlot(vm);
    static_assert(kMaxVms == 2, "the message names the limit");
    if (slot == nullptr) *why = "libtrellum_jvm serves at most 2 Java VMs in one process, and 2 others use it";
    return slot;
}

} // namespace

VmHandles *handlesOf(JNIEnv *env) {
    const char *why = nullptr;
    VmSlot *slot = slotOf(env, &why);
    if (slot == nullptr) {
        jni_support::throwNew(env, "java/lang/IllegalStateException", why);
        return nullptr;
    }
    return &slot->handles;
}

VmHandles *handlesIfServed(JNIEnv *env) {
    const char *why = nullptr;
    VmSlot *slot = slotOf(env, &why);
    return slot != nullptr ? &slot->handles : nullptr;
}

void releaseHandlesOf(JavaVM *vm) {
    if (vm == nullptr) return;
    SlotsLock lock;
    VmSlot *slot = findSlot(vm);
    if (slot == nullptr) return;
    // No thread of this VM runs a native method of the library any more (the
    // loader that loaded it is gone), so nothing resolves into the slot while
    // it is emptied.
    VmHandles &h = slot->handles;
    h.messageConstructor.take();
    h.messageHeader.take();
    h.messageBody.take();
    for (CachedHandle<jfieldID> &id : h.headerInts) id.take();
    h.bodyData.take();
    h.threadIsInterrupted.take();
    jclass clazz = h.messageClass.take();
    JNIEnv *env = nullptr;
    // Without an environment the reference cannot be deleted; it goes with
    // the dying VM rather than through another VM's environment.
    if (clazz != nullptr && vm->GetEnv(reinterpret_cast<void **>(&env), JNI_VERSION_1_6) == JNI_OK) {
        env->DeleteGlobalRef(clazz);
    }
    __atomic_store_n(&slot->vm, nullptr, __ATOMIC_RELEASE);
}

} // namespace trellum_jvm
