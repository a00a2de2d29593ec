// The relay dlclose'd while a thread it attached to the Dalvik VM lives on:
// when that thread ends, it must still be detached (a Dalvik VM aborts the
// process when a thread ends attached), and the process must not crash.
// The library is loaded here by dlopen, so this program does not link it.
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "RelayEntryPoints.h"
#include "standin/StandinVm.h"

namespace {

const char kKeyStoreClass[] = "com/fendrel/security/AndroidKeyStore";
const char kKeyStoreDalvikClass[] = "com/fendrel/security/AndroidKeyStoreDalvik";

jvalue none() {
    jvalue value;
    value.j = 0;
    return value;
}

// StandinPair.cpp has one too, but it calls the entry points directly.
bool waitUntil(const std::function<bool()> &condition, int seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The declaration gives the type only (decltype does not odr-use it): this
// program must not link the library.
#define ENTRY_POINT(library, name) reinterpret_cast<decltype(&name)>(dlsym(library, #name))

TEST(Unload, AThreadTheRelayAttachedIsDetachedWhenItEndsAfterTheLibraryWasClosed) {
    // The relay keeps what the _init calls gave it, and the library stays
    // in the process: the VMs must too.
    static standin::Vm jvm{"JVM", JNI_VERSION_1_8};
    static standin::Vm dalvik{"Dalvik", JNI_VERSION_1_6, standin::kDalvikLocalRefLimit};
    jvm.defineClass(kKeyStoreClass, standin::Loader::App);
    jvm.defineMethod(kKeyStoreClass, "createTrustedCertEntry", "([CJ[B)V", false,
                     [](JNIEnv *, jobject, const jvalue *) { return none(); });
    jobject keyStore = jvm.newGlobalInstance(kKeyStoreClass);
    std::atomic<int> scans{0};
    dalvik.defineClass(kKeyStoreDalvikClass, standin::Loader::App);
    dalvik.defineMethod(kKeyStoreDalvikClass, "scanKeychain", "([C)V", true,
                        [&](JNIEnv *, jobject, const jvalue *) {
                            ++scans;
                            return none();
                        });

    void *library = dlopen(CASSOWIN_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto jvmInit = ENTRY_POINT(library, Java_com_fendrel_security_AndroidKeyStore__1init);
    auto dalvikInit = ENTRY_POINT(library, Java_com_fendrel_security_AndroidKeyStoreDalvik__1init);
    auto scan = ENTRY_POINT(library, Java_com_fendrel_security_AndroidKeyStore__1scanKeychain);
    ASSERT_TRUE(jvmInit != nullptr && dalvikInit != nullptr && scan != nullptr);

    JNIEnv *env = jvm.attachVmThread();
    jvm.callNative(env, [&] { jvmInit(env, keyStore); });
    ASSERT_EQ(jvm.pendingException(env), "");
    jvm.detachCurrentThread();
    env = dalvik.attachVmThread();
    dalvik.callNative(env, [&] { dalvikInit(env, env->FindClass(kKeyStoreDalvikClass)); });
    ASSERT_EQ(dalvik.pendingException(env), "");
    dalvik.detachCurrentThread();

    const int detaches = dalvik.detaches();
    std::atomic<bool> scanned{false}, attachedAfterScan{false}, mayEnd{false};
    std::thread thread([&] {
        JNIEnv *jvmEnv = jvm.attachVmThread();
        jvm.callNative(jvmEnv, [&] { scan(jvmEnv, keyStore, nullptr); });
        attachedAfterScan = dalvik.isCurrentThreadAttached();
        jvm.detachCurrentThread();
        scanned = true;
        waitUntil([&] { return mayEnd.load(); }, 30);
    });
    bool inTime = waitUntil([&] { return scanned.load(); }, 30);
    scan = nullptr;
    EXPECT_EQ(dlclose(library), 0) << dlerror();
    mayEnd = true;
    thread.join();
    ASSERT_TRUE(inTime);

    EXPECT_EQ(scans.load(), 1);
    EXPECT_TRUE(attachedAfterScan.load());
    EXPECT_EQ(dalvik.detaches(), detaches + 1);
    EXPECT_EQ(dalvik.threadsEndedAttached(), 0);
}

} // namespace
