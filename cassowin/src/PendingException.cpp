#include "PendingException.h"

#include <stdio.h>

#include <jni_support/JniThrow.h>
#include <jni_support/ScopedLocalRef.h>

using jni_support::ScopedLocalRef;

namespace cassowin {
namespace {

const size_t kMessageSize = 512;

// Cuts `text` (modified UTF-8, `length` bytes, NUL-terminated) so that it
// does not end in the middle of a character: ThrowNew rejects broken
// encodings.
void dropPartialCharacter(char *text, size_t length) {
    size_t start = length;
    while (start > 0 && (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80) --start;
    if (start == 0) return;
    unsigned char lead = static_cast<unsigned char>(text[start - 1]);
    size_t expected = lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (length - (start - 1) < expected) text[start - 1] = '\0';
}

// Writes the pending exception's toString() into `out` and clears it. Any
// failure on the way (a toString that throws, no memory) leaves a plain
// description; nothing stays pending.
void describeAndClear(JNIEnv *env, char *out, size_t size) {
    snprintf(out, size, "%s", "an exception whose description could not be read");
    ScopedLocalRef<jthrowable> exception(env, env->ExceptionOccurred());
    env->ExceptionClear();
    if (!exception) return;
    ScopedLocalRef<jclass> type(env, env->GetObjectClass(exception.get()));
    if (!type) return;
    jmethodID toString = env->GetMethodID(type.get(), "toString", "()Ljava/lang/String;");
    if (toString == nullptr) {
        env->ExceptionClear();
        return;
    }
    ScopedLocalRef<jstring> text(
        env, static_cast<jstring>(env->CallObjectMethod(exception.get(), toString)));
    if (env->ExceptionCheck()) {
        env->ExceptionClear();
        return;
    }
    if (!text) return;
    const char *utf = env->GetStringUTFChars(text.get(), nullptr);
    if (utf == nullptr) {
        env->ExceptionClear();
        return;
    }
    int length = snprintf(out, size, "%s", utf);
    env->ReleaseStringUTFChars(text.get(), utf);
    if (length >= static_cast<int>(size)) dropPartialCharacter(out, size - 1);
}

} // namespace

void rethrowInOtherVM(JNIEnv *toEnv, JNIEnv *fromEnv, const char *what) {
    char description[kMessageSize];
    describeAndClear(fromEnv, description, sizeof description);
    if (toEnv->ExceptionCheck()) return;
    char message[kMessageSize];
    int length = snprintf(message, sizeof message, "%s%s", what, description);
    if (length >= static_cast<int>(sizeof message)) {
        dropPartialCharacter(message, sizeof message - 1);
    }
    jni_support::throwNew(toEnv, "java/lang/RuntimeException", length < 0 ? what : message);
}

} // namespace cassowin
