// The Java class that messages leave the binding as, VMMessageImpl, and its
// constructor (IIIII[B)V: type, priority, channelID, messageID, attributes,
// body bytes.
#ifndef TRELLUM_JVM_MESSAGE_CLASS_H
#define TRELLUM_JVM_MESSAGE_CLASS_H

#include <jni.h>

namespace trellum_jvm {

struct MessageClass {
    jclass clazz;         // a global reference owned by the cache, not by the caller
    jmethodID constructor;
};

// Resolves the class and its constructor the first time a thread of the
// caller's VM needs them and keeps them until that VM unloads the library
// (VmHandles.h). Threads racing through the first resolution end up sharing
// one global reference. The class is looked up through the caller's class
// loader, which for a native method of TrellumJNI is the loader of TrellumJNI.
// Returns false: an exception is pending and `out` is untouched
// (IllegalStateException for a VM beyond those the binding serves).
bool resolveMessageClass(JNIEnv *env, MessageClass *out);

} // namespace trellum_jvm

#endif
