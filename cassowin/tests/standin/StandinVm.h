// A stand-in Java VM for tests: a JavaVM and a JNIEnv per attached thread,
// whose function tables implement the JNI calls the key store relay makes
// over objects of the stand-in's own, and those the channel binding's native
// methods make on message objects (instance fields, constructors, a boolean
// method). Any other function table slot aborts with its name, and so does
// any misuse the stand-in can see: a handle that
// is not one of its live references (a handle of another VM, a deleted
// reference, another thread's local reference), an environment used on the
// wrong thread, a call other than the exception and release functions while
// an exception is pending, a release of elements the array never handed out,
// and, where a limit is set, more live local references on one thread than
// the limit (Dalvik's is kDalvikLocalRefLimit).
//
// It counts what tests need to see: threads attached and detached through
// the invocation interface, threads that ended while still attached, live
// local references (and their peak), array elements handed out and not yet
// released, and releases that wrote back into an array.
//
// Java methods are C++ functions registered on classes; each runs in a local
// frame of its own, as a Java method would. Faults are injected with the
// set* functions.
#ifndef CASSOWIN_TESTS_STANDIN_VM_H
#define CASSOWIN_TESTS_STANDIN_VM_H

#include <jni.h>
#include <pthread.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace standin {

struct Object;
struct Method;
struct Field;
struct ThreadEnv;
struct Ref;

// The body of a Java method: the receiver (or class, for a static method)
// and the arguments in signature order. Returns the result (ignored for void).
typedef std::function<jvalue(JNIEnv *env, jobject self, const jvalue *args)> MethodBody;

// Where a class is found: the boot class path is seen from every thread,
// the app's class loader by default only from the VM's own threads.
enum class Loader { Boot, App };

// A Dalvik VM aborts when a thread holds more live local references than
// this; HotSpot has no such limit.
constexpr size_t kDalvikLocalRefLimit = 512;

class Vm {
public:
    // `name` appears in every message; `version` is the highest JNI version
    // GetEnv accepts (a Dalvik VM knows no JNI_VERSION_1_8). A thread may
    // hold at most `localRefLimit` live local references (0: no limit).
    Vm(const char *name, jint version, size_t localRefLimit = 0);
    ~Vm();
    Vm(const Vm &) = delete;
    Vm &operator=(const Vm &) = delete;

    JavaVM *javaVM() { return &vm_; }
    const std::string &name() const { return name_; }

    // Attaches the calling thread as one of the VM's own threads, which see
    // the app's classes, and returns its environment. Not counted as an attach.
    JNIEnv *attachVmThread();
    // Detaches the calling thread, whichever way it was attached. Counted.
    void detachCurrentThread();
    bool isCurrentThreadAttached();

    // Classes and methods. defineClass of a known name returns the class again.
    void defineClass(const std::string &name, Loader loader, bool throwable = false);
    void defineMethod(const std::string &className, const std::string &name,
                      const std::string &signature, bool isStatic, MethodBody body);
    // An instance field of an int ("I") or reference type.
    void defineField(const std::string &className, const std::string &name, const std::string &signature);
    // A new plain instance of a class, as a global reference.
    jobject newGlobalInstance(const std::string &className);

    // Runs `call` the way a Java method runs a native one: local references
    // made inside are freed when it returns.
    void callNative(JNIEnv *env, const std::function<void()> &call);

    // Reading objects directly, for assertions (no references are made).
    std::vector<jchar> charsOf(jobject array);
    std::vector<jbyte> bytesOf(jobject array);
    // "class.Name: message" of the pending exception, "" if none.
    std::string pendingException(JNIEnv *env);

    // Fault injection.
    void setAppClassesHiddenFromAttachedThreads(bool hidden) { hideAppClasses_ = hidden; }
    // Get<Type>ArrayElements yields null; with `raise`, also OutOfMemoryError.
    void setElementsUnavailable(bool unavailable, bool raise) {
        elementsUnavailable_ = unavailable;
        elementsFailureRaises_ = raise;
    }
    void setNewArraysFail(bool fail) { newArraysFail_ = fail; }
    void setAttachFails(bool fail) { attachFails_ = fail; }

    // Counters.
    int attaches() const { return attaches_; }
    int detaches() const { return detaches_; }
    int threadsEndedAttached() const { return endedAttached_; }
    int failedClassLookups() const { return failedClassLookups_; }
    int writeBacks() const { return writeBacks_; }
    size_t liveLocalRefs();
    size_t liveGlobalRefs();
    size_t peakLocalRefs();
    void resetPeakLocalRefs();
    size_t elementsOutstanding();

    // ---- used by the function tables (StandinJni.cpp) -------------------
    static Vm *of(JNIEnv *env);
    static Vm *of(JavaVM *vm);
    [[noreturn]] void fail(const char *function, const char *format, ...)
        __attribute__((format(printf, 3, 4)));
    ThreadEnv *thread(JNIEnv *env, const char *function, bool allowedWhilePending = false);
    Object *resolve(ThreadEnv *t, jobject handle, const char *function);
    Object *resolveArray(ThreadEnv *t, jobject handle, const char *function, int kind);
    Method *resolveMethod(jmethodID id, const char *function);
    jobject newLocal(ThreadEnv *t, Object *object);
    jobject newGlobal(Object *object);
    void deleteRef(ThreadEnv *t, jobject handle, bool global, const char *function);
    Object *newObject(int kind, Object *type);
    Object *findClass(ThreadEnv *t, const char *name);
    Method *findMethod(Object *type, const char *name, const char *signature, bool isStatic);
    void throwNew(ThreadEnv *t, const char *className, const std::string &message);
    jvalue invoke(ThreadEnv *t, Method *method, jobject self, const jvalue *args);
    Field *findField(Object *type, const char *name, const char *signature);
    Field *resolveField(jfieldID id, const char *function);
    // Field values of an instance, under the VM's lock.
    jint intField(Object *object, Field *field);
    void setIntField(Object *object, Field *field, jint value);
    Object *objectField(Object *object, Field *field);
    void setObjectField(Object *object, Field *field, Object *value);
    jint getEnv(void **env, jint version);
    jint attach(void **env);
    jint detach();
    void *handOutElements(ThreadEnv *t, Object *array);
    void takeBackElements(Object *array, void *elements, jint mode, const char *function);
    const char *handOutUtf(Object *string);
    void takeBackUtf(const char *utf, const char *function);
    bool newArraysFail() const { return newArraysFail_; }

private:
    friend struct ThreadEnv;
    ThreadEnv *attachLocked(bool vmThread);
    void pushFrame(ThreadEnv *t);
    void popFrame(ThreadEnv *t);
    void forgetThreadLocked(ThreadEnv *t);
    static void onThreadEnd(void *value);

    std::string name_;
    jint version_;
    size_t localRefLimit_;
    JavaVM vm_;
    JNIInvokeInterface_ invoke_;
    JNINativeInterface_ native_;
    pthread_key_t threadEndKey_;

    std::mutex mutex_;
    std::map<pthread_t, std::unique_ptr<ThreadEnv>> threads_;
    std::vector<std::unique_ptr<Object>> objects_;
    std::map<std::string, Object *> classes_;
    std::vector<std::unique_ptr<Method>> methods_;
    std::vector<std::unique_ptr<Field>> fields_;
    std::set<Ref *> refs_;
    std::map<void *, Object *> elementsOut_;
    std::set<const char *> utfOut_;
    size_t liveLocal_ = 0, peakLocal_ = 0, liveGlobal_ = 0;
    Method *throwableToString_ = nullptr;

    std::atomic<bool> hideAppClasses_{false}, elementsUnavailable_{false},
        elementsFailureRaises_{false}, newArraysFail_{false}, attachFails_{false};
    std::atomic<int> attaches_{0}, detaches_{0}, endedAttached_{0}, failedClassLookups_{0},
        writeBacks_{0};
};

} // namespace standin

#endif
