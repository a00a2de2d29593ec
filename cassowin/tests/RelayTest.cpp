// The relay between two stand-in VMs: arrays and values crossing, thread
// attachment, exceptions on either side, references released.
#include <pthread.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "StandinPair.h"

using standin::KeychainEntry;

namespace {

KeychainEntry entry(const char *alias, jlong date, std::vector<jbyte> encoded) {
    KeychainEntry e;
    e.alias = utf16(alias);
    e.date = date;
    e.encoded = std::move(encoded);
    return e;
}

// A JavaVM lasts as long as its process, and the relay keeps what the _init
// calls gave it. So every test's VMs are kept to the end: a later VM must
// not take over the address of one the relay still remembers.
std::vector<std::unique_ptr<StandinPair>> &allPairs() {
    static std::vector<std::unique_ptr<StandinPair>> pairs;
    return pairs;
}

class RelayTest : public ::testing::Test {
protected:
    RelayTest() : pair(*allPairs().emplace_back(new StandinPair())) {}

    void SetUp() override {
        ASSERT_EQ(pair.initJvmSide(), "");
        pair.keychain.init();
    }

    StandinPair &pair;
};

TEST_F(RelayTest, ArraysCrossIntactAndTheSourcesAreOnlyRead) {
    std::vector<jchar> filter = {0x0000, 'k', 0x00E9, 0xD800, 0xDFFF, 0xFFFF};
    std::vector<jbyte> everyByte;
    for (int b = -128; b < 128; ++b) everyByte.push_back(static_cast<jbyte>(b));
    KeychainEntry wide = entry("", 1, everyByte);
    wide.alias = {0xFFFF, 0x0000, 0x20AC, 'x'};
    pair.keychain.setEntries({wide, entry("", 2, {})});  // the second: two empty arrays

    ScanResult r = pair.scanOnNewThread(&filter);

    EXPECT_EQ(r.exception, "");
    ASSERT_EQ(pair.keychain.scans().size(), 1u);
    EXPECT_FALSE(pair.keychain.scans()[0].filterIsNull);
    EXPECT_EQ(pair.keychain.scans()[0].filter, filter);
    std::vector<ReceivedEntry> got = pair.received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].alias, wide.alias);
    EXPECT_EQ(got[0].encoded, everyByte);
    EXPECT_FALSE(got[1].aliasIsNull);
    EXPECT_FALSE(got[1].encodedIsNull);
    EXPECT_TRUE(got[1].alias.empty());
    EXPECT_TRUE(got[1].encoded.empty());
    // Elements are always lent as copies here, so a source array could only
    // change through a release that writes back.
    for (standin::Vm *vm : {&pair.jvm, &pair.dalvik}) {
        EXPECT_EQ(vm->writeBacks(), 0) << vm->name();
        EXPECT_EQ(vm->elementsOutstanding(), 0u) << vm->name();
    }
}

TEST_F(RelayTest, NullArraysPassAsNull) {
    KeychainEntry noAlias = entry("", 7, {1, 2});
    noAlias.aliasIsNull = true;
    KeychainEntry noBytes = entry("b", 8, {});
    noBytes.encodedIsNull = true;
    pair.keychain.setEntries({noAlias, noBytes});

    ScanResult r = pair.scanOnNewThread(nullptr);

    EXPECT_EQ(r.exception, "");
    ASSERT_EQ(pair.keychain.scans().size(), 1u);
    EXPECT_TRUE(pair.keychain.scans()[0].filterIsNull);
    std::vector<ReceivedEntry> got = pair.received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(got[0].aliasIsNull);
    EXPECT_EQ(got[0].encoded, (std::vector<jbyte>{1, 2}));
    EXPECT_EQ(got[1].alias, utf16("b"));
    EXPECT_TRUE(got[1].encodedIsNull);
}

TEST_F(RelayTest, ElementsThatCannotBeHadArriveAsNull) {
    std::vector<jchar> filter = utf16("system");
    pair.keychain.setEntries({entry("a", 1, {5})});

    pair.dalvik.setElementsUnavailable(true, false);
    ScanResult fromDalvik = pair.scanOnNewThread(&filter);
    pair.dalvik.setElementsUnavailable(false, false);
    pair.jvm.setElementsUnavailable(true, false);
    ScanResult fromJvm = pair.scanOnNewThread(&filter);

    EXPECT_EQ(fromDalvik.exception, "");
    EXPECT_EQ(fromJvm.exception, "");
    std::vector<ReceivedEntry> got = pair.received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(got[0].aliasIsNull);
    EXPECT_TRUE(got[0].encodedIsNull);
    EXPECT_EQ(got[1].alias, utf16("a"));  // the Dalvik side was readable again
    std::vector<standin::ScanRecord> scans = pair.keychain.scans();
    ASSERT_EQ(scans.size(), 2u);
    EXPECT_EQ(scans[0].filter, filter);
    EXPECT_TRUE(scans[1].filterIsNull);
}

// A VM that refuses elements with an OutOfMemoryError: the array still
// arrives as null where the relay can go on, and the error is not lost.
TEST_F(RelayTest, ElementsRefusedWithAnErrorReachTheCaller) {
    std::vector<jchar> filter = utf16("system");
    pair.keychain.setEntries({entry("a", 1, {5}), entry("b", 2, {6})});

    pair.jvm.setElementsUnavailable(true, true);
    ScanResult jvmRefused = pair.scanOnNewThread(&filter);
    pair.jvm.setElementsUnavailable(false, false);
    EXPECT_EQ(jvmRefused.exception, "java.lang.OutOfMemoryError: array elements");
    EXPECT_TRUE(pair.keychain.scans().empty());  // nothing to scan with

    pair.dalvik.setElementsUnavailable(true, true);
    ScanResult dalvikRefused = pair.scanOnNewThread(&filter);
    EXPECT_NE(dalvikRefused.exception.find("java.lang.RuntimeException"), std::string::npos);
    EXPECT_NE(dalvikRefused.exception.find("java.lang.OutOfMemoryError"), std::string::npos);
    EXPECT_EQ(dalvikRefused.dalvikPending, "");
    std::vector<ReceivedEntry> got = pair.received();
    ASSERT_EQ(got.size(), 1u);  // the Dalvik side stops at the failed call
    EXPECT_TRUE(got[0].aliasIsNull);
    EXPECT_TRUE(got[0].encodedIsNull);
}

TEST_F(RelayTest, TheDateArrivesUnchanged) {
    const jlong dates[] = {0, -1, 1, INT_MAX, jlong(INT_MAX) + 1, jlong(1) << 32,
                           -(jlong(1) << 40) + 3, jlong(0x123456789ABCDEF0), LLONG_MIN, LLONG_MAX};
    std::vector<KeychainEntry> entries;
    for (jlong d : dates) entries.push_back(entry("d", d, {}));
    pair.keychain.setEntries(entries);

    pair.scanOnNewThread(nullptr);

    std::vector<ReceivedEntry> got = pair.received();
    ASSERT_EQ(got.size(), entries.size());
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].date, dates[i]) << "entry " << i;
}

TEST_F(RelayTest, AThreadThatScansTwiceIsAttachedOnceAndDetachedOnceWhenItEnds) {
    int attaches = pair.dalvik.attaches(), detaches = pair.dalvik.detaches();
    pair.keychain.setEntries({entry("a", 1, {1})});
    bool attachedBetweenScans = false;

    std::thread thread([&] {
        pair.scan(nullptr);
        attachedBetweenScans = pair.dalvik.isCurrentThreadAttached();
        pair.scan(nullptr);
        pair.jvm.detachCurrentThread();
    });
    thread.join();

    EXPECT_TRUE(attachedBetweenScans);
    EXPECT_EQ(pair.dalvik.attaches(), attaches + 1);
    // The detach runs among the thread's last acts, which may outlast the join.
    EXPECT_TRUE(waitUntil([&] { return pair.dalvik.detaches() >= detaches + 1; }, 10));
    EXPECT_EQ(pair.dalvik.detaches(), detaches + 1);
    EXPECT_EQ(pair.dalvik.threadsEndedAttached(), 0);
    EXPECT_EQ(pair.received().size(), 2u);
}

TEST_F(RelayTest, AThreadAttachedBeforeIsNeitherAttachedNorDetachedByTheRelay) {
    int attaches = pair.dalvik.attaches(), detaches = pair.dalvik.detaches();
    int endedAttached = pair.dalvik.threadsEndedAttached();
    pair.keychain.setEntries({entry("a", 1, {1})});

    std::thread thread([&] {
        pair.dalvik.attachVmThread();
        pair.scan(nullptr);
        pair.jvm.detachCurrentThread();
        // Still attached to the Dalvik VM when it ends: only its owner may detach it.
    });
    thread.join();

    EXPECT_EQ(pair.received().size(), 1u);
    EXPECT_EQ(pair.dalvik.attaches(), attaches);
    EXPECT_TRUE(waitUntil([&] { return pair.dalvik.threadsEndedAttached() == endedAttached + 1; }, 10));
    EXPECT_EQ(pair.dalvik.detaches(), detaches);
}

TEST_F(RelayTest, ADalvikExceptionIsClearedThereAndReachesTheCallerAsRuntimeException) {
    pair.keychain.setEntries({entry("a", 1, {1}), entry("b", 2, {2})});
    pair.keychain.setExceptionAfterReport("java/lang/IllegalStateException", "keychain locked");
    ScanResult first, second;

    std::thread thread([&] {
        first = pair.scan(nullptr);
        pair.keychain.setExceptionAfterReport("", "");
        second = pair.scan(nullptr);  // same thread, still attached to the Dalvik VM
        pair.jvm.detachCurrentThread();
    });
    thread.join();

    EXPECT_EQ(first.exception.rfind("java.lang.RuntimeException: ", 0), 0u) << first.exception;
    EXPECT_NE(first.exception.find("java.lang.IllegalStateException: keychain locked"),
              std::string::npos) << first.exception;
    EXPECT_EQ(first.dalvikPending, "");
    EXPECT_EQ(second.exception, "");
    EXPECT_EQ(second.dalvikPending, "");
    EXPECT_EQ(pair.received().size(), 4u);
}

TEST_F(RelayTest, AKeyStoreExceptionStopsForwardingAndReachesTheCaller) {
    std::vector<KeychainEntry> entries;
    for (int i = 0; i < 5; ++i) entries.push_back(entry("e", i, {1}));
    pair.keychain.setEntries(entries);
    pair.throwOnEntry(1, "java/lang/IllegalArgumentException", "bad entry");

    ScanResult r = pair.scanOnNewThread(nullptr);

    EXPECT_EQ(r.exception, "java.lang.IllegalArgumentException: bad entry");
    EXPECT_EQ(r.dalvikPending, "");
    std::vector<ReceivedEntry> got = pair.received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].date, 1);
}

TEST_F(RelayTest, WhenBothVMsFailTheKeyStoresExceptionWins) {
    pair.keychain.setEntries({entry("a", 1, {1}), entry("b", 2, {2})});
    pair.keychain.setExceptionAfterReport("java/lang/IllegalStateException", "keychain locked");
    pair.throwOnEntry(0, "java/lang/IllegalArgumentException", "bad entry");

    ScanResult r = pair.scanOnNewThread(nullptr);

    EXPECT_EQ(r.exception, "java.lang.IllegalArgumentException: bad entry");
    EXPECT_EQ(r.dalvikPending, "");
    EXPECT_EQ(pair.received().size(), 1u);
}

TEST_F(RelayTest, AnExceptionAlreadyPendingInTheDalvikVMIsReportedNotScannedOver) {
    ScanResult r;
    std::thread thread([&] {
        JNIEnv *dalvikEnv = pair.dalvik.attachVmThread();
        pair.dalvik.defineClass("java/lang/SecurityException", standin::Loader::Boot, true);
        dalvikEnv->ThrowNew(dalvikEnv->FindClass("java/lang/SecurityException"), "left over");
        r = pair.scan(nullptr);
        pair.jvm.detachCurrentThread();
        pair.dalvik.detachCurrentThread();
    });
    thread.join();

    EXPECT_NE(r.exception.find("java.lang.SecurityException: left over"), std::string::npos) << r.exception;
    EXPECT_EQ(r.dalvikPending, "");
    EXPECT_TRUE(pair.keychain.scans().empty());
}

// Modified UTF-8 that ends in a whole character: ThrowNew needs it.
bool endsInAWholeCharacter(const std::string &s) {
    size_t start = s.size();
    while (start > 0 && (static_cast<unsigned char>(s[start - 1]) & 0xC0) == 0x80) --start;
    if (start == 0) return s.empty();
    unsigned char lead = static_cast<unsigned char>(s[start - 1]);
    size_t expected = lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return s.size() - (start - 1) == expected;
}

TEST_F(RelayTest, ALongDalvikMessageIsCutBetweenCharacters) {
    for (const char *character : {"\xC3\xA9", "\xE2\x82\xAC"}) {  // two and three bytes
        for (size_t lead = 0; lead < 3; ++lead) {
            std::string message(lead, 'x');
            for (int i = 0; i < 400; ++i) message += character;
            pair.keychain.setExceptionAfterReport("java/lang/IllegalStateException", message);

            ScanResult r = pair.scanOnNewThread(nullptr);

            EXPECT_EQ(r.exception.rfind("java.lang.RuntimeException: ", 0), 0u);
            EXPECT_NE(r.exception.find("java.lang.IllegalStateException: " + std::string(lead, 'x') + character),
                      std::string::npos);
            EXPECT_LT(r.exception.size(), 600u);
            EXPECT_TRUE(endsInAWholeCharacter(r.exception)) << "lead " << lead;
        }
    }
}

TEST_F(RelayTest, TenThousandEntriesLeaveNoLocalReferencesInEitherVM) {
    std::vector<KeychainEntry> entries;
    for (int i = 0; i < 10000; ++i) entries.push_back(entry("alias", i, std::vector<jbyte>(64, 7)));
    size_t dalvikBefore = 0, dalvikAfter = 0, jvmBefore = 0, jvmPeak = 0;

    std::thread thread([&] {
        pair.scan(nullptr);  // attaches the thread: its own records are not the relay's
        pair.keychain.setEntries(entries);
        dalvikBefore = pair.dalvik.liveLocalRefs();
        jvmBefore = pair.jvm.liveLocalRefs();
        pair.jvm.resetPeakLocalRefs();
        pair.scan(nullptr);
        dalvikAfter = pair.dalvik.liveLocalRefs();
        jvmPeak = pair.jvm.peakLocalRefs();
        pair.jvm.detachCurrentThread();
    });
    thread.join();

    std::vector<ReceivedEntry> got = pair.received();
    ASSERT_EQ(got.size(), entries.size());
    EXPECT_EQ(dalvikAfter, dalvikBefore);
    // Every entry finds the JVM with as many live references as the first did.
    EXPECT_EQ(got.back().jvmLocalRefs, got.front().jvmLocalRefs);
    EXPECT_LT(jvmPeak - jvmBefore, 16u);
}

TEST_F(RelayTest, AFailedAllocationIsNeverUsed) {
    std::vector<jchar> filter = utf16("f");
    pair.keychain.setEntries({entry("a", 1, {1}), entry("b", 2, {2})});

    pair.dalvik.setNewArraysFail(true);
    ScanResult noDalvikCopy = pair.scanOnNewThread(&filter);
    pair.dalvik.setNewArraysFail(false);
    EXPECT_NE(noDalvikCopy.exception.find("java.lang.OutOfMemoryError"), std::string::npos);
    EXPECT_EQ(noDalvikCopy.dalvikPending, "");
    EXPECT_TRUE(pair.keychain.scans().empty());

    pair.jvm.setNewArraysFail(true);
    ScanResult noJvmCopy = pair.scanOnNewThread(nullptr);
    pair.jvm.setNewArraysFail(false);
    EXPECT_EQ(noJvmCopy.exception.rfind("java.lang.OutOfMemoryError", 0), 0u) << noJvmCopy.exception;
    EXPECT_EQ(noJvmCopy.dalvikPending, "");
    EXPECT_TRUE(pair.received().empty());
}

int availableThreadKeys() {
    std::vector<pthread_key_t> keys;
    pthread_key_t key;
    while (pthread_key_create(&key, nullptr) == 0) keys.push_back(key);
    for (pthread_key_t k : keys) pthread_key_delete(k);
    return static_cast<int>(keys.size());
}

TEST_F(RelayTest, TheThreadKeyIsMadeOncePerProcessAndInitKeepsOneReference) {
    int keys = availableThreadKeys();
    size_t globals = pair.jvm.liveGlobalRefs();

    for (int i = 0; i < 50; ++i) ASSERT_EQ(pair.initJvmSide(), "");

    EXPECT_EQ(availableThreadKeys(), keys);
    EXPECT_EQ(pair.jvm.liveGlobalRefs(), globals);
    int detaches = pair.dalvik.detaches();
    pair.keychain.setEntries({entry("a", 1, {1})});
    EXPECT_EQ(pair.scanOnNewThread(nullptr).exception, "");
    EXPECT_EQ(pair.received().size(), 1u);
    EXPECT_TRUE(waitUntil([&] { return pair.dalvik.detaches() == detaches + 1; }, 10));
}

TEST_F(RelayTest, AClassHiddenFromAttachedThreadsIsFoundThroughInit) {
    pair.dalvik.setAppClassesHiddenFromAttachedThreads(true);
    int failedLookups = pair.dalvik.failedClassLookups();
    pair.keychain.setEntries({entry("a", 1, {1})});

    ScanResult r = pair.scanOnNewThread(nullptr);

    EXPECT_EQ(r.exception, "");
    EXPECT_EQ(r.dalvikPending, "");
    EXPECT_EQ(pair.dalvik.failedClassLookups(), failedLookups + 1);  // looked up, failed, cleared
    EXPECT_EQ(pair.received().size(), 1u);
}

TEST_F(RelayTest, AThreadThatCannotBeAttachedGetsAnException) {
    pair.dalvik.setAttachFails(true);
    ScanResult r = pair.scanOnNewThread(nullptr);
    EXPECT_EQ(r.exception.rfind("java.lang.RuntimeException: ", 0), 0u) << r.exception;
    EXPECT_TRUE(pair.keychain.scans().empty());
}

TEST_F(RelayTest, ScansOnManyThreadsAtOnce) {
    pair.keychain.setEntries({entry("a", 1, {1}), entry("b", 2, {2}), entry("c", 3, {3})});
    int detaches = pair.dalvik.detaches();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) pair.scan(nullptr);
            pair.jvm.detachCurrentThread();
        });
    }
    for (std::thread &t : threads) t.join();

    EXPECT_EQ(pair.received().size(), 4u * 25u * 3u);
    EXPECT_TRUE(waitUntil([&] { return pair.dalvik.detaches() == detaches + 4; }, 10));
    EXPECT_EQ(pair.dalvik.threadsEndedAttached(), 0);
}

// A thread the relay attached to the Dalvik VM stays attached between scans,
// with no Java frame to free its local references: one left behind per scan
// would pass Dalvik's limit (which the stand-in enforces by aborting) long
// before a thousand scans.
TEST_F(RelayTest, AThreadThatScansAThousandTimesKeepsNoDalvikLocalReferences) {
    pair.keychain.setEntries({entry("a", 1, {1}), entry("b", 2, {2})});
    std::thread thread([&] {
        pair.scan(nullptr);
        size_t after_first = pair.dalvik.liveLocalRefs();
        for (int i = 1; i < 1000; ++i) ASSERT_EQ(pair.scan(nullptr).exception, "");
        EXPECT_EQ(pair.dalvik.liveLocalRefs(), after_first);
        pair.jvm.detachCurrentThread();
    });
    thread.join();
    EXPECT_EQ(pair.received().size(), 2000u);
}

} // namespace
