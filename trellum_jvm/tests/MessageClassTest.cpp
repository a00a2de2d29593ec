// The message class cache: resolved on first need, exactly one global
// reference however many threads race, failures leave nothing behind, and
// the unload hook lets the reference go.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "FakeJni.h"
#include "MessageClass.h"

extern "C" JNIEXPORT void JNICALL JNI_OnUnload(JavaVM *vm, void *reserved);

namespace {

using trellum_jvm::MessageClass;
using trellum_jvm::resolveMessageClass;

class MessageClassTest : public ::testing::Test {
protected:
    // Each fixture's fake is a VM of its own, and the binding serves two at
    // a time: each test unloads the library from its VM when done.
    void TearDown() override { JNI_OnUnload(jni.vm(), nullptr); }

    FakeJni jni;
};

TEST_F(MessageClassTest, FirstCallResolvesAndLaterCallsReuseWithoutJniCalls) {
    MessageClass first{};
    ASSERT_TRUE(resolveMessageClass(jni.env(), &first));
    EXPECT_EQ(FakeJni::theConstructor(), first.constructor);
    ASSERT_EQ(1u, jni.liveGlobalRefs().size());
    EXPECT_EQ(*jni.liveGlobalRefs().begin(), first.clazz);
    EXPECT_EQ(1, jni.localRefsDeleted.load()) << "the local class reference from FindClass leaks";

    MessageClass again{};
    ASSERT_TRUE(resolveMessageClass(jni.env(), &again));
    EXPECT_EQ(first.clazz, again.clazz);
    EXPECT_EQ(first.constructor, again.constructor);
    EXPECT_EQ(1, jni.findClassCalls.load());
    EXPECT_EQ(1, jni.getMethodIDCalls.load());
    EXPECT_FALSE(jni.exceptionPending());
}

TEST_F(MessageClassTest, RacingFirstResolutionsKeepExactlyOneGlobalReference) {
    const int kThreads = 8;
    jni.findClassRendezvous = kThreads;
    std::vector<MessageClass> seen(kThreads);
    std::vector<char> ok(kThreads, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] { ok[i] = resolveMessageClass(jni.env(), &seen[i]); });
    }
    for (std::thread &t : threads) t.join();

    ASSERT_EQ(kThreads, jni.findClassCalls.load()) << "the threads did not race through the first resolution";
    EXPECT_EQ(kThreads, jni.globalRefsMade.load());
    std::set<jobject> live = jni.liveGlobalRefs();
    ASSERT_EQ(1u, live.size()) << "the losers' global references must be deleted";
    for (int i = 0; i < kThreads; ++i) {
        ASSERT_TRUE(ok[i]);
        EXPECT_EQ(*live.begin(), seen[i].clazz) << "thread " << i << " uses a reference that is not kept";
        EXPECT_EQ(FakeJni::theConstructor(), seen[i].constructor);
    }
    EXPECT_FALSE(jni.exceptionPending());
}

TEST_F(MessageClassTest, MissingClassLeavesNothingCachedAndIsRetried) {
    jni.failFindClass = true;
    MessageClass out{};
    EXPECT_FALSE(resolveMessageClass(jni.env(), &out));
    EXPECT_TRUE(jni.exceptionPending());
    EXPECT_EQ(0, jni.getMethodIDCalls.load()) << "a JNI call was made with an exception pending";
    EXPECT_TRUE(jni.liveGlobalRefs().empty());

    jni.clearException();
    jni.failFindClass = false;
    ASSERT_TRUE(resolveMessageClass(jni.env(), &out));
    EXPECT_EQ(2, jni.findClassCalls.load());
    EXPECT_EQ(1u, jni.liveGlobalRefs().size());
}

TEST_F(MessageClassTest, MissingConstructorKeepsTheClassAndRetriesOnlyTheConstructor) {
    jni.failGetMethodID = true;
    MessageClass out{};
    EXPECT_FALSE(resolveMessageClass(jni.env(), &out));
    EXPECT_TRUE(jni.exceptionPending());

    jni.clearException();
    jni.failGetMethodID = false;
    ASSERT_TRUE(resolveMessageClass(jni.env(), &out));
    EXPECT_EQ(1, jni.findClassCalls.load());
    EXPECT_EQ(2, jni.getMethodIDCalls.load());
    EXPECT_EQ(1u, jni.liveGlobalRefs().size());
    EXPECT_EQ(FakeJni::theConstructor(), out.constructor);
}

TEST_F(MessageClassTest, UnloadDeletesTheGlobalReferenceAndAFreshResolutionFollows) {
    MessageClass out{};
    ASSERT_TRUE(resolveMessageClass(jni.env(), &out));
    JNI_OnUnload(jni.vm(), nullptr);
    EXPECT_TRUE(jni.liveGlobalRefs().empty());
    EXPECT_FALSE(jni.exceptionPending()) << "deleted a reference that was not live";

    JNI_OnUnload(jni.vm(), nullptr);  // nothing left to delete
    EXPECT_FALSE(jni.exceptionPending());

    ASSERT_TRUE(resolveMessageClass(jni.env(), &out));
    EXPECT_EQ(2, jni.findClassCalls.load());
    EXPECT_EQ(2, jni.getMethodIDCalls.load()) << "a constructor ID of the unloaded class was reused";
}

TEST_F(MessageClassTest, UnloadWithoutAnEnvironmentTouchesNoReference) {
    MessageClass out{};
    ASSERT_TRUE(resolveMessageClass(jni.env(), &out));
    jni.failGetEnv = true;
    JNI_OnUnload(jni.vm(), nullptr);
    EXPECT_EQ(1u, jni.liveGlobalRefs().size());
}

} // namespace
