// Raising Java exceptions from native code.
#ifndef JNI_SUPPORT_JNI_THROW_H
#define JNI_SUPPORT_JNI_THROW_H

#include <jni.h>

namespace jni_support {

// Raises a new exception of `className` with `message`, replacing any
// exception already pending (ThrowNew must not run while one is). Returns
// false: an exception is pending afterwards, whatever happened.
inline bool throwNew(JNIEnv *env, const char *className, const char *message) {
    if (env->ExceptionCheck()) env->ExceptionClear();
    jclass type = env->FindClass(className);
    if (type == nullptr) return false;  // FindClass left its own exception pending
    env->ThrowNew(type, message);
    env->DeleteLocalRef(type);
    return false;
}

} // namespace jni_support

#endif
