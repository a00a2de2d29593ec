#include "StandinVm.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "StandinObjects.h"

namespace standin {

void installJniTables(Vm *vm, JNIInvokeInterface_ *invoke, JNINativeInterface_ *native);

namespace {

std::vector<char> parseParams(const std::string &signature, char *result) {
    std::vector<char> params;
    size_t i = 1;  // after '('
    while (i < signature.size() && signature[i] != ')') {
        char c = signature[i];
        if (c == '[' || c == 'L') {
            while (signature[i] == '[') ++i;
            if (signature[i] == 'L') i = signature.find(';', i);
            params.push_back('L');
        } else {
            params.push_back(c);
        }
        ++i;
    }
    char r = signature[i + 1];
    *result = (r == '[' || r == 'L') ? 'L' : r;
    return params;
}

std::string dotted(std::string name) {
    std::replace(name.begin(), name.end(), '/', '.');
    return name;
}

const char *const kBootThrowables[] = {
    "java/lang/Throwable",
    "java/lang/RuntimeException",
    "java/lang/IllegalStateException",
    "java/lang/OutOfMemoryError",
    "java/lang/NoClassDefFoundError",
    "java/lang/NoSuchMethodError",
    "java/lang/NoSuchFieldError",
    "java/lang/NullPointerException",
    "java/lang/ArrayIndexOutOfBoundsException",
};

} // namespace

Vm::Vm(const char *name, jint version, size_t localRefLimit)
    : name_(name), version_(version), localRefLimit_(localRefLimit) {
    installJniTables(this, &invoke_, &native_);
    vm_.functions = &invoke_;
    if (pthread_key_create(&threadEndKey_, &Vm::onThreadEnd) != 0) {
        fail("Vm", "no thread-specific-data key left");
    }
    defineClass("java/lang/Object", Loader::Boot);
    defineClass("java/lang/String", Loader::Boot);
    defineClass("[C", Loader::Boot);
    defineClass("[B", Loader::Boot);
    for (const char *t : kBootThrowables) defineClass(t, Loader::Boot, true);
    Object *throwable = classes_["java/lang/Throwable"];
    methods_.emplace_back(new Method{throwable, "toString", "()Ljava/lang/String;", false, {}, 'L',
                                     [this](JNIEnv *env, jobject self, const jvalue *) {
                                         ThreadEnv *t = thread(env, "Throwable.toString");
                                         Object *ex = resolve(t, self, "Throwable.toString");
                                         Object *s = newObject(kString, classes_["java/lang/String"]);
                                         s->text = dotted(ex->type->name);
                                         if (!ex->text.empty()) s->text += ": " + ex->text;
                                         jvalue v;
                                         v.l = newLocal(t, s);
                                         return v;
                                     }});
    throwableToString_ = methods_.back().get();
}

Vm::~Vm() {
    pthread_key_delete(threadEndKey_);
    for (Ref *r : refs_) delete r;
}

Vm *Vm::of(JNIEnv *env) { return static_cast<Vm *>(env->functions->reserved0); }
Vm *Vm::of(JavaVM *vm) { return static_cast<Vm *>(vm->functions->reserved0); }

void Vm::fail(const char *function, const char *format, ...) {
    fprintf(stderr, "stand-in VM \"%s\": %s: ", name_.c_str(), function);
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
    fflush(stderr);
    abort();
}

// ---- threads ---------------------------------------------------------------

ThreadEnv *Vm::attachLocked(bool vmThread) {
    std::unique_ptr<ThreadEnv> t(new ThreadEnv());
    t->env.functions = &native_;
    t->vm = this;
    t->id = pthread_self();
    t->vmThread = vmThread;
    t->frames.emplace_back();
    ThreadEnv *raw = t.get();
    threads_[raw->id] = std::move(t);
    pthread_setspecific(threadEndKey_, raw);
    return raw;
}

JNIEnv *Vm::attachVmThread() {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = threads_.find(pthread_self());
    if (it != threads_.end()) return &it->second->env;
    return &attachLocked(true)->env;
}

void Vm::detachCurrentThread() {
    if (detach() != JNI_OK) fail("detachCurrentThread", "the thread is not attached");
}

bool Vm::isCurrentThreadAttached() {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_.count(pthread_self()) != 0;
}

void Vm::forgetThreadLocked(ThreadEnv *t) {
    for (auto &frame : t->frames) {
        for (Ref *r : frame) {
            refs_.erase(r);
            delete r;
            --liveLocal_;
        }
    }
    t->liveLocal = 0;
    pthread_setspecific(threadEndKey_, nullptr);
    threads_.erase(t->id);
}

// A thread that ends attached is a fault (a Dalvik VM aborts the process).
// Other keys' destructors, such as the relay's, run in the first round and
// may detach the thread after this one ran, so the verdict waits for the
// second round. Not later: sanitizer runtimes tear the thread down in the
// last round.
void Vm::onThreadEnd(void *value) {
    ThreadEnv *t = static_cast<ThreadEnv *>(value);
    Vm *vm = t->vm;
    std::lock_guard<std::mutex> lock(vm->mutex_);
    auto it = vm->threads_.find(pthread_self());
    if (it == vm->threads_.end() || it->second.get() != t) return;
    if (++t->exitPasses < 2) {
        pthread_setspecific(vm->threadEndKey_, t);
        return;
    }
    ++vm->endedAttached_;
    vm->forgetThreadLocked(t);
}

ThreadEnv *Vm::thread(JNIEnv *env, const char *function, bool allowedWhilePending) {
    ThreadEnv *t = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = threads_.find(pthread_self());
        if (it != threads_.end()) t = it->second.get();
    }
    if (t == nullptr || &t->env != env) {
        fail(function, "environment %p is not the calling thread's environment in this VM",
             static_cast<void *>(env));
    }
    if (t->pending != nullptr && !allowedWhilePending) {
        fail(function, "called while %s is pending", dotted(t->pending->type->name).c_str());
    }
    return t;
}

jint Vm::getEnv(void **env, jint version) {
    static const jint kKnown[] = {0x00010001, 0x00010002, 0x00010004, 0x00010006, 0x00010008};
    *env = nullptr;
    bool known = std::find(std::begin(kKnown), std::end(kKnown), version) != std::end(kKnown);
    if (!known || version > version_) return JNI_EVERSION;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = threads_.find(pthread_self());
    if (it == threads_.end()) return JNI_EDETACHED;
    *env = &it->second->env;
    return JNI_OK;
}

jint Vm::attach(void **env) {
    *env = nullptr;
    if (attachFails_) return JNI_ERR;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = threads_.find(pthread_self());
    if (it != threads_.end()) {
        *env = &it->second->env;
        return JNI_OK;
    }
    *env = &attachLocked(false)->env;
    ++attaches_;
    return JNI_OK;
}

jint Vm::detach() {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = threads_.find(pthread_self());
    if (it == threads_.end()) return JNI_EDETACHED;
    ThreadEnv *t = it->second.get();
    if (t->frames.size() > 1) fail("DetachCurrentThread", "the thread is inside a native call");
    forgetThreadLocked(t);
    ++detaches_;
    return JNI_OK;
}

// ---- references --------------------------------------------------------------

void Vm::pushFrame(ThreadEnv *t) {
    std::lock_guard<std::mutex> lock(mutex_);
    t->frames.emplace_back();
}

void Vm::popFrame(ThreadEnv *t) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Ref *r : t->frames.back()) {
        refs_.erase(r);
        delete r;
        --liveLocal_;
        --t->liveLocal;
    }
    t->frames.pop_back();
}

Object *Vm::resolve(ThreadEnv *t, jobject handle, const char *function) {
    if (handle == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    Ref *r = reinterpret_cast<Ref *>(handle);
    if (refs_.count(r) == 0) {
        fail(function, "%p is not a live reference of this VM (another VM's handle, or deleted)",
             static_cast<void *>(handle));
    }
    if (!r->global && r->thread != t) {
        fail(function, "local reference %p belongs to another thread", static_cast<void *>(handle));
    }
    return r->object;
}

Object *Vm::resolveArray(ThreadEnv *t, jobject handle, const char *function, int kind) {
    Object *o = resolve(t, handle, function);
    if (o == nullptr) fail(function, "null array");
    if (kind >= 0 ? o->kind != kind : (o->kind != kCharArray && o->kind != kByteArray)) {
        fail(function, "%p is not an array of the expected type", static_cast<void *>(handle));
    }
    return o;
}

Method *Vm::resolveMethod(jmethodID id, const char *function) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto &m : methods_) {
        if (reinterpret_cast<jmethodID>(m.get()) == id) return m.get();
    }
    fail(function, "%p is not a method ID of this VM", static_cast<void *>(id));
}

jobject Vm::newLocal(ThreadEnv *t, Object *object) {
    if (object == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    if (localRefLimit_ != 0 && t->liveLocal >= localRefLimit_) {
        fail("new local reference", "more than %zu live local references on this thread (the limit is %zu)",
             localRefLimit_, localRefLimit_);
    }
    ++t->liveLocal;
    Ref *r = new Ref{object, false, t};
    refs_.insert(r);
    t->frames.back().push_back(r);
    peakLocal_ = std::max(peakLocal_, ++liveLocal_);
    return reinterpret_cast<jobject>(r);
}

jobject Vm::newGlobal(Object *object) {
    if (object == nullptr) return nullptr;
    Ref *r = new Ref{object, true, nullptr};
    std::lock_guard<std::mutex> lock(mutex_);
    refs_.insert(r);
    ++liveGlobal_;
    return reinterpret_cast<jobject>(r);
}

void Vm::deleteRef(ThreadEnv *t, jobject handle, bool global, const char *function) {
    if (handle == nullptr) return;
    resolve(t, handle, function);
    std::lock_guard<std::mutex> lock(mutex_);
    Ref *r = reinterpret_cast<Ref *>(handle);
    if (r->global != global) {
        fail(function, "%p is a %s reference", static_cast<void *>(handle),
             r->global ? "global" : "local");
    }
    if (global) {
        --liveGlobal_;
    } else {
        for (auto frame = t->frames.rbegin(); frame != t->frames.rend(); ++frame) {
            auto found = std::find(frame->rbegin(), frame->rend(), r);
            if (found != frame->rend()) {
                frame->erase(std::next(found).base());
                break;
            }
        }
        --liveLocal_;
        --t->liveLocal;
    }
    refs_.erase(r);
    delete r;
}

size_t Vm::liveLocalRefs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return liveLocal_;
}
size_t Vm::liveGlobalRefs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return liveGlobal_;
}
size_t Vm::peakLocalRefs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return peakLocal_;
}
void Vm::resetPeakLocalRefs() {
    std::lock_guard<std::mutex> lock(mutex_);
    peakLocal_ = liveLocal_;
}
size_t Vm::elementsOutstanding() {
    std::lock_guard<std::mutex> lock(mutex_);
    return elementsOut_.size() + utfOut_.size();
}

// ---- objects, classes, methods -------------------------------------------------

Object *Vm::newObject(int kind, Object *type) {
    std::unique_ptr<Object> o(new Object());
    o->kind = kind;
    o->type = type;
    std::lock_guard<std::mutex> lock(mutex_);
    objects_.push_back(std::move(o));
    return objects_.back().get();
}

void Vm::defineClass(const std::string &name, Loader loader, bool throwable) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (classes_.count(name) != 0) return;
    }
    Object *c = newObject(kClass, nullptr);
    c->name = name;
    c->loader = loader;
    c->throwable = throwable;
    std::lock_guard<std::mutex> lock(mutex_);
    classes_[name] = c;
}

void Vm::defineMethod(const std::string &className, const std::string &name,
                      const std::string &signature, bool isStatic, MethodBody body) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto c = classes_.find(className);
    if (c == classes_.end()) fail("defineMethod", "no class %s", className.c_str());
    char result = 'V';
    std::vector<char> params = parseParams(signature, &result);
    methods_.emplace_back(
        new Method{c->second, name, signature, isStatic, params, result, std::move(body)});
    c->second->methods.push_back(methods_.back().get());
}

jobject Vm::newGlobalInstance(const std::string &className) {
    Object *type;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto c = classes_.find(className);
        if (c == classes_.end()) fail("newGlobalInstance", "no class %s", className.c_str());
        type = c->second;
    }
    return newGlobal(newObject(kInstance, type));
}

Object *Vm::findClass(ThreadEnv *t, const char *name) {
    Object *c = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = classes_.find(name);
        if (it != classes_.end()) c = it->second;
    }
    if (c != nullptr && c->loader == Loader::App && !t->vmThread && hideAppClasses_) c = nullptr;
    if (c == nullptr) {
        ++failedClassLookups_;
        throwNew(t, "java/lang/NoClassDefFoundError", dotted(name));
    }
    return c;
}

Method *Vm::findMethod(Object *type, const char *name, const char *signature, bool isStatic) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Method *m : type->methods) {
        if (m->name == name && m->signature == signature && m->isStatic == isStatic) return m;
    }
    if (type->throwable && !isStatic && throwableToString_->name == name &&
        throwableToString_->signature == signature) {
        return throwableToString_;
    }
    return nullptr;
}

void Vm::throwNew(ThreadEnv *t, const char *className, const std::string &message) {
    Object *type;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = classes_.find(className);
        if (it == classes_.end() || !it->second->throwable) {
            fail("ThrowNew", "%s is not a throwable class of this VM", className);
        }
        type = it->second;
    }
    Object *ex = newObject(kThrowable, type);
    ex->text = message;
    t->pending = ex;
}

jvalue Vm::invoke(ThreadEnv *t, Method *method, jobject self, const jvalue *args) {
    pushFrame(t);
    jvalue result = method->body(&t->env, self, args);
    if (method->result == 'L') {
        Object *o = t->pending != nullptr ? nullptr : resolve(t, result.l, method->name.c_str());
        popFrame(t);
        result.l = newLocal(t, o);
    } else {
        popFrame(t);
    }
    return result;
}

void Vm::callNative(JNIEnv *env, const std::function<void()> &call) {
    ThreadEnv *t = thread(env, "callNative");
    pushFrame(t);
    call();
    popFrame(t);
}

// ---- arrays and strings ----------------------------------------------------------

void *Vm::handOutElements(ThreadEnv *t, Object *array) {
    if (elementsUnavailable_) {
        if (elementsFailureRaises_) throwNew(t, "java/lang/OutOfMemoryError", "array elements");
        return nullptr;
    }
    size_t size = array->kind == kCharArray ? array->chars.size() * sizeof(jchar) : array->bytes.size();
    // Always a copy, one byte longer than needed, so that no caller can use
    // the array's storage itself and an empty array still has an address.
    void *copy = malloc(size + 1);
    if (copy == nullptr) fail("Get<Type>ArrayElements", "out of memory");
    if (size > 0) memcpy(copy, array->kind == kCharArray ? static_cast<const void *>(array->chars.data())
                                          : static_cast<const void *>(array->bytes.data()),
           size);
    std::lock_guard<std::mutex> lock(mutex_);
    elementsOut_[copy] = array;
    return copy;
}

void Vm::takeBackElements(Object *array, void *elements, jint mode, const char *function) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = elementsOut_.find(elements);
        if (it == elementsOut_.end() || it->second != array) {
            fail(function, "%p are not elements this array handed out", elements);
        }
        if (mode != JNI_COMMIT) elementsOut_.erase(it);
    }
    if (mode != JNI_ABORT) {
        ++writeBacks_;
        if (array->kind == kCharArray) {
            memcpy(array->chars.data(), elements, array->chars.size() * sizeof(jchar));
        } else {
            memcpy(array->bytes.data(), elements, array->bytes.size());
        }
    }
    if (mode != JNI_COMMIT) free(elements);
}

const char *Vm::handOutUtf(Object *string) {
    char *copy = strdup(string->text.c_str());
    if (copy == nullptr) fail("GetStringUTFChars", "out of memory");
    std::lock_guard<std::mutex> lock(mutex_);
    utfOut_.insert(copy);
    return copy;
}

void Vm::takeBackUtf(const char *utf, const char *function) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (utfOut_.erase(utf) == 0) fail(function, "%p was not handed out", static_cast<const void *>(utf));
    }
    free(const_cast<char *>(utf));
}

std::vector<jchar> Vm::charsOf(jobject array) {
    std::lock_guard<std::mutex> lock(mutex_);
    Ref *r = reinterpret_cast<Ref *>(array);
    if (refs_.count(r) == 0 || r->object->kind != kCharArray) fail("charsOf", "not a char array");
    return r->object->chars;
}

std::vector<jbyte> Vm::bytesOf(jobject array) {
    std::lock_guard<std::mutex> lock(mutex_);
    Ref *r = reinterpret_cast<Ref *>(array);
    if (refs_.count(r) == 0 || r->object->kind != kByteArray) fail("bytesOf", "not a byte array");
    return r->object->bytes;
}

std::string Vm::pendingException(JNIEnv *env) {
    ThreadEnv *t = thread(env, "pendingException", true);
    if (t->pending == nullptr) return "";
    std::string s = dotted(t->pending->type->name);
    if (!t->pending->text.empty()) s += ": " + t->pending->text;
    return s;
}

} // namespace standin
