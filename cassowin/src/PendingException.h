// Turning an exception pending in one VM into an exception in the other.
#ifndef CASSOWIN_PENDING_EXCEPTION_H
#define CASSOWIN_PENDING_EXCEPTION_H

#include <jni.h>

namespace cassowin {

// Clears the exception pending in `fromEnv` and raises in `toEnv` a
// java.lang.RuntimeException whose message is `what` followed by the
// cleared exception's toString() (its class name and message). If `toEnv`
// already has an exception pending, that one is kept: it is the earlier
// failure and the cause of what followed. Afterwards `fromEnv` has no
// exception pending and `toEnv` has one.
void rethrowInOtherVM(JNIEnv *toEnv, JNIEnv *fromEnv, const char *what);

} // namespace cassowin

#endif
