// Scoped owners of JNI resources, header-only, shared by our JNI libraries.
//
// Each owner remembers the JNIEnv it belongs to: a process that hosts two
// VMs has two environments per thread, and a reference must be deleted in
// the VM that made it.
#ifndef JNI_SUPPORT_SCOPED_LOCAL_REF_H
#define JNI_SUPPORT_SCOPED_LOCAL_REF_H

#include <jni.h>

namespace jni_support {

// Owns one local reference; deletes it when the scope ends. Movable, not
// copyable, no default constructor. A null reference is fine.
template <typename T>
class ScopedLocalRef {
public:
    ScopedLocalRef(JNIEnv *env, T ref) : env_(env), ref_(ref) {}
    ScopedLocalRef(ScopedLocalRef &&other) : env_(other.env_), ref_(other.release()) {}
    ScopedLocalRef &operator=(ScopedLocalRef &&other) {
        if (this != &other) {
            reset();
            env_ = other.env_;
            ref_ = other.release();
        }
        return *this;
    }
    ScopedLocalRef(const ScopedLocalRef &) = delete;
    ScopedLocalRef &operator=(const ScopedLocalRef &) = delete;
    ~ScopedLocalRef() { reset(); }

    T get() const { return ref_; }
    explicit operator bool() const { return ref_ != nullptr; }

    // Gives up ownership, e.g. to return the reference to Java.
    T release() {
        T ref = ref_;
        ref_ = nullptr;
        return ref;
    }

    void reset(T ref = nullptr) {
        // DeleteLocalRef is one of the calls allowed while an exception is pending.
        if (ref_ != nullptr) env_->DeleteLocalRef(ref_);
        ref_ = ref;
    }

private:
    JNIEnv *env_;
    T ref_;
};

} // namespace jni_support

#endif
