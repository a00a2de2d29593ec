// The Dalvik side's AndroidKeyStoreDalvik class inside a stand-in VM. Its
// scanKeychain reports the scripted entries through the relay, one native
// _createTrustedCertEntry call each, as the Java class does, and stops at
// the first call that returns with an exception pending (a Java caller
// would see it propagate). Scripting is thread-safe.
#ifndef CASSOWIN_TESTS_STANDIN_KEYCHAIN_H
#define CASSOWIN_TESTS_STANDIN_KEYCHAIN_H

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "StandinVm.h"

namespace standin {

extern const char kKeyStoreDalvikClass[];

struct KeychainEntry {
    std::vector<jchar> alias;
    jlong date = 0;
    std::vector<jbyte> encoded;
    bool aliasIsNull = false;
    bool encodedIsNull = false;
};

// What one scanKeychain call received.
struct ScanRecord {
    bool filterIsNull;
    std::vector<jchar> filter;
};

class StandinKeychain {
public:
    // Defines the class in `dalvik`, loaded by the app's class loader.
    explicit StandinKeychain(Vm &dalvik);

    // Runs AndroidKeyStoreDalvik._init on a thread of the Dalvik VM, as an
    // app does once. The calling thread is attached for the call and left
    // as it was found.
    void init();

    void setEntries(std::vector<KeychainEntry> entries);
    // After reporting, leave an exception of `className` (slashes) pending;
    // an empty name clears the setting.
    void setExceptionAfterReport(const std::string &className, const std::string &message);
    std::vector<ScanRecord> scans();

    // While held, every scanKeychain waits on entry, before it reads the
    // script, as a keychain blocked on a locked store does. A scan waits at
    // most kLongestHold, so that a test that fails to release ends anyway.
    void holdScans(bool hold);
    // How many scans are waiting in a hold now.
    int heldScans();

private:
    void waitWhileHeld();

    jvalue scanKeychain(JNIEnv *env, jobject self, const jvalue *args);

    Vm &dalvik_;
    std::mutex mutex_;
    std::vector<KeychainEntry> entries_;
    std::string exceptionClass_, exceptionMessage_;
    std::vector<ScanRecord> scans_;
    std::condition_variable released_;
    bool hold_ = false;
    int held_ = 0;
};

} // namespace standin

#endif
