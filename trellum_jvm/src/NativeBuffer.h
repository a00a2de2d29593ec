// A scoped malloc'd byte buffer.
#ifndef TRELLUM_JVM_NATIVE_BUFFER_H
#define TRELLUM_JVM_NATIVE_BUFFER_H

#include <stddef.h>
#include <stdlib.h>

namespace trellum_jvm {

// Owns at most one malloc'd block and frees it when the scope ends. Not
// copyable: exactly one owner frees the block.
class NativeBuffer {
public:
    NativeBuffer() : data_(nullptr) {}
    ~NativeBuffer() { free(data_); }
    NativeBuffer(const NativeBuffer &) = delete;
    NativeBuffer &operator=(const NativeBuffer &) = delete;

    // Replaces the block with a new one of `size` bytes holding arbitrary
    // values. Returns false when memory is exhausted; then get() is null.
    bool allocate(size_t size) {
        free(data_);
        data_ = malloc(size);
        return data_ != nullptr;
    }

    void *get() const { return data_; }

private:
    void *data_;
};

} // namespace trellum_jvm

#endif
