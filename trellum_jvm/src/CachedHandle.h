// A JNI handle (class reference, method ID, field ID) cached in a global.
#ifndef TRELLUM_JVM_CACHED_HANDLE_H
#define TRELLUM_JVM_CACHED_HANDLE_H

namespace trellum_jvm {

// Any Java thread may resolve a handle while others read it, so every access
// is atomic: a reader sees either null or a fully resolved handle. The
// constexpr constructor makes globals of this type constant-initialized, with
// no static constructor and no guard variable.
template <typename T>
class CachedHandle {
public:
    constexpr CachedHandle() : value_(nullptr) {}
    CachedHandle(const CachedHandle &) = delete;
    CachedHandle &operator=(const CachedHandle &) = delete;

    T get() const { return __atomic_load_n(&value_, __ATOMIC_ACQUIRE); }

    // For handles where racing threads resolve equal values (method and
    // field IDs): the last store wins and nothing is lost.
    void set(T value) { __atomic_store_n(&value_, value, __ATOMIC_RELEASE); }

    // Stores `value` only when the handle is still null. Returns the handle
    // in use afterwards: `value` when it was stored, else the earlier one.
    T setIfNull(T value) {
        T expected = nullptr;
        if (__atomic_compare_exchange_n(&value_, &expected, value, false, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE)) {
            return value;
        }
        return expected;
    }

    // Empties the handle and returns what it held.
    T take() { return __atomic_exchange_n(&value_, nullptr, __ATOMIC_ACQ_REL); }

private:
    T value_;
};

} // namespace trellum_jvm

#endif
