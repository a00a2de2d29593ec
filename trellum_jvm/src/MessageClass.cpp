#include "MessageClass.h"

#include <jni_support/JniThrow.h>
#include <jni_support/ScopedLocalRef.h>

#include "VmHandles.h"

using jni_support::ScopedLocalRef;
using trellum_jvm::VmHandles;

namespace {

const char kMessageClassName[] = "com/fendrel/vm/channel/impl/VMMessageImpl";
const char kConstructorSignature[] = "(IIIII[B)V";

// The class in use after this call, or null: an exception is pending.
jclass resolveClass(JNIEnv *env, VmHandles &handles) {
    jclass cached = handles.messageClass.get();
    if (cached != nullptr) return cached;

    ScopedLocalRef<jclass> found(env, env->FindClass(kMessageClassName));
    if (!found) return nullptr;  // NoClassDefFoundError or similar is pending
    jclass global = static_cast<jclass>(env->NewGlobalRef(found.get()));
    if (global == nullptr) {
        jni_support::throwNew(env, "java/lang/OutOfMemoryError", "no room for a JNI global reference");
        return nullptr;
    }
    // Another thread may have stored its own reference meanwhile; keep the
    // first one stored and let go of ours, so exactly one stays alive.
    jclass inUse = handles.messageClass.setIfNull(global);
    if (inUse != global) env->DeleteGlobalRef(global);
    return inUse;
}

} // namespace

namespace trellum_jvm {

bool resolveMessageClass(JNIEnv *env, MessageClass *out) {
    VmHandles *handles = handlesOf(env);
    if (handles == nullptr) return false;
    jclass clazz = resolveClass(env, *handles);
    if (clazz == nullptr) return false;
    jmethodID constructor = handles->messageConstructor.get();
    if (constructor == nullptr) {
        constructor = env->GetMethodID(clazz, "<init>", kConstructorSignature);
        if (constructor == nullptr) return false;  // NoSuchMethodError is pending
        handles->messageConstructor.set(constructor);
    }
    out->clazz = clazz;
    out->constructor = constructor;
    return true;
}

} // namespace trellum_jvm
