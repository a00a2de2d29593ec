#include "ThreadAttachment.h"

#include <pthread.h>

namespace cassowin {
namespace {

pthread_once_t gDetachKeyOnce = PTHREAD_ONCE_INIT;
pthread_key_t gDetachKey;
bool gDetachKeyCreated = false;  // written inside the once routine only

// The value under the key is the Dalvik environment the relay made for the
// ending thread. The VM is taken from that environment rather than from the
// relay's globals, so the thread leaves exactly the VM that attached it.
void detachOnThreadExit(void *value) {
    if (value == nullptr) return;
    JNIEnv *env = static_cast<JNIEnv *>(value);
    JavaVM *vm = nullptr;
    if (env->GetJavaVM(&vm) == JNI_OK && vm != nullptr) vm->DetachCurrentThread();
    pthread_setspecific(gDetachKey, nullptr);
}

// Never deleted: a thread still attached must be detached by the destructor
// whenever it ends, so the library is linked to stay loaded (STAYS_LOADED in
// cmake/NativeLibrary.cmake) rather than take the key away at unload.
void createDetachKey() {
    gDetachKeyCreated = pthread_key_create(&gDetachKey, detachOnThreadExit) == 0;
}

// OpenJDK's jni.h types AttachCurrentThread's environment argument as void**,
// Android's as JNIEnv**. Overloading on the function pointer's type lets the
// same call compile against either header.
inline jint attachThrough(jint (JNICALL *attach)(JavaVM *, JNIEnv **, void *), JavaVM *vm,
                          JNIEnv **env) {
    return attach(vm, env, nullptr);
}
inline jint attachThrough(jint (JNICALL *attach)(JavaVM *, void **, void *), JavaVM *vm,
                          JNIEnv **env) {
    void *raw = nullptr;
    jint result = attach(vm, &raw, nullptr);
    *env = static_cast<JNIEnv *>(raw);
    return result;
}

} // namespace

bool ensureDetachKey() {
    pthread_once(&gDetachKeyOnce, createDetachKey);
    return gDetachKeyCreated;
}

DalvikThreadScope::DalvikThreadScope(JavaVM *dalvikVM)
    : vm_(dalvikVM), env_(nullptr), detachAtScopeEnd_(false) {
    void *env = nullptr;
    jint state = vm_->GetEnv(&env, JNI_VERSION_1_4);
    if (state == JNI_OK) {
        env_ = static_cast<JNIEnv *>(env);
        return;
    }
    if (state != JNI_EDETACHED) return;  // e.g. JNI_EVERSION: nothing we can use
    JNIEnv *attached = nullptr;
    if (attachThrough(vm_->functions->AttachCurrentThread, vm_, &attached) != JNI_OK ||
        attached == nullptr) {
        return;
    }
    env_ = attached;
    detachAtScopeEnd_ = pthread_setspecific(gDetachKey, attached) != 0;
}

DalvikThreadScope::~DalvikThreadScope() {
    if (detachAtScopeEnd_) vm_->DetachCurrentThread();
}

} // namespace cassowin
