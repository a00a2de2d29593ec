// Natives of the Java test-support class StandinVm: stand-in Java VMs in the
// JVM's process that run the binding's native methods as further VMs, the
// way a process's Dalvik VM runs them beside its JVM. Each call attaches the
// calling JVM thread to the stand-in for its length, and an exception the
// binding leaves pending there is raised in the JVM under the same class.
#include <jni.h>
#include <stdlib.h>

#include <string>

#include <jni_support/JniThrow.h>
#include <jni_support/ScopedLocalRef.h>
#include <standin/StandinVm.h>

#include "TransferAreaLayout.h"

using jni_support::ScopedLocalRef;

extern "C" {
// The binding's exports; their class argument is never read.
JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_TrellumJNI_createChannel(
    JNIEnv *, jclass, jint);
JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_TrellumJNI_addMessageToChannel(
    JNIEnv *, jclass, jint, jint, jobject);
JNIEXPORT jobject JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_TrellumJNI_removeMessageFromChannel(
    JNIEnv *, jclass, jint, jint);
JNIEXPORT jobject JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_TrellumJNI_peekMessageFromChannel(
    JNIEnv *, jclass, jint, jint);
JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_NativePipes_initWaiter(JNIEnv *, jclass, jlong);
JNIEXPORT jbyteArray JNICALL Java_com_fendrel_vm_channel_NativePipes_receiveInterruptibly(
    JNIEnv *, jclass, jint, jint, jlong, jlong, jint, jobject, jboolean);
JNIEXPORT void JNICALL JNI_OnUnload(JavaVM *, void *);
}

namespace {

const char kMessage[] = "com/fendrel/vm/channel/impl/VMMessageImpl";
const char kHeader[] = "com/fendrel/vm/channel/impl/VMMessageHeaderImpl";
const char kBody[] = "com/fendrel/vm/channel/impl/VMMessageBodyImpl";
const char kHeaderType[] = "Lcom/fendrel/vm/channel/impl/VMMessageHeaderImpl;";
const char kBodyType[] = "Lcom/fendrel/vm/channel/impl/VMMessageBodyImpl;";
const char *const kHeaderInts[] = {"type", "priority", "channelID", "messageID", "attributes"};
const jint kAreaCapacity = 16;  // smaller than some test bodies: both ways out are taken

standin::Vm *vmAt(jlong handle) { return reinterpret_cast<standin::Vm *>(static_cast<intptr_t>(handle)); }

jfieldID field(JNIEnv *env, const char *className, const char *name, const char *signature) {
    ScopedLocalRef<jclass> c(env, env->FindClass(className));
    return env->GetFieldID(c.get(), name, signature);
}

// The binding's message classes as it expects them, with a constructor that
// fills them as the Java one does, and a Thread whose status is never set.
void defineJavaClasses(standin::Vm &vm) {
    vm.defineClass(kMessage, standin::Loader::App);
    vm.defineClass(kHeader, standin::Loader::App);
    vm.defineClass(kBody, standin::Loader::App);
    for (const char *name : kHeaderInts) vm.defineField(kHeader, name, "I");
    vm.defineField(kBody, "data", "[B");
    vm.defineField(kMessage, "header", kHeaderType);
    vm.defineField(kMessage, "body", kBodyType);
    vm.defineMethod(kMessage, "<init>", "(IIIII[B)V", false, [](JNIEnv *env, jobject self, const jvalue *args) {
        ScopedLocalRef<jclass> headerClass(env, env->FindClass(kHeader));
        ScopedLocalRef<jclass> bodyClass(env, env->FindClass(kBody));
        jobject header = env->AllocObject(headerClass.get());
        for (int i = 0; i < 5; ++i) {
            env->SetIntField(header, field(env, kHeader, kHeaderInts[i], "I"), args[i].i);
        }
        jobject body = env->AllocObject(bodyClass.get());
        env->SetObjectField(body, field(env, kBody, "data", "[B"), args[5].l);
        env->SetObjectField(self, field(env, kMessage, "header", kHeaderType), header);
        env->SetObjectField(self, field(env, kMessage, "body", kBodyType), body);
        return jvalue();
    });
    vm.defineClass("java/lang/Thread", standin::Loader::Boot);
    vm.defineMethod("java/lang/Thread", "isInterrupted", "()Z", false, [](JNIEnv *, jobject, const jvalue *) {
        jvalue v;
        v.z = JNI_FALSE;
        return v;
    });
}

// Runs `call(env)` in a native frame of the stand-in on the calling thread,
// then raises in the JVM what it left pending.
template <typename Call>
void inStandin(JNIEnv *jvm, jlong handle, Call call) {
    standin::Vm *vm = vmAt(handle);
    JNIEnv *env = vm->attachVmThread();
    std::string pending;
    vm->callNative(env, [&] {
        call(env);
        pending = vm->pendingException(env);
        env->ExceptionClear();
    });
    vm->detachCurrentThread();
    if (pending.empty()) return;
    const size_t colon = pending.find(": ");
    std::string className = pending.substr(0, colon);
    for (char &c : className) c = c == '.' ? '/' : c;
    const char *message = colon == std::string::npos ? "" : pending.c_str() + colon + 2;
    jni_support::throwNew(jvm, className.c_str(), message);
}

// A stand-in message object from the JVM's header and body arrays.
jobject standinMessage(JNIEnv *jvm, JNIEnv *env, jintArray header, jbyteArray body) {
    jint h[5];
    jvm->GetIntArrayRegion(header, 0, 5, h);
    const jsize length = jvm->GetArrayLength(body);
    jbyte *bytes = jvm->GetByteArrayElements(body, nullptr);
    ScopedLocalRef<jbyteArray> data(env, env->NewByteArray(length));
    env->SetByteArrayRegion(data.get(), 0, length, bytes);
    jvm->ReleaseByteArrayElements(body, bytes, JNI_ABORT);
    ScopedLocalRef<jclass> c(env, env->FindClass(kMessage));
    jmethodID constructor = env->GetMethodID(c.get(), "<init>", "(IIIII[B)V");
    return env->NewObject(c.get(), constructor, h[0], h[1], h[2], h[3], h[4], data.get());
}

// Copies a stand-in message object's header into `header`; returns its body
// as a new JVM array.
jbyteArray jvmCopy(JNIEnv *jvm, JNIEnv *env, jobject message, jintArray header) {
    ScopedLocalRef<jobject> h(env, env->GetObjectField(message, field(env, kMessage, "header", kHeaderType)));
    ScopedLocalRef<jobject> b(env, env->GetObjectField(message, field(env, kMessage, "body", kBodyType)));
    for (jsize i = 0; i < 5; ++i) {
        const jint value = env->GetIntField(h.get(), field(env, kHeader, kHeaderInts[i], "I"));
        jvm->SetIntArrayRegion(header, i, 1, &value);
    }
    jfieldID dataField = field(env, kBody, "data", "[B");
    ScopedLocalRef<jbyteArray> data(env, static_cast<jbyteArray>(env->GetObjectField(b.get(), dataField)));
    const jsize length = env->GetArrayLength(data.get());
    jbyteArray copy = jvm->NewByteArray(length);
    jbyte *bytes = env->GetByteArrayElements(data.get(), nullptr);
    jvm->SetByteArrayRegion(copy, 0, length, bytes);
    env->ReleaseByteArrayElements(data.get(), bytes, JNI_ABORT);
    return copy;
}

} // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_StandinVm_create(
    JNIEnv *jvm, jclass, jstring name) {
    const char *utf = jvm->GetStringUTFChars(name, nullptr);
    standin::Vm *vm = new standin::Vm(utf, JNI_VERSION_1_6, standin::kDalvikLocalRefLimit);
    jvm->ReleaseStringUTFChars(name, utf);
    defineJavaClasses(*vm);
    return static_cast<jlong>(reinterpret_cast<intptr_t>(vm));
}

JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_StandinVm_createChannel(
    JNIEnv *jvm, jclass, jlong vm, jint channel) {
    inStandin(jvm, vm, [&](JNIEnv *env) {
        Java_com_fendrel_vm_channel_Linux_1JVM_TrellumJNI_createChannel(env, nullptr, channel);
    });
}

JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_StandinVm_add(
    JNIEnv *jvm, jclass, jlong vm, jint channel, jint pipeID, jintArray header, jbyteArray body) {
    inStandin(jvm, vm, [&](JNIEnv *env) {
        ScopedLocalRef<jobject> message(env, standinMessage(jvm, env, header, body));
        Java_com_fendrel_vm_channel_Linux_1JVM_TrellumJNI_addMessageToChannel(env, nullptr, channel, pipeID,
                                                                             message.get());
    });
}

JNIEXPORT jbyteArray JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_StandinVm_take(
    JNIEnv *jvm, jclass, jlong vm, jint channel, jint pipeID, jboolean peek, jintArray header) {
    jbyteArray body = nullptr;
    inStandin(jvm, vm, [&](JNIEnv *env) {
        ScopedLocalRef<jobject> message(
            env, peek ? Java_com_fendrel_vm_channel_Linux_1JVM_TrellumJNI_peekMessageFromChannel(
                            env, nullptr, channel, pipeID)
                      : Java_com_fendrel_vm_channel_Linux_1JVM_TrellumJNI_removeMessageFromChannel(
                            env, nullptr, channel, pipeID));
        if (message) body = jvmCopy(jvm, env, message.get(), header);
    });
    return body;
}

// NativePipes.receiveInterruptibly with a Java 17-like racy interrupt, so
// that a wait longer than its first slice looks at the thread's status.
JNIEXPORT jbyteArray JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_StandinVm_poll(
    JNIEnv *jvm, jclass, jlong vm, jint channel, jint pipe, jlong timeoutNanos, jintArray header) {
    using trellum_jvm::TransferArea;
    TransferArea *area = static_cast<TransferArea *>(calloc(1, sizeof(TransferArea) + kAreaCapacity));
    const jlong address = static_cast<jlong>(reinterpret_cast<intptr_t>(area));
    jbyteArray body = nullptr;
    inStandin(jvm, vm, [&](JNIEnv *env) {
        Java_com_fendrel_vm_channel_NativePipes_initWaiter(env, nullptr, address);
        jobject thread = vmAt(vm)->newGlobalInstance("java/lang/Thread");
        ScopedLocalRef<jbyteArray> large(
            env, Java_com_fendrel_vm_channel_NativePipes_receiveInterruptibly(
                     env, nullptr, channel, pipe, timeoutNanos, address, kAreaCapacity, thread, JNI_TRUE));
        env->DeleteGlobalRef(thread);
        if (env->ExceptionCheck() || area->status != TRELLUM_RECEIVED) return;
        jvm->SetIntArrayRegion(header, 0, 5, area->header);
        body = jvm->NewByteArray(area->length);
        if (large) {
            jbyte *bytes = env->GetByteArrayElements(large.get(), nullptr);
            jvm->SetByteArrayRegion(body, 0, area->length, bytes);
            env->ReleaseByteArrayElements(large.get(), bytes, JNI_ABORT);
        } else {
            jvm->SetByteArrayRegion(body, 0, area->length, reinterpret_cast<const jbyte *>(area->body));
        }
    });
    free(area);
    return body;
}

JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_StandinVm_unload(JNIEnv *jvm, jclass, jlong vm) {
    inStandin(jvm, vm, [&](JNIEnv *) { JNI_OnUnload(vmAt(vm)->javaVM(), nullptr); });
}

JNIEXPORT jlong JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_StandinVm_globalRefs(
    JNIEnv *, jclass, jlong vm) {
    return static_cast<jlong>(vmAt(vm)->liveGlobalRefs());
}

// The JVM's own unload hook, as it runs when the binding's class loader is
// collected; the JVM's next call resolves its handles afresh.
JNIEXPORT void JNICALL Java_com_fendrel_vm_channel_Linux_1JVM_StandinVm_unloadJvm(JNIEnv *jvm, jclass) {
    JavaVM *javaVM = nullptr;
    if (jvm->GetJavaVM(&javaVM) == JNI_OK) JNI_OnUnload(javaVM, nullptr);
}

} // extern "C"
