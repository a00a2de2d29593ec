// Read-only access to the elements of a Java primitive array.
#ifndef JNI_SUPPORT_SCOPED_ARRAY_ELEMENTS_H
#define JNI_SUPPORT_SCOPED_ARRAY_ELEMENTS_H

#include <jni.h>

namespace jni_support {

// The element type of each primitive array type, its Get/Release pair, and
// the New/SetRegion pair that makes a filled array of that type.
template <typename ArrayT> struct ArrayTraits;

template <> struct ArrayTraits<jcharArray> {
    typedef jchar Element;
    static Element *get(JNIEnv *env, jcharArray a) { return env->GetCharArrayElements(a, nullptr); }
    static void release(JNIEnv *env, jcharArray a, Element *e, jint mode) {
        env->ReleaseCharArrayElements(a, e, mode);
    }
    static jcharArray newArray(JNIEnv *env, jsize length) { return env->NewCharArray(length); }
    static void setRegion(JNIEnv *env, jcharArray a, jsize start, jsize length, const Element *from) {
        env->SetCharArrayRegion(a, start, length, from);
    }
};

template <> struct ArrayTraits<jbyteArray> {
    typedef jbyte Element;
    static Element *get(JNIEnv *env, jbyteArray a) { return env->GetByteArrayElements(a, nullptr); }
    static void release(JNIEnv *env, jbyteArray a, Element *e, jint mode) {
        env->ReleaseByteArrayElements(a, e, mode);
    }
    static jbyteArray newArray(JNIEnv *env, jsize length) { return env->NewByteArray(length); }
    static void setRegion(JNIEnv *env, jbyteArray a, jsize start, jsize length, const Element *from) {
        env->SetByteArrayRegion(a, start, length, from);
    }
};

// Holds the elements of `array` for reading. They are released with
// JNI_ABORT, so nothing is ever written back to the array. get() is null
// when the array is null or the VM could not hand the elements out (an
// exception may then be pending).
template <typename ArrayT>
class ScopedArrayRO {
public:
    typedef typename ArrayTraits<ArrayT>::Element Element;

    ScopedArrayRO(JNIEnv *env, ArrayT array)
        : env_(env), array_(array),
          elements_(array != nullptr ? ArrayTraits<ArrayT>::get(env, array) : nullptr) {}
    ~ScopedArrayRO() {
        if (elements_ != nullptr) ArrayTraits<ArrayT>::release(env_, array_, elements_, JNI_ABORT);
    }
    ScopedArrayRO(const ScopedArrayRO &) = delete;
    ScopedArrayRO &operator=(const ScopedArrayRO &) = delete;

    const Element *get() const { return elements_; }

private:
    JNIEnv *env_;
    ArrayT array_;
    Element *elements_;
};

} // namespace jni_support

#endif
