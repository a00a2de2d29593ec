// Copies of primitive arrays from one VM into another.
#ifndef CASSOWIN_ARRAY_COPY_H
#define CASSOWIN_ARRAY_COPY_H

#include <jni.h>

namespace cassowin {

// Returns a new array in the VM of `toEnv` (a local reference there, owned
// by the caller) with the contents of `array`, an array of the VM of
// `fromEnv`. The source is only read: its elements are released with
// JNI_ABORT.
//
// Null when `array` is null, when its VM hands out no elements (an
// exception may then be pending in `fromEnv`), or when the target VM cannot
// allocate the copy (an exception is then pending in `toEnv`). Callers that
// need to tell these apart test the two environments for a pending
// exception.
jcharArray copyCharArray(JNIEnv *toEnv, JNIEnv *fromEnv, jcharArray array);
jbyteArray copyByteArray(JNIEnv *toEnv, JNIEnv *fromEnv, jbyteArray array);

} // namespace cassowin

#endif
