// A JNIEnv and JavaVM that forward to a real JVM's and count the local
// references made and deleted through them, so that a test can see what
// native code leaves behind in a real JVM. Only the calls the key store
// relay makes are forwarded; any other aborts. One at a time per process,
// used on the thread that made it.
#ifndef CASSOWIN_TESTS_COUNTING_JNI_ENV_H
#define CASSOWIN_TESTS_COUNTING_JNI_ENV_H

#include <jni.h>

class CountingJniEnv {
public:
    explicit CountingJniEnv(JNIEnv *real);
    ~CountingJniEnv();
    CountingJniEnv(const CountingJniEnv &) = delete;
    CountingJniEnv &operator=(const CountingJniEnv &) = delete;

    JNIEnv *env() { return &env_; }
    // Local references made through the shim and not deleted through it.
    long live() const { return live_; }
    long peak() const { return peak_; }

private:
    friend struct CountingTables;
    void made(jobject ref);
    void deleted(jobject ref);

    JNIEnv env_;  // first: the table functions find the shim from it
    JNIEnv *real_;
    JavaVM vm_;
    JavaVM *realVM_;
    JNINativeInterface_ native_;
    JNIInvokeInterface_ invoke_;
    long live_ = 0, peak_ = 0;
};

#endif
