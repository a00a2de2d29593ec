// The stand-in VM's JNI function tables. Every slot that is not implemented
// here aborts with its name.
#include <stdarg.h>
#include <string.h>

#include <utility>

#include "StandinObjects.h"

namespace standin {
namespace {

#include "JniSlotNames.inc"

const size_t kNativeSlots = sizeof(JNINativeInterface_) / sizeof(void *);
const size_t kInvokeSlots = sizeof(JNIInvokeInterface_) / sizeof(void *);
static_assert(sizeof kNativeSlotNames / sizeof *kNativeSlotNames == kNativeSlots,
              "slot names match this jni.h");
static_assert(sizeof kInvokeSlotNames / sizeof *kInvokeSlotNames == kInvokeSlots,
              "slot names match this jni.h");

// Every slot's first argument is the environment or the VM, whatever else
// it takes, so a stub that reads just that one can stand in any slot.
template <size_t N> void unimplementedNative(JNIEnv *env) {
    Vm::of(env)->fail(kNativeSlotNames[N], "not implemented by the stand-in VM");
}
template <size_t N> void unimplementedInvoke(JavaVM *vm) {
    Vm::of(vm)->fail(kInvokeSlotNames[N], "not implemented by the stand-in VM");
}
template <size_t... N> void fillNative(void **slots, std::index_sequence<N...>) {
    ((slots[N] = reinterpret_cast<void *>(&unimplementedNative<N>)), ...);
}
template <size_t... N> void fillInvoke(void **slots, std::index_sequence<N...>) {
    ((slots[N] = reinterpret_cast<void *>(&unimplementedInvoke<N>)), ...);
}

#define ENTER(name) \
    Vm *vm = Vm::of(env); \
    ThreadEnv *t = vm->thread(env, name)
#define ENTER_PENDING_OK(name) \
    Vm *vm = Vm::of(env); \
    ThreadEnv *t = vm->thread(env, name, true)

// ---- invocation interface ---------------------------------------------------------

jint JNICALL GetEnv(JavaVM *jvm, void **env, jint version) { return Vm::of(jvm)->getEnv(env, version); }
jint JNICALL AttachCurrentThread(JavaVM *jvm, void **env, void *) { return Vm::of(jvm)->attach(env); }
jint JNICALL DetachCurrentThread(JavaVM *jvm) { return Vm::of(jvm)->detach(); }

// ---- classes, methods, calls --------------------------------------------------------

jint JNICALL GetVersion(JNIEnv *env) {
    ENTER("GetVersion");
    (void)vm;
    (void)t;
    return JNI_VERSION_1_6;
}

jclass JNICALL FindClass(JNIEnv *env, const char *name) {
    ENTER("FindClass");
    return static_cast<jclass>(vm->newLocal(t, vm->findClass(t, name)));
}

jclass JNICALL GetObjectClass(JNIEnv *env, jobject object) {
    ENTER("GetObjectClass");
    Object *o = vm->resolve(t, object, "GetObjectClass");
    if (o == nullptr) vm->fail("GetObjectClass", "null object");
    if (o->kind == kClass) vm->fail("GetObjectClass", "classes of classes are not modelled");
    return static_cast<jclass>(vm->newLocal(t, o->type));
}

jmethodID lookUpMethod(JNIEnv *env, jclass type, const char *name, const char *sig, bool isStatic,
                       const char *function) {
    ENTER(function);
    Object *c = vm->resolve(t, type, function);
    if (c == nullptr || c->kind != kClass) vm->fail(function, "not a class");
    Method *m = vm->findMethod(c, name, sig, isStatic);
    if (m == nullptr) vm->throwNew(t, "java/lang/NoSuchMethodError", std::string(name) + sig);
    return reinterpret_cast<jmethodID>(m);
}

jmethodID JNICALL GetMethodID(JNIEnv *env, jclass type, const char *name, const char *sig) {
    return lookUpMethod(env, type, name, sig, false, "GetMethodID");
}
jmethodID JNICALL GetStaticMethodID(JNIEnv *env, jclass type, const char *name, const char *sig) {
    return lookUpMethod(env, type, name, sig, true, "GetStaticMethodID");
}

std::vector<jvalue> argsFromVaList(Method *m, va_list args) {
    std::vector<jvalue> values(m->params.size() + 1);  // +1: never empty
    for (size_t i = 0; i < m->params.size(); ++i) {
        switch (m->params[i]) {
        case 'Z': values[i].z = static_cast<jboolean>(va_arg(args, int)); break;
        case 'B': values[i].b = static_cast<jbyte>(va_arg(args, int)); break;
        case 'C': values[i].c = static_cast<jchar>(va_arg(args, int)); break;
        case 'S': values[i].s = static_cast<jshort>(va_arg(args, int)); break;
        case 'I': values[i].i = va_arg(args, jint); break;
        case 'J': values[i].j = va_arg(args, jlong); break;
        case 'F': values[i].f = static_cast<jfloat>(va_arg(args, double)); break;
        case 'D': values[i].d = va_arg(args, double); break;
        default: values[i].l = va_arg(args, jobject); break;
        }
    }
    return values;
}

// Checks the call against the method (static or not, receiver of the right
// class, every reference argument a live reference of this VM) and runs it.
jvalue call(JNIEnv *env, jobject self, jmethodID id, const jvalue *args, bool isStatic,
            char result, const char *function) {
    ENTER(function);
    Method *m = vm->resolveMethod(id, function);
    if (m->isStatic != isStatic) vm->fail(function, "%s is %sstatic", m->name.c_str(), isStatic ? "not " : "");
    if (m->result != result) vm->fail(function, "%s returns '%c'", m->name.c_str(), m->result);
    Object *receiver = vm->resolve(t, self, function);
    if (receiver == nullptr) vm->fail(function, "null receiver");
    if (isStatic ? receiver != m->owner
                 : !(receiver->type == m->owner || (m->owner->throwable && receiver->kind == kThrowable))) {
        vm->fail(function, "%s called on an object of the wrong class", m->name.c_str());
    }
    for (size_t i = 0; i < m->params.size(); ++i) {
        if (m->params[i] == 'L') vm->resolve(t, args[i].l, function);
    }
    return vm->invoke(t, m, self, args);
}

void JNICALL CallVoidMethod(JNIEnv *env, jobject self, jmethodID id, ...) {
    va_list args;
    va_start(args, id);
    std::vector<jvalue> values = argsFromVaList(Vm::of(env)->resolveMethod(id, "CallVoidMethod"), args);
    va_end(args);
    call(env, self, id, values.data(), false, 'V', "CallVoidMethod");
}
void JNICALL CallVoidMethodV(JNIEnv *env, jobject self, jmethodID id, va_list args) {
    std::vector<jvalue> values = argsFromVaList(Vm::of(env)->resolveMethod(id, "CallVoidMethodV"), args);
    call(env, self, id, values.data(), false, 'V', "CallVoidMethodV");
}
void JNICALL CallVoidMethodA(JNIEnv *env, jobject self, jmethodID id, const jvalue *args) {
    call(env, self, id, args, false, 'V', "CallVoidMethodA");
}
jobject JNICALL CallObjectMethod(JNIEnv *env, jobject self, jmethodID id, ...) {
    va_list args;
    va_start(args, id);
    std::vector<jvalue> values = argsFromVaList(Vm::of(env)->resolveMethod(id, "CallObjectMethod"), args);
    va_end(args);
    return call(env, self, id, values.data(), false, 'L', "CallObjectMethod").l;
}
jobject JNICALL CallObjectMethodV(JNIEnv *env, jobject self, jmethodID id, va_list args) {
    std::vector<jvalue> values = argsFromVaList(Vm::of(env)->resolveMethod(id, "CallObjectMethodV"), args);
    return call(env, self, id, values.data(), false, 'L', "CallObjectMethodV").l;
}
void JNICALL CallStaticVoidMethod(JNIEnv *env, jclass type, jmethodID id, ...) {
    va_list args;
    va_start(args, id);
    std::vector<jvalue> values =
        argsFromVaList(Vm::of(env)->resolveMethod(id, "CallStaticVoidMethod"), args);
    va_end(args);
    call(env, type, id, values.data(), true, 'V', "CallStaticVoidMethod");
}
void JNICALL CallStaticVoidMethodV(JNIEnv *env, jclass type, jmethodID id, va_list args) {
    std::vector<jvalue> values =
        argsFromVaList(Vm::of(env)->resolveMethod(id, "CallStaticVoidMethodV"), args);
    call(env, type, id, values.data(), true, 'V', "CallStaticVoidMethodV");
}
void JNICALL CallStaticVoidMethodA(JNIEnv *env, jclass type, jmethodID id, const jvalue *args) {
    call(env, type, id, args, true, 'V', "CallStaticVoidMethodA");
}

// call, with the arguments of a va_list.
jvalue callV(JNIEnv *env, jobject self, jmethodID id, va_list args, char result, const char *function) {
    std::vector<jvalue> values = argsFromVaList(Vm::of(env)->resolveMethod(id, function), args);
    return call(env, self, id, values.data(), false, result, function);
}
jboolean JNICALL CallBooleanMethod(JNIEnv *env, jobject self, jmethodID id, ...) {
    va_list args;
    va_start(args, id);
    jboolean result = callV(env, self, id, args, 'Z', "CallBooleanMethod").z;
    va_end(args);
    return result;
}
jboolean JNICALL CallBooleanMethodV(JNIEnv *env, jobject self, jmethodID id, va_list args) {
    return callV(env, self, id, args, 'Z', "CallBooleanMethodV").z;
}
jboolean JNICALL CallBooleanMethodA(JNIEnv *env, jobject self, jmethodID id, const jvalue *args) {
    return call(env, self, id, args, false, 'Z', "CallBooleanMethodA").z;
}

// A new instance of `type`, built by its constructor `id`.
jobject construct(JNIEnv *env, jclass type, jmethodID id, const jvalue *args, const char *function) {
    ENTER(function);
    Object *c = vm->resolve(t, type, function);
    if (c == nullptr || c->kind != kClass || c->throwable) vm->fail(function, "not a plain class");
    Method *m = vm->resolveMethod(id, function);
    if (m->name != "<init>" || m->owner != c) {
        vm->fail(function, "%s is not a constructor of %s", m->name.c_str(), c->name.c_str());
    }
    jobject self = vm->newLocal(t, vm->newObject(kInstance, c));
    call(env, self, id, args, false, 'V', function);
    if (t->pending == nullptr) return self;
    vm->deleteRef(t, self, false, function);
    return nullptr;
}
jobject JNICALL NewObject(JNIEnv *env, jclass type, jmethodID id, ...) {
    va_list args;
    va_start(args, id);
    std::vector<jvalue> values = argsFromVaList(Vm::of(env)->resolveMethod(id, "NewObject"), args);
    va_end(args);
    return construct(env, type, id, values.data(), "NewObject");
}
jobject JNICALL NewObjectV(JNIEnv *env, jclass type, jmethodID id, va_list args) {
    std::vector<jvalue> values = argsFromVaList(Vm::of(env)->resolveMethod(id, "NewObjectV"), args);
    return construct(env, type, id, values.data(), "NewObjectV");
}
jobject JNICALL NewObjectA(JNIEnv *env, jclass type, jmethodID id, const jvalue *args) {
    return construct(env, type, id, args, "NewObjectA");
}

jint JNICALL GetJavaVM(JNIEnv *env, JavaVM **out) {
    ENTER("GetJavaVM");
    (void)t;
    *out = vm->javaVM();
    return JNI_OK;
}

// ---- references ------------------------------------------------------------------------

jobject JNICALL NewGlobalRef(JNIEnv *env, jobject object) {
    ENTER("NewGlobalRef");
    return vm->newGlobal(vm->resolve(t, object, "NewGlobalRef"));
}
jobject JNICALL NewLocalRef(JNIEnv *env, jobject object) {
    ENTER("NewLocalRef");
    return vm->newLocal(t, vm->resolve(t, object, "NewLocalRef"));
}
void JNICALL DeleteGlobalRef(JNIEnv *env, jobject ref) {
    ENTER_PENDING_OK("DeleteGlobalRef");
    vm->deleteRef(t, ref, true, "DeleteGlobalRef");
}
void JNICALL DeleteLocalRef(JNIEnv *env, jobject ref) {
    ENTER_PENDING_OK("DeleteLocalRef");
    vm->deleteRef(t, ref, false, "DeleteLocalRef");
}
jboolean JNICALL IsSameObject(JNIEnv *env, jobject a, jobject b) {
    ENTER("IsSameObject");
    return vm->resolve(t, a, "IsSameObject") == vm->resolve(t, b, "IsSameObject") ? JNI_TRUE : JNI_FALSE;
}

// ---- exceptions -------------------------------------------------------------------------

jint JNICALL Throw(JNIEnv *env, jthrowable exception) {
    ENTER("Throw");
    Object *o = vm->resolve(t, exception, "Throw");
    if (o == nullptr || o->kind != kThrowable) vm->fail("Throw", "not a throwable");
    t->pending = o;
    return JNI_OK;
}
jint JNICALL ThrowNew(JNIEnv *env, jclass type, const char *message) {
    ENTER("ThrowNew");
    Object *c = vm->resolve(t, type, "ThrowNew");
    if (c == nullptr || c->kind != kClass) vm->fail("ThrowNew", "not a class");
    vm->throwNew(t, c->name.c_str(), message != nullptr ? message : "");
    return JNI_OK;
}
jthrowable JNICALL ExceptionOccurred(JNIEnv *env) {
    ENTER_PENDING_OK("ExceptionOccurred");
    return static_cast<jthrowable>(vm->newLocal(t, t->pending));
}
void JNICALL ExceptionDescribe(JNIEnv *env) {
    ENTER_PENDING_OK("ExceptionDescribe");
    if (t->pending != nullptr) fprintf(stderr, "stand-in VM \"%s\": %s\n", vm->name().c_str(),
                                       vm->pendingException(env).c_str());
    t->pending = nullptr;
}
void JNICALL ExceptionClear(JNIEnv *env) {
    ENTER_PENDING_OK("ExceptionClear");
    (void)vm;
    t->pending = nullptr;
}
jboolean JNICALL ExceptionCheck(JNIEnv *env) {
    ENTER_PENDING_OK("ExceptionCheck");
    (void)vm;
    return t->pending != nullptr ? JNI_TRUE : JNI_FALSE;
}

// ---- arrays ---------------------------------------------------------------------------------

jsize JNICALL GetArrayLength(JNIEnv *env, jarray array) {
    ENTER("GetArrayLength");
    Object *a = vm->resolveArray(t, array, "GetArrayLength", -1);
    return static_cast<jsize>(a->kind == kCharArray ? a->chars.size() : a->bytes.size());
}

jobject newArray(JNIEnv *env, jsize length, int kind, const char *function) {
    ENTER(function);
    if (length < 0) vm->fail(function, "negative length %d", static_cast<int>(length));
    if (vm->newArraysFail()) {
        vm->throwNew(t, "java/lang/OutOfMemoryError", "stand-in: no room for an array");
        return nullptr;
    }
    Object *type = vm->findClass(t, kind == kCharArray ? "[C" : "[B");
    Object *a = vm->newObject(kind, type);
    if (kind == kCharArray) a->chars.assign(length, 0); else a->bytes.assign(length, 0);
    return vm->newLocal(t, a);
}
jcharArray JNICALL NewCharArray(JNIEnv *env, jsize length) {
    return static_cast<jcharArray>(newArray(env, length, kCharArray, "NewCharArray"));
}
jbyteArray JNICALL NewByteArray(JNIEnv *env, jsize length) {
    return static_cast<jbyteArray>(newArray(env, length, kByteArray, "NewByteArray"));
}

void *getElements(JNIEnv *env, jarray array, jboolean *isCopy, int kind, const char *function) {
    ENTER(function);
    Object *a = vm->resolveArray(t, array, function, kind);
    void *elements = vm->handOutElements(t, a);
    if (isCopy != nullptr && elements != nullptr) *isCopy = JNI_TRUE;
    return elements;
}
jchar *JNICALL GetCharArrayElements(JNIEnv *env, jcharArray array, jboolean *isCopy) {
    return static_cast<jchar *>(getElements(env, array, isCopy, kCharArray, "GetCharArrayElements"));
}
jbyte *JNICALL GetByteArrayElements(JNIEnv *env, jbyteArray array, jboolean *isCopy) {
    return static_cast<jbyte *>(getElements(env, array, isCopy, kByteArray, "GetByteArrayElements"));
}
void releaseElements(JNIEnv *env, jarray array, void *elements, jint mode, int kind, const char *function) {
    ENTER_PENDING_OK(function);
    vm->takeBackElements(vm->resolveArray(t, array, function, kind), elements, mode, function);
}
void JNICALL ReleaseCharArrayElements(JNIEnv *env, jcharArray array, jchar *elements, jint mode) {
    releaseElements(env, array, elements, mode, kCharArray, "ReleaseCharArrayElements");
}
void JNICALL ReleaseByteArrayElements(JNIEnv *env, jbyteArray array, jbyte *elements, jint mode) {
    releaseElements(env, array, elements, mode, kByteArray, "ReleaseByteArrayElements");
}

// Copies between an array and a buffer; `into` says which way.
void region(JNIEnv *env, jarray array, jsize start, jsize length, void *buffer, bool into, int kind,
            const char *function) {
    ENTER(function);
    Object *a = vm->resolveArray(t, array, function, kind);
    size_t size = kind == kCharArray ? a->chars.size() : a->bytes.size();
    if (start < 0 || length < 0 || static_cast<size_t>(start) + static_cast<size_t>(length) > size) {
        vm->throwNew(t, "java/lang/ArrayIndexOutOfBoundsException", "region out of bounds");
        return;
    }
    size_t width = kind == kCharArray ? sizeof(jchar) : 1;
    char *data = kind == kCharArray ? reinterpret_cast<char *>(a->chars.data())
                                    : reinterpret_cast<char *>(a->bytes.data());
    if (length == 0) return;
    if (into) memcpy(data + start * width, buffer, length * width);
    else memcpy(buffer, data + start * width, length * width);
}
void JNICALL SetCharArrayRegion(JNIEnv *env, jcharArray a, jsize start, jsize n, const jchar *from) {
    region(env, a, start, n, const_cast<jchar *>(from), true, kCharArray, "SetCharArrayRegion");
}
void JNICALL SetByteArrayRegion(JNIEnv *env, jbyteArray a, jsize start, jsize n, const jbyte *from) {
    region(env, a, start, n, const_cast<jbyte *>(from), true, kByteArray, "SetByteArrayRegion");
}
void JNICALL GetCharArrayRegion(JNIEnv *env, jcharArray a, jsize start, jsize n, jchar *to) {
    region(env, a, start, n, to, false, kCharArray, "GetCharArrayRegion");
}
void JNICALL GetByteArrayRegion(JNIEnv *env, jbyteArray a, jsize start, jsize n, jbyte *to) {
    region(env, a, start, n, to, false, kByteArray, "GetByteArrayRegion");
}

// ---- strings -----------------------------------------------------------------------------------

jstring JNICALL NewStringUTF(JNIEnv *env, const char *utf) {
    ENTER("NewStringUTF");
    Object *s = vm->newObject(kString, vm->findClass(t, "java/lang/String"));
    s->text = utf;
    return static_cast<jstring>(vm->newLocal(t, s));
}
Object *resolveString(Vm *vm, ThreadEnv *t, jstring string, const char *function) {
    Object *s = vm->resolve(t, string, function);
    if (s == nullptr || s->kind != kString) vm->fail(function, "not a string");
    return s;
}
jsize JNICALL GetStringUTFLength(JNIEnv *env, jstring string) {
    ENTER("GetStringUTFLength");
    return static_cast<jsize>(resolveString(vm, t, string, "GetStringUTFLength")->text.size());
}
const char *JNICALL GetStringUTFChars(JNIEnv *env, jstring string, jboolean *isCopy) {
    ENTER("GetStringUTFChars");
    if (isCopy != nullptr) *isCopy = JNI_TRUE;
    return vm->handOutUtf(resolveString(vm, t, string, "GetStringUTFChars"));
}
void JNICALL ReleaseStringUTFChars(JNIEnv *env, jstring string, const char *utf) {
    ENTER_PENDING_OK("ReleaseStringUTFChars");
    resolveString(vm, t, string, "ReleaseStringUTFChars");
    vm->takeBackUtf(utf, "ReleaseStringUTFChars");
}

} // namespace

void installFieldJni(JNINativeInterface_ *native);

void installJniTables(Vm *vm, JNIInvokeInterface_ *invoke, JNINativeInterface_ *native) {
    fillInvoke(reinterpret_cast<void **>(invoke), std::make_index_sequence<kInvokeSlots>());
    invoke->reserved0 = vm;
    invoke->reserved1 = nullptr;
    invoke->reserved2 = nullptr;
    invoke->GetEnv = GetEnv;
    invoke->AttachCurrentThread = AttachCurrentThread;
    invoke->DetachCurrentThread = DetachCurrentThread;

    fillNative(reinterpret_cast<void **>(native), std::make_index_sequence<kNativeSlots>());
    native->reserved0 = vm;
    native->reserved1 = nullptr;
    native->reserved2 = nullptr;
    native->reserved3 = nullptr;
    native->GetVersion = GetVersion;
    native->FindClass = FindClass;
    native->GetObjectClass = GetObjectClass;
    native->GetMethodID = GetMethodID;
    native->GetStaticMethodID = GetStaticMethodID;
    native->CallVoidMethod = CallVoidMethod;
    native->CallVoidMethodV = CallVoidMethodV;
    native->CallVoidMethodA = CallVoidMethodA;
    native->CallObjectMethod = CallObjectMethod;
    native->CallObjectMethodV = CallObjectMethodV;
    native->CallStaticVoidMethod = CallStaticVoidMethod;
    native->CallStaticVoidMethodV = CallStaticVoidMethodV;
    native->CallStaticVoidMethodA = CallStaticVoidMethodA;
    native->CallBooleanMethod = CallBooleanMethod;
    native->CallBooleanMethodV = CallBooleanMethodV;
    native->CallBooleanMethodA = CallBooleanMethodA;
    native->NewObject = NewObject;
    native->NewObjectV = NewObjectV;
    native->NewObjectA = NewObjectA;
    native->GetJavaVM = GetJavaVM;
    native->NewGlobalRef = NewGlobalRef;
    native->NewLocalRef = NewLocalRef;
    native->DeleteGlobalRef = DeleteGlobalRef;
    native->DeleteLocalRef = DeleteLocalRef;
    native->IsSameObject = IsSameObject;
    native->Throw = Throw;
    native->ThrowNew = ThrowNew;
    native->ExceptionOccurred = ExceptionOccurred;
    native->ExceptionDescribe = ExceptionDescribe;
    native->ExceptionClear = ExceptionClear;
    native->ExceptionCheck = ExceptionCheck;
    native->GetArrayLength = GetArrayLength;
    native->NewCharArray = NewCharArray;
    native->NewByteArray = NewByteArray;
    native->GetCharArrayElements = GetCharArrayElements;
    native->GetByteArrayElements = GetByteArrayElements;
    native->ReleaseCharArrayElements = ReleaseCharArrayElements;
    native->ReleaseByteArrayElements = ReleaseByteArrayElements;
    native->SetCharArrayRegion = SetCharArrayRegion;
    native->SetByteArrayRegion = SetByteArrayRegion;
    native->GetCharArrayRegion = GetCharArrayRegion;
    native->GetByteArrayRegion = GetByteArrayRegion;
    native->NewStringUTF = NewStringUTF;
    native->GetStringUTFLength = GetStringUTFLength;
    native->GetStringUTFChars = GetStringUTFChars;
    native->ReleaseStringUTFChars = ReleaseStringUTFChars;
    installFieldJni(native);
}

} // namespace standin
