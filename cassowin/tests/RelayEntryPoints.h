// The relay's exported JNI entry points, as the VMs see them. The shipped
// library has no header of its own: VMs find these by name.
#ifndef CASSOWIN_TESTS_RELAY_ENTRY_POINTS_H
#define CASSOWIN_TESTS_RELAY_ENTRY_POINTS_H

#include <jni.h>

extern "C" {
void Java_com_fendrel_security_AndroidKeyStore__1init(JNIEnv *env, jobject keyStore);
void Java_com_fendrel_security_AndroidKeyStore__1scanKeychain(JNIEnv *env, jobject self,
                                                              jcharArray chars);
void Java_com_fendrel_security_AndroidKeyStoreDalvik__1init(JNIEnv *env, jobject self);
void Java_com_fendrel_security_AndroidKeyStoreDalvik__1createTrustedCertEntry(
    JNIEnv *env, jobject self, jcharArray chars, jlong value, jbyteArray bytes);
}

#endif
