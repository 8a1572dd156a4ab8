// Reads a fuzzer's bytes as a stream of typed values; past the end it yields
// zeros, so every input is a complete program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

class FuzzInput {
public:
    FuzzInput(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }

    template <class T>
    T take() {
        T value{};
        const size_t n = pos_ < size_ ? (size_ - pos_ < sizeof(T) ? size_ - pos_ : sizeof(T)) : 0;
        if (n > 0) {
            std::memcpy(&value, data_ + pos_, n);
        }
        pos_ += sizeof(T);
        return value;
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};
