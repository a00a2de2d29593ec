// Natives called before the _init they rely on. A process of its own: the
// relay's set-up lasts as long as the process.
#include <gtest/gtest.h>

#include "RelayEntryPoints.h"
#include "StandinPair.h"

namespace {

// Calls _createTrustedCertEntry from a thread attached to both VMs, as the
// Dalvik side's scan would.
void reportOneEntry(StandinPair &pair) {
    pair.jvm.attachVmThread();
    JNIEnv *dalvikEnv = pair.dalvik.attachVmThread();
    pair.dalvik.callNative(dalvikEnv, [&] {
        jcharArray alias = dalvikEnv->NewCharArray(1);
        jbyteArray encoded = dalvikEnv->NewByteArray(1);
        Java_com_fendrel_security_AndroidKeyStoreDalvik__1createTrustedCertEntry(
            dalvikEnv, nullptr, alias, 5, encoded);
        EXPECT_FALSE(dalvikEnv->ExceptionCheck());
    });
}

TEST(RelayBeforeInit, NativesReturnAtOnceUntilTheirInitHasRun) {
    StandinPair pair;

    // Nothing set up.
    reportOneEntry(pair);
    EXPECT_EQ(pair.scanOnNewThread(nullptr).exception, "");
    EXPECT_EQ(pair.dalvik.attaches(), 0);

    // Failed set-ups leave the relay unset: the JVM class lacks the method,
    // the Dalvik VM lacks the class.
    standin::Vm otherJvm("JVM without createTrustedCertEntry", JNI_VERSION_1_8);
    otherJvm.defineClass("com/fendrel/security/AndroidKeyStore", standin::Loader::App);
    jobject otherStore = otherJvm.newGlobalInstance("com/fendrel/security/AndroidKeyStore");
    JNIEnv *otherJvmEnv = otherJvm.attachVmThread();
    otherJvm.callNative(otherJvmEnv, [&] {
        Java_com_fendrel_security_AndroidKeyStore__1init(otherJvmEnv, otherStore);
    });
    EXPECT_EQ(otherJvm.pendingException(otherJvmEnv).rfind("java.lang.NoSuchMethodError", 0), 0u);
    otherJvmEnv->ExceptionClear();

    standin::Vm otherDalvik("Dalvik without the class", JNI_VERSION_1_6, standin::kDalvikLocalRefLimit);
    JNIEnv *otherDalvikEnv = otherDalvik.attachVmThread();
    otherDalvik.callNative(otherDalvikEnv, [&] {
        Java_com_fendrel_security_AndroidKeyStoreDalvik__1init(otherDalvikEnv, nullptr);
    });
    EXPECT_EQ(otherDalvik.pendingException(otherDalvikEnv).rfind("java.lang.NoClassDefFoundError", 0), 0u);
    otherDalvikEnv->ExceptionClear();

    reportOneEntry(pair);
    EXPECT_EQ(pair.scanOnNewThread(nullptr).exception, "");
    EXPECT_TRUE(pair.received().empty());

    // The JVM side alone: entries are forwarded, scans still wait for the Dalvik side.
    ASSERT_EQ(pair.initJvmSide(), "");
    EXPECT_EQ(pair.scanOnNewThread(nullptr).exception, "");
    EXPECT_EQ(pair.dalvik.attaches(), 0);
    EXPECT_TRUE(pair.keychain.scans().empty());
    reportOneEntry(pair);
    EXPECT_EQ(pair.received().size(), 1u);

    // Both sides: a scan runs.
    pair.keychain.init();
    standin::KeychainEntry e;
    e.alias = utf16("a");
    pair.keychain.setEntries({e});
    EXPECT_EQ(pair.scanOnNewThread(nullptr).exception, "");
    EXPECT_EQ(pair.keychain.scans().size(), 1u);
    EXPECT_EQ(pair.received().size(), 2u);
}

} // namespace
