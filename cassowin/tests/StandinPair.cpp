#include "StandinPair.h"

#include <chrono>
#include <thread>

#include "RelayEntryPoints.h"

namespace {
const char kKeyStoreClass[] = "com/fendrel/security/AndroidKeyStore";
}

StandinPair::StandinPair() {
    jvm.defineClass(kKeyStoreClass, standin::Loader::App);
    jvm.defineMethod(
        kKeyStoreClass, "createTrustedCertEntry", "([CJ[B)V", false,
        [this](JNIEnv *env, jobject, const jvalue *args) {
            ReceivedEntry e{args[0].l == nullptr, {}, args[1].j, args[2].l == nullptr, {},
                            jvm.liveLocalRefs()};
            if (!e.aliasIsNull) e.alias = jvm.charsOf(args[0].l);
            if (!e.encodedIsNull) e.encoded = jvm.bytesOf(args[2].l);
            std::string throwClass, throwMessage;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (received_.size() == throwIndex_) {
                    throwClass = throwClass_;
                    throwMessage = throwMessage_;
                }
                received_.push_back(e);
            }
            if (!throwClass.empty()) {
                jvm.defineClass(throwClass, standin::Loader::Boot, true);
                jclass type = env->FindClass(throwClass.c_str());
                env->ThrowNew(type, throwMessage.c_str());
            }
            jvalue none;
            none.j = 0;
            return none;
        });
    keyStore = jvm.newGlobalInstance(kKeyStoreClass);
}

std::string StandinPair::initJvmSide() {
    bool wasAttached = jvm.isCurrentThreadAttached();
    JNIEnv *env = jvm.attachVmThread();
    jvm.callNative(env, [&] { Java_com_fendrel_security_AndroidKeyStore__1init(env, keyStore); });
    std::string exception = jvm.pendingException(env);
    env->ExceptionClear();
    if (!wasAttached) jvm.detachCurrentThread();
    return exception;
}

ScanResult StandinPair::scan(const std::vector<jchar> *filter) {
    JNIEnv *env = jvm.attachVmThread();
    ScanResult result;
    jvm.callNative(env, [&] {
        jcharArray chars = nullptr;
        if (filter != nullptr) {
            chars = env->NewCharArray(static_cast<jsize>(filter->size()));
            env->SetCharArrayRegion(chars, 0, static_cast<jsize>(filter->size()), filter->data());
        }
        Java_com_fendrel_security_AndroidKeyStore__1scanKeychain(env, keyStore, chars);
        result.exception = jvm.pendingException(env);
        env->ExceptionClear();
    });
    void *dalvikEnv = nullptr;
    if (dalvik.javaVM()->GetEnv(&dalvikEnv, JNI_VERSION_1_4) == JNI_OK) {
        result.dalvikPending = dalvik.pendingException(static_cast<JNIEnv *>(dalvikEnv));
    }
    return result;
}

ScanResult StandinPair::scanOnNewThread(const std::vector<jchar> *filter) {
    ScanResult result;
    std::thread thread([&] {
        result = scan(filter);
        jvm.detachCurrentThread();
    });
    thread.join();
    return result;
}

std::vector<ReceivedEntry> StandinPair::received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void StandinPair::throwOnEntry(size_t index, const std::string &className,
                               const std::string &message) {
    std::lock_guard<std::mutex> lock(mutex_);
    throwIndex_ = index;
    throwClass_ = className;
    throwMessage_ = message;
}

std::vector<jchar> utf16(const char *ascii) {
    std::vector<jchar> out;
    for (const char *p = ascii; *p != '\0'; ++p) out.push_back(static_cast<jchar>(*p));
    return out;
}

bool waitUntil(const std::function<bool()> &condition, int seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
