// The stand-in VM catches the faults that the relay's tests rely on it to catch.
#include <thread>

#include <gtest/gtest.h>

#include "StandinPair.h"

namespace {

class StandinVmDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "fast"); }
    standin::Vm jvm{"JVM", JNI_VERSION_1_8};
    standin::Vm dalvik{"Dalvik", JNI_VERSION_1_6, standin::kDalvikLocalRefLimit};
};

TEST_F(StandinVmDeathTest, RejectsAnotherVMsHandle) {
    JNIEnv *jvmEnv = jvm.attachVmThread();
    JNIEnv *dalvikEnv = dalvik.attachVmThread();
    jcharArray jvmArray = jvmEnv->NewCharArray(3);
    EXPECT_DEATH(dalvikEnv->GetArrayLength(jvmArray), "not a live reference of this VM");
}

TEST_F(StandinVmDeathTest, RejectsADeletedReference) {
    JNIEnv *env = dalvik.attachVmThread();
    jbyteArray array = env->NewByteArray(3);
    env->DeleteLocalRef(array);
    EXPECT_DEATH(env->GetArrayLength(array), "not a live reference");
}

TEST_F(StandinVmDeathTest, NamesAnUnimplementedSlot) {
    JNIEnv *env = dalvik.attachVmThread();
    jbyteArray array = env->NewByteArray(3);
    EXPECT_DEATH(env->MonitorEnter(array), "MonitorEnter: not implemented");
}

TEST_F(StandinVmDeathTest, RefusesCallsWhileAnExceptionIsPending) {
    JNIEnv *env = dalvik.attachVmThread();
    EXPECT_EQ(env->FindClass("no/such/Class"), nullptr);
    EXPECT_DEATH(env->NewCharArray(1), "while java.lang.NoClassDefFoundError is pending");
}

TEST_F(StandinVmDeathTest, RefusesElementsItDidNotHandOut) {
    JNIEnv *env = dalvik.attachVmThread();
    jcharArray a = env->NewCharArray(2), b = env->NewCharArray(2);
    jchar *elements = env->GetCharArrayElements(a, nullptr);
    EXPECT_DEATH(env->ReleaseCharArrayElements(b, elements, JNI_ABORT), "not elements this array");
    env->ReleaseCharArrayElements(a, elements, JNI_ABORT);
}

// Dalvik's limit: 512 live local references per thread, in all its frames
// together; the next one aborts. Deleted and popped references do not count.
TEST_F(StandinVmDeathTest, AbortsPastDalviksLocalReferenceLimit) {
    JNIEnv *env = dalvik.attachVmThread();
    dalvik.callNative(env, [&] {
        for (int i = 0; i < 1000; ++i) env->DeleteLocalRef(env->NewCharArray(1));
        for (int i = 0; i < 300; ++i) env->NewCharArray(1);
    });
    for (int i = 0; i < 256; ++i) env->NewCharArray(1);
    dalvik.callNative(env, [&] {
        for (int i = 0; i < 256; ++i) env->NewCharArray(1);
        EXPECT_EQ(dalvik.liveLocalRefs(), 512u);
        EXPECT_DEATH(env->NewCharArray(1), "more than 512 live local references on this thread");
    });
}

TEST(StandinVm, CountsLocalReferencesPerFrameAndAttachesPerThread) {
    standin::Vm vm("VM", JNI_VERSION_1_6);
    JNIEnv *env = vm.attachVmThread();
    vm.callNative(env, [&] {
        env->NewCharArray(1);
        jbyteArray kept = env->NewByteArray(1);
        EXPECT_EQ(vm.liveLocalRefs(), 2u);
        env->DeleteLocalRef(kept);
        EXPECT_EQ(vm.liveLocalRefs(), 1u);
    });
    EXPECT_EQ(vm.liveLocalRefs(), 0u);  // the frame's references went with it

    void *attached = nullptr;
    JavaVM *javaVM = vm.javaVM();
    EXPECT_EQ(javaVM->GetEnv(&attached, 0x00010008), JNI_EVERSION);
    EXPECT_EQ(javaVM->AttachCurrentThread(&attached, nullptr), JNI_OK);
    EXPECT_EQ(attached, env);  // already attached: the same environment, not counted
    EXPECT_EQ(vm.attaches(), 0);
    std::thread([&] {
        void *own = nullptr;
        EXPECT_EQ(javaVM->GetEnv(&own, JNI_VERSION_1_4), JNI_EDETACHED);
        EXPECT_EQ(javaVM->AttachCurrentThread(&own, nullptr), JNI_OK);
        EXPECT_NE(own, env);
        EXPECT_EQ(javaVM->DetachCurrentThread(), JNI_OK);
    }).join();
    EXPECT_EQ(vm.attaches(), 1);
    EXPECT_EQ(vm.detaches(), 1);
}

TEST(StandinVm, NoticesAThreadThatEndsAttached) {
    standin::Vm vm("VM", JNI_VERSION_1_6);
    std::thread([&] {
        void *env = nullptr;
        vm.javaVM()->AttachCurrentThread(&env, nullptr);
    }).join();
    EXPECT_TRUE(waitUntil([&] { return vm.threadsEndedAttached() == 1; }, 10));
}

} // namespace
