// Conversion between Java message objects and native messages.
//
// A message object (class VMMessageImpl) has a field `header`
// (VMMessageHeaderImpl: int fields type, priority, channelID, messageID and
// attributes) and a field `body` (VMMessageBodyImpl: byte[] field data, which
// may be null). Field IDs are resolved on the classes of the first objects
// a VM reads and reused for every later object of that VM, which must
// therefore belong to the same classes or subclasses of them.
#ifndef TRELLUM_JVM_MESSAGE_OBJECTS_H
#define TRELLUM_JVM_MESSAGE_OBJECTS_H

#include <jni.h>
#include <trellum/Message.h>

#include "MessageClass.h"

namespace trellum_jvm {

// A new native message holding a copy of the object's header integers and
// body bytes; a null `data` array gives an empty body. The caller owns the
// result. Returns null when an exception is pending: NullPointerException for
// a null message, header or body object, OutOfMemoryError when native memory
// is exhausted, IllegalStateException for a VM beyond those the binding
// serves (VmHandles.h), or whatever a field lookup raised.
Message object2message(JNIEnv *env, jobject messageObject);

// A new native message from the five header integers (in Message_new's
// order) and the bytes of `data` (null or empty: an empty body). Returns null
// when an exception is pending: OutOfMemoryError when native memory is
// exhausted, or whatever reading the array raised.
Message newMessageFromArray(JNIEnv *env, const jint header[5], jbyteArray data);

// A new local reference to a VMMessageImpl object with the message's header
// integers and a new byte array holding its body (empty, never null, for an
// empty body). The message is neither changed nor freed. Returns null when an
// exception is pending (OutOfMemoryError, or one the constructor raised).
jobject message2object(JNIEnv *env, const MessageClass &messageClass, const _Message &message);

} // namespace trellum_jvm

#endif
