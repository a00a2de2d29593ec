// A JNIEnv and JavaVM backed by a fake function table: counts the class and
// reference calls the binding makes, and can make them fail, with no VM.
// Only the functions the message class cache and the unload hook use exist;
// any other call crashes on a null function pointer, which fails the test.
#ifndef TRELLUM_JVM_TESTS_FAKE_JNI_H
#define TRELLUM_JVM_TESTS_FAKE_JNI_H

#include <jni.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

class FakeJni {
public:
    FakeJni();
    ~FakeJni();
    FakeJni(const FakeJni &) = delete;
    FakeJni &operator=(const FakeJni &) = delete;

    JNIEnv *env() { return &env_; }
    JavaVM *vm() { return &vm_; }

    // Knobs, set before use.
    bool failFindClass = false;     // FindClass raises NoClassDefFoundError
    bool failGetMethodID = false;   // GetMethodID raises NoSuchMethodError
    bool failGetEnv = false;        // GetEnv reports a detached thread
    int findClassRendezvous = 1;    // FindClass returns only once this many threads are in it

    // Observations.
    std::atomic<int> findClassCalls{0};
    std::atomic<int> getMethodIDCalls{0};
    std::atomic<int> localRefsDeleted{0};
    std::atomic<int> globalRefsMade{0};
    std::atomic<int> exceptionsThrown{0};
    std::set<jobject> liveGlobalRefs() const;
    bool exceptionPending() const { return pending_; }
    void clearException() { pending_ = false; }

    static jclass theClass() { return reinterpret_cast<jclass>(&classObject_); }
    static jmethodID theConstructor() { return reinterpret_cast<jmethodID>(&constructorObject_); }

private:
    static FakeJni *self(JNIEnv *env);
    static jclass FindClass(JNIEnv *env, const char *name);
    static jobject NewGlobalRef(JNIEnv *env, jobject ref);
    static void DeleteGlobalRef(JNIEnv *env, jobject ref);
    static void DeleteLocalRef(JNIEnv *env, jobject ref);
    static jmethodID GetMethodID(JNIEnv *env, jclass clazz, const char *name, const char *sig);
    static jboolean ExceptionCheck(JNIEnv *env);
    static jint ThrowNew(JNIEnv *env, jclass clazz, const char *message);
    static void ExceptionClear(JNIEnv *env);
    static jint GetEnv(JavaVM *vm, void **env, jint version);
    static jint GetJavaVM(JNIEnv *env, JavaVM **vm);

    static char classObject_;
    static char constructorObject_;

    JNINativeInterface_ functions_{};
    JNIInvokeInterface_ invoke_{};
    JNIEnv env_;
    JavaVM vm_;
    std::atomic<bool> pending_{false};

    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    int inFindClass_ = 0;
    std::set<jobject> globals_;
    long nextGlobal_ = 1;
};

#endif
