#include "StandinKeychain.h"

#include <chrono>

#include "../RelayEntryPoints.h"

namespace standin {
namespace {

constexpr std::chrono::seconds kLongestHold(120);

} // namespace

const char kKeyStoreDalvikClass[] = "com/fendrel/security/AndroidKeyStoreDalvik";

StandinKeychain::StandinKeychain(Vm &dalvik) : dalvik_(dalvik) {
    dalvik_.defineClass(kKeyStoreDalvikClass, Loader::App);
    dalvik_.defineMethod(kKeyStoreDalvikClass, "scanKeychain", "([C)V", true,
                         [this](JNIEnv *env, jobject self, const jvalue *args) {
                             return scanKeychain(env, self, args);
                         });
}

void StandinKeychain::init() {
    bool wasAttached = dalvik_.isCurrentThreadAttached();
    JNIEnv *env = dalvik_.attachVmThread();
    dalvik_.callNative(env, [&] {
        jclass type = env->FindClass(kKeyStoreDalvikClass);
        Java_com_fendrel_security_AndroidKeyStoreDalvik__1init(env, type);
    });
    if (!wasAttached) dalvik_.detachCurrentThread();
}

void StandinKeychain::setEntries(std::vector<KeychainEntry> entries) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_ = std::move(entries);
}

void StandinKeychain::setExceptionAfterReport(const std::string &className,
                                              const std::string &message) {
    if (!className.empty()) dalvik_.defineClass(className, Loader::Boot, true);
    std::lock_guard<std::mutex> lock(mutex_);
    exceptionClass_ = className;
    exceptionMessage_ = message;
}

std::vector<ScanRecord> StandinKeychain::scans() {
    std::lock_guard<std::mutex> lock(mutex_);
    return scans_;
}

void StandinKeychain::holdScans(bool hold) {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = hold;
    if (!hold) released_.notify_all();
}

int StandinKeychain::heldScans() {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_;
}

void StandinKeychain::waitWhileHeld() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++held_;
    released_.wait_for(lock, kLongestHold, [this] { return !hold_; });
    --held_;
}

jvalue StandinKeychain::scanKeychain(JNIEnv *env, jobject self, const jvalue *args) {
    jvalue none;
    none.j = 0;
    ScanRecord record{args[0].l == nullptr, {}};
    if (!record.filterIsNull) record.filter = dalvik_.charsOf(args[0].l);
    waitWhileHeld();
    std::vector<KeychainEntry> entries;
    std::string exceptionClass, exceptionMessage;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        scans_.push_back(record);
        entries = entries_;
        exceptionClass = exceptionClass_;
        exceptionMessage = exceptionMessage_;
    }
    for (const KeychainEntry &e : entries) {
        dalvik_.callNative(env, [&] {
            jcharArray alias = nullptr;
            if (!e.aliasIsNull) {
                alias = env->NewCharArray(static_cast<jsize>(e.alias.size()));
                if (alias == nullptr) return;
                env->SetCharArrayRegion(alias, 0, static_cast<jsize>(e.alias.size()), e.alias.data());
            }
            jbyteArray encoded = nullptr;
            if (!e.encodedIsNull) {
                encoded = env->NewByteArray(static_cast<jsize>(e.encoded.size()));
                if (encoded == nullptr) return;
                env->SetByteArrayRegion(encoded, 0, static_cast<jsize>(e.encoded.size()),
                                        e.encoded.data());
            }
            Java_com_fendrel_security_AndroidKeyStoreDalvik__1createTrustedCertEntry(
                env, self, alias, e.date, encoded);
        });
        if (env->ExceptionCheck()) return none;
    }
    if (!exceptionClass.empty()) {
        jclass type = env->FindClass(exceptionClass.c_str());
        if (type != nullptr) env->ThrowNew(type, exceptionMessage.c_str());
    }
    return none;
}

} // namespace standin
