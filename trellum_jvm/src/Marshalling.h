// How a message crosses between NativePipes' Java side and native code
// without a Java message object: five header integers, in Message_new's
// order, and the body bytes. One message goes through the calling thread's
// transfer area (TransferAreaLayout.h), a body too large for it through a
// byte array; many go as a batch, headers in an int[5n] and bodies in a
// byte[n][] (MessageBatch.java).
#ifndef TRELLUM_JVM_MARSHALLING_H
#define TRELLUM_JVM_MARSHALLING_H

#include <jni.h>
#include <trellum/trellum.h>

#include "TransferAreaLayout.h"

namespace trellum_jvm {

const jsize kHeaderInts = 5;

void packHeader(const _Message &message, jint header[kHeaderInts]);

// A new byte array holding the message's body. Returns null with
// OutOfMemoryError pending.
jbyteArray bodyArray(JNIEnv *env, const _Message &message);

// Writes the message to the area with status TRELLUM_RECEIVED. Returns a new
// array holding a body too large for the area, else null. Returns null with
// *failed set, and the area saying TRELLUM_OUT_OF_MEMORY, when that array
// could not be had (OutOfMemoryError pending).
jbyteArray handOver(JNIEnv *env, const _Message &message, TransferArea *area, bool *failed);

// A new message from the header integers and length in the area and the
// body in `large`, or when that is null in the area. Returns null with
// OutOfMemoryError (or what reading the array raised) pending.
Message messageFromArea(JNIEnv *env, const TransferArea &area, jbyteArray large);

// Stores the message as element `index` of a batch. False with an exception
// pending.
bool storeInBatch(JNIEnv *env, const _Message &message, jsize index, jintArray headers, jobjectArray bodies);

} // namespace trellum_jvm

#endif
