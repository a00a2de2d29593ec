#include "ArrayCopy.h"

#include <jni_support/ScopedArrayElements.h>

namespace cassowin {
namespace {

template <typename ArrayT>
ArrayT copyArray(JNIEnv *toEnv, JNIEnv *fromEnv, ArrayT array) {
    typedef jni_support::ArrayTraits<ArrayT> Traits;
    if (array == nullptr) return nullptr;
    jni_support::ScopedArrayRO<ArrayT> elements(fromEnv, array);
    if (elements.get() == nullptr) return nullptr;
    jsize length = fromEnv->GetArrayLength(array);
    ArrayT copy = Traits::newArray(toEnv, length);
    if (copy == nullptr) return nullptr;  // OutOfMemoryError pending in toEnv
    Traits::setRegion(toEnv, copy, 0, length, elements.get());
    return copy;
}

} // namespace

jcharArray copyCharArray(JNIEnv *toEnv, JNIEnv *fromEnv, jcharArray array) {
    return copyArray(toEnv, fromEnv, array);
}

jbyteArray copyByteArray(JNIEnv *toEnv, JNIEnv *fromEnv, jbyteArray array) {
    return copyArray(toEnv, fromEnv, array);
}

} // namespace cassowin
