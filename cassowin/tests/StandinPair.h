// Two stand-in VMs in one process, as the relay meets them: a "JVM" with an
// AndroidKeyStore class whose createTrustedCertEntry records what arrives,
// and a "Dalvik" VM with the scriptable keychain.
#ifndef CASSOWIN_TESTS_STANDIN_PAIR_H
#define CASSOWIN_TESTS_STANDIN_PAIR_H

#include <pthread.h>

#include <mutex>
#include <string>
#include <vector>

#include "standin/StandinKeychain.h"
#include "standin/StandinVm.h"

struct ReceivedEntry {
    bool aliasIsNull;
    std::vector<jchar> alias;
    jlong date;
    bool encodedIsNull;
    std::vector<jbyte> encoded;
    size_t jvmLocalRefs;  // live in the JVM when the entry arrived
};

struct ScanResult {
    std::string exception;  // what reached the JVM caller, "" if nothing
    std::string dalvikPending;  // what stayed pending in the Dalvik VM
};

class StandinPair {
public:
    StandinPair();

    standin::Vm jvm{"JVM", JNI_VERSION_1_8};
    standin::Vm dalvik{"Dalvik", JNI_VERSION_1_6, standin::kDalvikLocalRefLimit};
    standin::StandinKeychain keychain{dalvik};
    jobject keyStore;  // a global reference in the JVM

    // Runs AndroidKeyStore._init on the calling thread, attached to the JVM
    // for the call. Returns the exception it left, "" if none.
    std::string initJvmSide();

    // Calls _scanKeychain on the calling thread as a JVM thread would (the
    // thread is attached to the JVM if it is not yet, and stays attached).
    // `filter` null passes a null array.
    ScanResult scan(const std::vector<jchar> *filter);
    // The same on a new thread that ends afterwards.
    ScanResult scanOnNewThread(const std::vector<jchar> *filter);

    std::vector<ReceivedEntry> received();
    // createTrustedCertEntry throws `className` on its entry number `index` (0-based).
    void throwOnEntry(size_t index, const std::string &className, const std::string &message);

private:
    std::mutex mutex_;
    std::vector<ReceivedEntry> received_;
    size_t throwIndex_ = static_cast<size_t>(-1);
    std::string throwClass_, throwMessage_;
};

std::vector<jchar> utf16(const char *ascii);
bool waitUntil(const std::function<bool()> &condition, int seconds);

#endif
