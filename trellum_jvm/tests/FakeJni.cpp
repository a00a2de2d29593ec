#include "FakeJni.h"

#include <string.h>

char FakeJni::classObject_;
char FakeJni::constructorObject_;

namespace {
FakeJni *current = nullptr;  // the one fake in use: JavaVM carries no user pointer
}

FakeJni::FakeJni() {
    functions_.FindClass = &FakeJni::FindClass;
    functions_.NewGlobalRef = &FakeJni::NewGlobalRef;
    functions_.DeleteGlobalRef = &FakeJni::DeleteGlobalRef;
    functions_.DeleteLocalRef = &FakeJni::DeleteLocalRef;
    functions_.GetMethodID = &FakeJni::GetMethodID;
    functions_.ExceptionCheck = &FakeJni::ExceptionCheck;
    functions_.ExceptionClear = &FakeJni::ExceptionClear;
    functions_.ThrowNew = &FakeJni::ThrowNew;
    functions_.GetJavaVM = &FakeJni::GetJavaVM;
    env_.functions = &functions_;
    invoke_.GetEnv = &FakeJni::GetEnv;
    vm_.functions = &invoke_;
    current = this;
}

FakeJni::~FakeJni() { current = nullptr; }

FakeJni *FakeJni::self(JNIEnv *) { return current; }

std::set<jobject> FakeJni::liveGlobalRefs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return globals_;
}

jclass FakeJni::FindClass(JNIEnv *env, const char *name) {
    FakeJni *f = self(env);
    f->findClassCalls++;
    {
        // Hold every caller until all racers are in, so that each of them
        // has found the cache empty before any of them fills it.
        std::unique_lock<std::mutex> lock(f->mutex_);
        f->inFindClass_++;
        f->arrived_.notify_all();
        f->arrived_.wait_for(lock, std::chrono::seconds(10),
                             [f] { return f->inFindClass_ >= f->findClassRendezvous; });
    }
    if (f->failFindClass || strcmp(name, "com/fendrel/vm/channel/impl/VMMessageImpl") != 0) {
        f->pending_ = true;
        return nullptr;
    }
    return theClass();  // stands for a new local reference
}

jobject FakeJni::NewGlobalRef(JNIEnv *env, jobject ref) {
    FakeJni *f = self(env);
    if (ref != theClass()) return nullptr;
    std::lock_guard<std::mutex> lock(f->mutex_);
    jobject global = reinterpret_cast<jobject>(f->nextGlobal_++ * 16);
    f->globals_.insert(global);
    f->globalRefsMade++;
    return global;
}

void FakeJni::DeleteGlobalRef(JNIEnv *env, jobject ref) {
    FakeJni *f = self(env);
    std::lock_guard<std::mutex> lock(f->mutex_);
    // Deleting what is not a live global reference is a fault of its own.
    if (f->globals_.erase(ref) != 1) f->pending_ = true;
}

void FakeJni::DeleteLocalRef(JNIEnv *env, jobject) { self(env)->localRefsDeleted++; }

jmethodID FakeJni::GetMethodID(JNIEnv *env, jclass clazz, const char *name, const char *sig) {
    FakeJni *f = self(env);
    f->getMethodIDCalls++;
    bool known;
    {
        std::lock_guard<std::mutex> lock(f->mutex_);
        known = f->globals_.count(clazz) == 1 || clazz == theClass();
    }
    if (f->failGetMethodID || !known || strcmp(name, "<init>") != 0 || strcmp(sig, "(IIIII[B)V") != 0) {
        f->pending_ = true;
        return nullptr;
    }
    return theConstructor();
}

jint FakeJni::ThrowNew(JNIEnv *env, jclass, const char *) {
    ++self(env)->exceptionsThrown;
    self(env)->pending_ = true;
    return 0;
}

jboolean FakeJni::ExceptionCheck(JNIEnv *env) { return self(env)->pending_ ? JNI_TRUE : JNI_FALSE; }

void FakeJni::ExceptionClear(JNIEnv *env) { self(env)->pending_ = false; }

jint FakeJni::GetEnv(JavaVM *, void **env, jint version) {
    FakeJni *f = current;
    if (f->failGetEnv || version != JNI_VERSION_1_6) {
        *env = nullptr;
        return JNI_EDETACHED;
    }
    *env = f->env();
    return JNI_OK;
}

jint FakeJni::GetJavaVM(JNIEnv *env, JavaVM **vm) {
    *vm = self(env)->vm();
    return JNI_OK;
}
