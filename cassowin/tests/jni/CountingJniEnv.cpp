#include "CountingJniEnv.h"

#include <stdio.h>
#include <stdlib.h>

namespace {
CountingJniEnv *gActive;  // the one shim, for the JavaVM's GetEnv
}

struct CountingTables {
    static CountingJniEnv *of(JNIEnv *env) { return reinterpret_cast<CountingJniEnv *>(env); }
    static JNIEnv *real(JNIEnv *env) { return of(env)->real_; }

    static void unexpected(void *) {
        fprintf(stderr, "CountingJniEnv: a JNI function the shim does not forward was called\n");
        abort();
    }

    static jint JNICALL GetEnv(JavaVM *, void **env, jint version) {
        jint result = gActive->realVM_->GetEnv(env, version);
        if (result == JNI_OK) *env = &gActive->env_;
        return result;
    }
    static jint JNICALL GetJavaVM(JNIEnv *env, JavaVM **vm) {
        *vm = &of(env)->vm_;
        return JNI_OK;
    }
    static jclass JNICALL FindClass(JNIEnv *env, const char *name) {
        jclass c = real(env)->FindClass(name);
        of(env)->made(c);
        return c;
    }
    static jclass JNICALL GetObjectClass(JNIEnv *env, jobject o) {
        jclass c = real(env)->GetObjectClass(o);
        of(env)->made(c);
        return c;
    }
    static jmethodID JNICALL GetMethodID(JNIEnv *env, jclass c, const char *n, const char *s) {
        return real(env)->GetMethodID(c, n, s);
    }
    static jobject JNICALL NewGlobalRef(JNIEnv *env, jobject o) { return real(env)->NewGlobalRef(o); }
    static jboolean JNICALL IsSameObject(JNIEnv *env, jobject a, jobject b) {
        return real(env)->IsSameObject(a, b);
    }
    static void JNICALL DeleteLocalRef(JNIEnv *env, jobject o) {
        of(env)->deleted(o);
        real(env)->DeleteLocalRef(o);
    }
    static jint JNICALL ThrowNew(JNIEnv *env, jclass c, const char *m) { return real(env)->ThrowNew(c, m); }
    static jthrowable JNICALL ExceptionOccurred(JNIEnv *env) {
        jthrowable t = real(env)->ExceptionOccurred();
        of(env)->made(t);
        return t;
    }
    static void JNICALL ExceptionClear(JNIEnv *env) { real(env)->ExceptionClear(); }
    static jboolean JNICALL ExceptionCheck(JNIEnv *env) { return real(env)->ExceptionCheck(); }
    static jsize JNICALL GetArrayLength(JNIEnv *env, jarray a) { return real(env)->GetArrayLength(a); }
    static jcharArray JNICALL NewCharArray(JNIEnv *env, jsize n) {
        jcharArray a = real(env)->NewCharArray(n);
        of(env)->made(a);
        return a;
    }
    static jbyteArray JNICALL NewByteArray(JNIEnv *env, jsize n) {
        jbyteArray a = real(env)->NewByteArray(n);
        of(env)->made(a);
        return a;
    }
    static jchar *JNICALL GetCharArrayElements(JNIEnv *env, jcharArray a, jboolean *c) {
        return real(env)->GetCharArrayElements(a, c);
    }
    static void JNICALL ReleaseCharArrayElements(JNIEnv *env, jcharArray a, jchar *e, jint m) {
        real(env)->ReleaseCharArrayElements(a, e, m);
    }
    static jbyte *JNICALL GetByteArrayElements(JNIEnv *env, jbyteArray a, jboolean *c) {
        return real(env)->GetByteArrayElements(a, c);
    }
    static void JNICALL ReleaseByteArrayElements(JNIEnv *env, jbyteArray a, jbyte *e, jint m) {
        real(env)->ReleaseByteArrayElements(a, e, m);
    }
    static void JNICALL SetCharArrayRegion(JNIEnv *env, jcharArray a, jsize s, jsize n, const jchar *b) {
        real(env)->SetCharArrayRegion(a, s, n, b);
    }
    static void JNICALL SetByteArrayRegion(JNIEnv *env, jbyteArray a, jsize s, jsize n, const jbyte *b) {
        real(env)->SetByteArrayRegion(a, s, n, b);
    }
    static void JNICALL CallVoidMethodV(JNIEnv *env, jobject o, jmethodID m, va_list args) {
        real(env)->functions->CallVoidMethodV(real(env), o, m, args);
    }
};

CountingJniEnv::CountingJniEnv(JNIEnv *real) : real_(real), realVM_(nullptr) {
    if (gActive != nullptr) CountingTables::unexpected(nullptr);
    gActive = this;
    real->GetJavaVM(&realVM_);

    void **slots = reinterpret_cast<void **>(&native_);
    for (size_t i = 0; i < sizeof native_ / sizeof(void *); ++i) {
        slots[i] = reinterpret_cast<void *>(&CountingTables::unexpected);
    }
    native_.GetJavaVM = CountingTables::GetJavaVM;
    native_.FindClass = CountingTables::FindClass;
    native_.GetObjectClass = CountingTables::GetObjectClass;
    native_.GetMethodID = CountingTables::GetMethodID;
    native_.NewGlobalRef = CountingTables::NewGlobalRef;
    native_.IsSameObject = CountingTables::IsSameObject;
    native_.DeleteLocalRef = CountingTables::DeleteLocalRef;
    native_.ThrowNew = CountingTables::ThrowNew;
    native_.ExceptionOccurred = CountingTables::ExceptionOccurred;
    native_.ExceptionClear = CountingTables::ExceptionClear;
    native_.ExceptionCheck = CountingTables::ExceptionCheck;
    native_.GetArrayLength = CountingTables::GetArrayLength;
    native_.NewCharArray = CountingTables::NewCharArray;
    native_.NewByteArray = CountingTables::NewByteArray;
    native_.GetCharArrayElements = CountingTables::GetCharArrayElements;
    native_.ReleaseCharArrayElements = CountingTables::ReleaseCharArrayElements;
    native_.GetByteArrayElements = CountingTables::GetByteArrayElements;
    native_.ReleaseByteArrayElements = CountingTables::ReleaseByteArrayElements;
    native_.SetCharArrayRegion = CountingTables::SetCharArrayRegion;
    native_.SetByteArrayRegion = CountingTables::SetByteArrayRegion;
    native_.CallVoidMethodV = CountingTables::CallVoidMethodV;
    env_.functions = &native_;

    slots = reinterpret_cast<void **>(&invoke_);
    for (size_t i = 0; i < sizeof invoke_ / sizeof(void *); ++i) {
        slots[i] = reinterpret_cast<void *>(&CountingTables::unexpected);
    }
    invoke_.GetEnv = CountingTables::GetEnv;
    vm_.functions = &invoke_;
}

CountingJniEnv::~CountingJniEnv() { gActive = nullptr; }

void CountingJniEnv::made(jobject ref) {
    if (ref == nullptr) return;
    if (++live_ > peak_) peak_ = live_;
}

void CountingJniEnv::deleted(jobject ref) {
    if (ref != nullptr) --live_;
}
