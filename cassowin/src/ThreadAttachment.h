// Attaching scanning threads to the Dalvik VM, and detaching them when they end.
#ifndef CASSOWIN_THREAD_ATTACHMENT_H
#define CASSOWIN_THREAD_ATTACHMENT_H

#include <jni.h>

namespace cassowin {

// Creates the process's one thread-specific-data key, whose destructor
// detaches an ending thread that the relay attached. Any thread may call it
// any number of times; the key is made once. False when the system had no
// key to give: the relay must then not attach threads.
bool ensureDetachKey();

// The calling thread's environment in the Dalvik VM for the length of one
// scan. A thread the VM does not know yet is attached; it stays attached for
// the rest of its life, because a thread that calls in once usually calls
// again, and the key's destructor detaches it when it ends. A thread that
// was attached before is left as it is. Only if the thread cannot be marked
// for that detach (no memory for the key's value) is it detached again when
// the scope ends, so that no thread ever ends attached.
//
// ensureDetachKey() must have returned true before.
class DalvikThreadScope {
public:
    explicit DalvikThreadScope(JavaVM *dalvikVM);
    ~DalvikThreadScope();
    DalvikThreadScope(const DalvikThreadScope &) = delete;
    DalvikThreadScope &operator=(const DalvikThreadScope &) = delete;

    // Null when the thread has no environment and could not be attached.
    JNIEnv *env() const { return env_; }

private:
    JavaVM *vm_;
    JNIEnv *env_;
    bool detachAtScopeEnd_;
};

} // namespace cassowin

#endif
