#include "Marshalling.h"

#include <string.h>

#include <jni_support/JniThrow.h>
#include <jni_support/ScopedLocalRef.h>

#include "MessageObjects.h"

namespace trellum_jvm {

void packHeader(const _Message &message, jint header[kHeaderInts]) {
    const _MessageHeader &h = *message.header;
    header[0] = h.type;
    header[1] = h.priority;
    header[2] = h.channelID;
    header[3] = h.messageID;
    header[4] = h.attributes;
}

jbyteArray bodyArray(JNIEnv *env, const _Message &message) {
    const jsize length = message.body->length;
    jbyteArray data = env->NewByteArray(length);
    if (data == nullptr) return nullptr;
    if (length > 0) {
        env->SetByteArrayRegion(data, 0, length, reinterpret_cast<const jbyte *>(message.body->data));
    }
    return data;
}

jbyteArray handOver(JNIEnv *env, const _Message &message, TransferArea *area, bool *failed) {
    *failed = false;
    const int32_t length = message.body->length;
    jbyteArray large = nullptr;
    if (length > kAreaBodyBytes) {
        large = bodyArray(env, message);
        if (large == nullptr) {
            *failed = true;
            area->status = TRELLUM_OUT_OF_MEMORY;
            return nullptr;
        }
    } else if (length > 0) {
        memcpy(area->body, message.body->data, static_cast<size_t>(length));
    }
    packHeader(message, area->header);
    area->length = length;
    area->status = TRELLUM_RECEIVED;
    return large;
}

Message messageFromArea(JNIEnv *env, const TransferArea &area, jbyteArray large) {
    if (large != nullptr) return newMessageFromArray(env, area.header, large);
    const int32_t *h = area.header;
    Message message = Message_new(h[0], h[1], h[2], h[3], h[4], area.length, area.body);
    if (message == nullptr) jni_support::throwNew(env, "java/lang/OutOfMemoryError", "no native memory for the message");
    return message;
}

bool storeInBatch(JNIEnv *env, const _Message &message, jsize index, jintArray headers, jobjectArray bodies) {
    jni_support::ScopedLocalRef<jbyteArray> body(env, bodyArray(env, message));
    if (!body) return false;
    jint header[kHeaderInts];
    packHeader(message, header);
    env->SetIntArrayRegion(headers, index * kHeaderInts, kHeaderInts, header);
    if (!env->ExceptionCheck()) env->SetObjectArrayElement(bodies, index, body.get());
    return !env->ExceptionCheck();
}

} // namespace trellum_jvm
