// Natives of the Java test-support class com.fendrel.security.StandinDalvik:
// a stand-in Dalvik VM living inside the real JVM's process, set up through
// the relay like an app's Dalvik side, with its keychain scripted from Java.
#include <jni.h>

#include <mutex>
#include <vector>

#include <jni_support/ScopedLocalRef.h>

#include "../RelayEntryPoints.h"
#include "../standin/StandinKeychain.h"
#include "CountingJniEnv.h"

using jni_support::ScopedLocalRef;

namespace {

// Made once and kept for the life of the process: JVM threads that the
// relay attached to it detach from it only when they end.
standin::Vm *gDalvik;
standin::StandinKeychain *gKeychain;
int gDetachesBeforeScans;  // the stand-in's own set-up thread leaves once, never attached by the relay
std::once_flag gCreated;

std::vector<jchar> charsOf(JNIEnv *env, jstring s) {
    std::vector<jchar> chars(env->GetStringLength(s));
    env->GetStringRegion(s, 0, static_cast<jsize>(chars.size()), chars.data());
    return chars;
}

} // namespace

extern "C" {

JNIEXPORT void JNICALL Java_com_fendrel_security_StandinDalvik_start(JNIEnv *, jclass,
                                                                    jboolean hideAppClasses) {
    std::call_once(gCreated, [] {
        gDalvik = new standin::Vm("Dalvik", JNI_VERSION_1_6, standin::kDalvikLocalRefLimit);
        gKeychain = new standin::StandinKeychain(*gDalvik);
        gKeychain->init();
        gDetachesBeforeScans = gDalvik->detaches();
    });
    gDalvik->setAppClassesHiddenFromAttachedThreads(hideAppClasses == JNI_TRUE);
    gDalvik->setElementsUnavailable(false, false);
    gKeychain->setExceptionAfterReport("", "");
    gKeychain->setEntries({});
    gKeychain->holdScans(false);
}

JNIEXPORT void JNICALL Java_com_fendrel_security_StandinDalvik_holdScans(JNIEnv *, jclass,
                                                                        jboolean hold) {
    gKeychain->holdScans(hold == JNI_TRUE);
}

JNIEXPORT jint JNICALL Java_com_fendrel_security_StandinDalvik_heldScans(JNIEnv *, jclass) {
    return gKeychain->heldScans();
}

JNIEXPORT void JNICALL Java_com_fendrel_security_StandinDalvik_setEntries(
    JNIEnv *env, jclass, jobjectArray aliases, jlongArray dates, jobjectArray encoded) {
    jsize n = env->GetArrayLength(aliases);
    std::vector<jlong> when(n);
    env->GetLongArrayRegion(dates, 0, n, when.data());
    std::vector<standin::KeychainEntry> entries(n);
    for (jsize i = 0; i < n; ++i) {
        standin::KeychainEntry &e = entries[i];
        ScopedLocalRef<jstring> alias(env, static_cast<jstring>(env->GetObjectArrayElement(aliases, i)));
        e.aliasIsNull = !alias;
        if (alias) e.alias = charsOf(env, alias.get());
        e.date = when[i];
        ScopedLocalRef<jbyteArray> bytes(env, static_cast<jbyteArray>(env->GetObjectArrayElement(encoded, i)));
        e.encodedIsNull = !bytes;
        if (bytes) {
            e.encoded.resize(env->GetArrayLength(bytes.get()));
            env->GetByteArrayRegion(bytes.get(), 0, static_cast<jsize>(e.encoded.size()), e.encoded.data());
        }
    }
    gKeychain->setEntries(std::move(entries));
}

JNIEXPORT void JNICALL Java_com_fendrel_security_StandinDalvik_setExceptionAfterReport(
    JNIEnv *env, jclass, jstring className, jstring message) {
    const char *name = env->GetStringUTFChars(className, nullptr);
    const char *text = env->GetStringUTFChars(message, nullptr);
    if (name != nullptr && text != nullptr) gKeychain->setExceptionAfterReport(name, text);
    if (text != nullptr) env->ReleaseStringUTFChars(message, text);
    if (name != nullptr) env->ReleaseStringUTFChars(className, name);
}

JNIEXPORT void JNICALL Java_com_fendrel_security_StandinDalvik_setElementsUnavailable(
    JNIEnv *, jclass, jboolean unavailable, jboolean raise) {
    gDalvik->setElementsUnavailable(unavailable == JNI_TRUE, raise == JNI_TRUE);
}

JNIEXPORT jint JNICALL Java_com_fendrel_security_StandinDalvik_scans(JNIEnv *, jclass) {
    return static_cast<jint>(gKeychain->scans().size());
}

JNIEXPORT jstring JNICALL Java_com_fendrel_security_StandinDalvik_lastKeychain(JNIEnv *env, jclass) {
    std::vector<standin::ScanRecord> scans = gKeychain->scans();
    if (scans.empty() || scans.back().filterIsNull) return nullptr;
    return env->NewString(scans.back().filter.data(), static_cast<jsize>(scans.back().filter.size()));
}

JNIEXPORT jint JNICALL Java_com_fendrel_security_StandinDalvik_attaches(JNIEnv *, jclass) {
    return gDalvik->attaches();
}

JNIEXPORT jint JNICALL Java_com_fendrel_security_StandinDalvik_detaches(JNIEnv *, jclass) {
    return gDalvik->detaches();
}

JNIEXPORT jint JNICALL Java_com_fendrel_security_StandinDalvik_threadsEndedAttached(JNIEnv *, jclass) {
    return gDalvik->threadsEndedAttached();
}

JNIEXPORT jint JNICALL Java_com_fendrel_security_StandinDalvik_attachedThreads(JNIEnv *, jclass) {
    return gDalvik->attaches() - (gDalvik->detaches() - gDetachesBeforeScans) -
           gDalvik->threadsEndedAttached();
}

JNIEXPORT jlong JNICALL Java_com_fendrel_security_StandinDalvik_liveLocalRefs(JNIEnv *, jclass) {
    return static_cast<jlong>(gDalvik->liveLocalRefs());
}

// Sets the relay up with a counting stand-in for this JVM environment, scans,
// and sets the relay back up with the real environment. Returns the local
// references the relay left in the JVM and the most it held at once.
JNIEXPORT jlongArray JNICALL Java_com_fendrel_security_StandinDalvik_countingScan(
    JNIEnv *env, jclass, jobject keyStore, jcharArray keychain) {
    long live, peak;
    ScopedLocalRef<jthrowable> failure(env, nullptr);
    {
        CountingJniEnv counting(env);
        Java_com_fendrel_security_AndroidKeyStore__1init(counting.env(), keyStore);
        if (!env->ExceptionCheck()) {
            Java_com_fendrel_security_AndroidKeyStore__1scanKeychain(counting.env(), keyStore, keychain);
        }
        live = counting.live();
        peak = counting.peak();
    }
    failure.reset(env->ExceptionOccurred());
    env->ExceptionClear();
    Java_com_fendrel_security_AndroidKeyStore__1init(env, keyStore);
    if (env->ExceptionCheck()) return nullptr;
    if (failure) {
        env->Throw(failure.get());
        return nullptr;
    }
    jlongArray result = env->NewLongArray(2);
    if (result == nullptr) return nullptr;
    jlong values[2] = {live, peak};
    env->SetLongArrayRegion(result, 0, 2, values);
    return result;
}

} // extern "C"
