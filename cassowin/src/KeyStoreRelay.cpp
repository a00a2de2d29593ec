// The relay between the key store in the JVM and the keychain scan in the
// Dalvik VM. Both VMs load this one library into the process, so the
// globals below are shared: each VM's _init fills its half, and a scan
// started in the JVM runs the Dalvik side's scanKeychain on the same thread,
// which reports each entry back through _createTrustedCertEntry.
//
// The globals are written by the _init methods and read by scans. They are
// atomics so that a scan on another thread sees each value whole; the
// calling order (both _init methods before the first scan) is the callers'
// to keep.
#include <atomic>

#include <jni.h>

#include <jni_support/JniThrow.h>
#include <jni_support/ScopedLocalRef.h>

#include "ArrayCopy.h"
#include "PendingException.h"
#include "ThreadAttachment.h"

using jni_support::ScopedLocalRef;

namespace {

const char kKeyStoreClassName[] = "com/fendrel/security/AndroidKeyStore";
const char kKeyStoreDalvikClassName[] = "com/fendrel/security/AndroidKeyStoreDalvik";
// JNI_VERSION_1_8, the JVM's version, which Android's jni.h does not define.
const jint kJvmJniVersion = 0x00010008;

// Set by AndroidKeyStore._init.
std::atomic<JavaVM *> gJVM{nullptr};
std::atomic<jobject> gKeyStoreObject{nullptr};  // global reference
std::atomic<jmethodID> gCreateTrustedCertEntryID{nullptr};

// Set by AndroidKeyStoreDalvik._init.
std::atomic<JavaVM *> gDalvikVM{nullptr};
// A global reference: on a thread the relay attached, the Dalvik VM's
// FindClass searches only the boot class path, so the scan falls back on
// the class that _init found from inside the app.
std::atomic<jclass> gKeyStoreDalvikClass{nullptr};
std::atomic<jmethodID> gScanKeychainID{nullptr};

// A global reference to `object` for a slot that may already hold one. The
// reference already there is kept if it names the same object in the same
// VM, so that calling _init again does not pin another reference. A
// replaced reference is never deleted: a scan on another thread may be
// using it. Null, with OutOfMemoryError pending, if no reference could be
// made.
template <typename T>
T globalRefFor(JNIEnv *env, JavaVM *vm, JavaVM *slotVM, T slotRef, T object) {
    if (slotVM == vm && slotRef != nullptr && env->IsSameObject(slotRef, object)) return slotRef;
    return static_cast<T>(env->NewGlobalRef(object));
}

} // namespace

extern "C" {

JNIEXPORT void JNICALL Java_com_fendrel_security_AndroidKeyStore__1init(JNIEnv *env,
                                                                        jobject keyStore) {
    JavaVM *jvm = nullptr;
    if (env->GetJavaVM(&jvm) != JNI_OK || jvm == nullptr) return;
    ScopedLocalRef<jclass> keyStoreClass(env, env->FindClass(kKeyStoreClassName));
    if (!keyStoreClass) return;  // NoClassDefFoundError pending for the caller
    jmethodID createID =
        env->GetMethodID(keyStoreClass.get(), "createTrustedCertEntry", "([CJ[B)V");
    if (createID == nullptr) return;  // NoSuchMethodError pending
    if (!cassowin::ensureDetachKey()) {
        // Without the key a thread attached to the Dalvik VM would end
        // attached, which the VM does not survive: refuse to be set up.
        jni_support::throwNew(env, "java/lang/RuntimeException",
                              "no thread-specific-data key left for the key store relay");
        return;
    }
    jobject target = globalRefFor(env, jvm, gJVM.load(), gKeyStoreObject.load(), keyStore);
    if (target == nullptr) return;
    gCreateTrustedCertEntryID.store(createID);
    gKeyStoreObject.store(target);
    gJVM.store(jvm);
}

JNIEXPORT void JNICALL Java_com_fendrel_security_AndroidKeyStoreDalvik__1init(JNIEnv *env,
                                                                              jobject) {
    JavaVM *dalvikVM = nullptr;
    if (env->GetJavaVM(&dalvikVM) != JNI_OK || dalvikVM == nullptr) return;
    ScopedLocalRef<jclass> dalvikClass(env, env->FindClass(kKeyStoreDalvikClassName));
    if (!dalvikClass) return;
    jmethodID scanID = env->GetStaticMethodID(dalvikClass.get(), "scanKeychain", "([C)V");
    if (scanID == nullptr) return;
    jclass kept = globalRefFor(env, dalvikVM, gDalvikVM.load(), gKeyStoreDalvikClass.load(),
                               dalvikClass.get());
    if (kept == nullptr) return;
    gScanKeychainID.store(scanID);
    gKeyStoreDalvikClass.store(kept);
    gDalvikVM.store(dalvikVM);
}

JNIEXPORT void JNICALL Java_com_fendrel_security_AndroidKeyStore__1scanKeychain(
    JNIEnv *env, jobject, jcharArray chars) {
    JavaVM *dalvikVM = gDalvikVM.load();
    jclass fallbackClass = gKeyStoreDalvikClass.load();
    jmethodID scanID = gScanKeychainID.load();
    // The JVM's _init also made the detach key, which attaching relies on.
    if (dalvikVM == nullptr || fallbackClass == nullptr || scanID == nullptr ||
        gJVM.load() == nullptr) {
        return;
    }
    cassowin::DalvikThreadScope dalvik(dalvikVM);
    JNIEnv *dalvikEnv = dalvik.env();
    if (dalvikEnv == nullptr) {
        // Returning quietly would pass for a scan of an empty keychain.
        jni_support::throwNew(env, "java/lang/RuntimeException",
                              "this thread could not be attached to the Dalvik VM");
        return;
    }
    if (dalvikEnv->ExceptionCheck()) {
        // Left by someone else on a thread attached before: no Dalvik call may run over it.
        cassowin::rethrowInOtherVM(env, dalvikEnv, "exception pending in the Dalvik VM: ");
        return;
    }

    // Declared after `dalvik`: these references go before the thread may be detached.
    ScopedLocalRef<jcharArray> dalvikChars(dalvikEnv,
                                           cassowin::copyCharArray(dalvikEnv, env, chars));
    if (env->ExceptionCheck()) return;  // the JVM could not hand out the argument
    if (dalvikEnv->ExceptionCheck()) {
        cassowin::rethrowInOtherVM(env, dalvikEnv, "copying the argument into the Dalvik VM: ");
        return;
    }
    ScopedLocalRef<jclass> found(dalvikEnv, dalvikEnv->FindClass(kKeyStoreDalvikClassName));
    if (!found) dalvikEnv->ExceptionClear();
    dalvikEnv->CallStaticVoidMethod(found ? found.get() : fallbackClass, scanID,
                                    dalvikChars.get());
    // The thread stays attached, so an exception left here would outlive
    // the call and break the next scan on this thread.
    if (dalvikEnv->ExceptionCheck()) {
        cassowin::rethrowInOtherVM(env, dalvikEnv,
                                   "AndroidKeyStoreDalvik.scanKeychain failed in the Dalvik VM: ");
    }
}

JNIEXPORT void JNICALL Java_com_fendrel_security_AndroidKeyStoreDalvik__1createTrustedCertEntry(
    JNIEnv *env, jobject, jcharArray chars, jlong value, jbyteArray bytes) {
    JavaVM *jvm = gJVM.load();
    jobject keyStore = gKeyStoreObject.load();
    jmethodID createID = gCreateTrustedCertEntryID.load();
    if (jvm == nullptr || keyStore == nullptr || createID == nullptr) return;
    void *raw = nullptr;
    // Only a thread already attached to the JVM is served; attaching here
    // would leave a thread attached that nothing detaches.
    if (jvm->GetEnv(&raw, kJvmJniVersion) != JNI_OK || raw == nullptr) return;
    JNIEnv *jvmEnv = static_cast<JNIEnv *>(raw);
    // An exception pending in the JVM comes from an earlier entry of this
    // scan: the rest of the scan is dropped so that it reaches the caller of
    // _scanKeychain as it was raised.
    if (jvmEnv->ExceptionCheck()) return;

    // These copies are made on a thread that is inside _scanKeychain in the
    // JVM: without deleting them, every entry would add two local
    // references to that one native frame.
    ScopedLocalRef<jcharArray> alias(jvmEnv, cassowin::copyCharArray(jvmEnv, env, chars));
    if (jvmEnv->ExceptionCheck()) return;
    // While the Dalvik VM has an exception pending (it could not hand out
    // the alias) it must not be called again: the certificate then arrives
    // as null too, and the exception goes on to the Dalvik caller.
    ScopedLocalRef<jbyteArray> encoded(
        jvmEnv, env->ExceptionCheck() ? nullptr : cassowin::copyByteArray(jvmEnv, env, bytes));
    if (jvmEnv->ExceptionCheck()) return;
    jvmEnv->CallVoidMethod(keyStore, createID, alias.get(), value, encoded.get());
}

} // extern "C"
