#include "MessageObjects.h"

#include <jni_support/JniThrow.h>
#include <jni_support/ScopedLocalRef.h>

#include "VmHandles.h"

using jni_support::ScopedLocalRef;
using jni_support::throwNew;
using trellum_jvm::CachedHandle;
using trellum_jvm::VmHandles;

namespace {

// In the order Message_new takes them, as VmHandles::headerInts holds their IDs.
const char *const kHeaderFieldNames[] = {"type", "priority", "channelID", "messageID", "attributes"};
const int kHeaderFieldCount = sizeof(kHeaderFieldNames) / sizeof(kHeaderFieldNames[0]);
static_assert(kHeaderFieldCount == sizeof(VmHandles::headerInts) / sizeof(VmHandles::headerInts[0]),
              "one cached ID per header field");

// The class of one object, fetched only if a field ID still has to be
// resolved on it: after the first message no class is ever looked up.
class LazyObjectClass {
public:
    LazyObjectClass(JNIEnv *env, jobject object) : env_(env), object_(object), class_(env, nullptr) {}

    jclass get() {
        if (!class_) class_.reset(env_->GetObjectClass(object_));
        return class_.get();
    }

private:
    JNIEnv *env_;
    jobject object_;
    ScopedLocalRef<jclass> class_;
};

// The cached ID of a field of `owner`'s class, resolved on first need.
// Returns null: NoSuchFieldError (or similar) is pending.
jfieldID fieldID(JNIEnv *env, CachedHandle<jfieldID> &cache, LazyObjectClass &owner,
                 const char *name, const char *signature) {
    jfieldID id = cache.get();
    if (id != nullptr) return id;
    id = env->GetFieldID(owner.get(), name, signature);
    if (id != nullptr) cache.set(id);
    return id;
}

// The object held by field `name` of `object`. Returns null with *failed
// false for a null field, or with *failed true when an exception is pending.
jobject objectField(JNIEnv *env, jobject object, CachedHandle<jfieldID> &cache,
                    LazyObjectClass &owner, const char *name, const char *signature,
                    bool *failed) {
    *failed = true;
    jfieldID id = fieldID(env, cache, owner, name, signature);
    if (id == nullptr) return nullptr;
    jobject value = env->GetObjectField(object, id);
    if (env->ExceptionCheck()) {
        if (value != nullptr) env->DeleteLocalRef(value);
        return nullptr;
    }
    *failed = false;
    return value;
}

// Reads field `name` of `object`, which must not be null. Returns null with
// an exception pending when the field is missing or holds null.
jobject requiredObjectField(JNIEnv *env, jobject object, CachedHandle<jfieldID> &cache,
                            LazyObjectClass &owner, const char *name, const char *signature,
                            const char *nullMessage) {
    bool failed;
    jobject value = objectField(env, object, cache, owner, name, signature, &failed);
    if (value == nullptr && !failed) throwNew(env, "java/lang/NullPointerException", nullMessage);
    return value;
}

} // namespace

namespace trellum_jvm {

Message newMessageFromArray(JNIEnv *env, const jint header[5], jbyteArray data) {
    const jsize length = data != nullptr ? env->GetArrayLength(data) : 0;
    // Copied once, straight from the Java array into the message's own block.
    Message message = Message_new(header[0], header[1], header[2], header[3], header[4], length, nullptr);
    if (message == nullptr) {
        throwNew(env, "java/lang/OutOfMemoryError", "no native memory for the message");
        return nullptr;
    }
    if (length == 0) return message;
    env->GetByteArrayRegion(data, 0, length, reinterpret_cast<jbyte *>(message->body->data));
    if (env->ExceptionCheck()) {
        Message_free(message);
        return nullptr;
    }
    return message;
}

Message object2message(JNIEnv *env, jobject messageObject) {
    if (messageObject == nullptr) {
        throwNew(env, "java/lang/NullPointerException", "message is null");
        return nullptr;
    }
    VmHandles *handles = handlesOf(env);
    if (handles == nullptr) return nullptr;

    LazyObjectClass messageClass(env, messageObject);
    ScopedLocalRef<jobject> header(env, requiredObjectField(
        env, messageObject, handles->messageHeader, messageClass, "header",
        "Lcom/fendrel/vm/channel/impl/VMMessageHeaderImpl;", "message header is null"));
    if (!header) return nullptr;
    ScopedLocalRef<jobject> body(env, requiredObjectField(
        env, messageObject, handles->messageBody, messageClass, "body",
        "Lcom/fendrel/vm/channel/impl/VMMessageBodyImpl;", "message body is null"));
    if (!body) return nullptr;

    LazyObjectClass headerClass(env, header.get());
    jint values[kHeaderFieldCount];
    for (int i = 0; i < kHeaderFieldCount; ++i) {
        jfieldID id = fieldID(env, handles->headerInts[i], headerClass, kHeaderFieldNames[i], "I");
        if (id == nullptr) return nullptr;
        values[i] = env->GetIntField(header.get(), id);
    }

    LazyObjectClass bodyClass(env, body.get());
    bool failed;
    ScopedLocalRef<jbyteArray> data(env, static_cast<jbyteArray>(objectField(
        env, body.get(), handles->bodyData, bodyClass, "data", "[B", &failed)));
    if (failed) return nullptr;

    return newMessageFromArray(env, values, data.get());
}

jobject message2object(JNIEnv *env, const MessageClass &messageClass, const _Message &message) {
    const jsize length = message.body->length;
    ScopedLocalRef<jbyteArray> data(env, env->NewByteArray(length));
    if (!data) return nullptr;  // OutOfMemoryError is pending
    if (length > 0) {
        env->SetByteArrayRegion(data.get(), 0, length,
                                reinterpret_cast<const jbyte *>(message.body->data));
        if (env->ExceptionCheck()) return nullptr;
    }
    const _MessageHeader &h = *message.header;
    jobject result = env->NewObject(messageClass.clazz, messageClass.constructor, h.type,
                                    h.priority, h.channelID, h.messageID, h.attributes,
                                    data.get());
    if (env->ExceptionCheck()) {
        if (result != nullptr) env->DeleteLocalRef(result);
        return nullptr;
    }
    return result;
}

} // namespace trellum_jvm
