// Memory that traps on any access outside it: the bytes sit flush against a
// page that may not be read or written, on the side the test chooses, and the
// rest of their page holds canary bytes that must stay as they were.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

class GuardedMemory {
public:
    enum Side { FLUSH_END, FLUSH_START };
    static constexpr unsigned char CANARY = 0xc3;

    GuardedMemory(size_t bytes, Side side) : bytes_(bytes) {
        page_ = page_size();
        span_ = (bytes + page_ - 1) / page_ * page_;
        total_ = span_ + 2 * page_;
#ifdef _WIN32
        base_ = static_cast<unsigned char *>(
            VirtualAlloc(nullptr, total_, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        DWORD old;
        if (base_ == nullptr || !VirtualProtect(base_, page_, PAGE_NOACCESS, &old) ||
            !VirtualProtect(base_ + page_ + span_, page_, PAGE_NOACCESS, &old)) {
            throw std::runtime_error("cannot set up guard pages");
        }
#else
        void *p = mmap(nullptr, total_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            throw std::runtime_error("cannot map guard pages");
        }
        base_ = static_cast<unsigned char *>(p);
        if (mprotect(base_, page_, PROT_NONE) != 0 ||
            mprotect(base_ + page_ + span_, page_, PROT_NONE) != 0) {
            throw std::runtime_error("cannot set up guard pages");
        }
#endif
        std::memset(base_ + page_, CANARY, span_);
        data_ = side == FLUSH_END ? base_ + page_ + span_ - bytes : base_ + page_;
    }

    ~GuardedMemory() {
#ifdef _WIN32
        VirtualFree(base_, 0, MEM_RELEASE);
#else
        munmap(base_, total_);
#endif
    }

    GuardedMemory(const GuardedMemory &) = delete;
    GuardedMemory &operator=(const GuardedMemory &) = delete;

    unsigned char *data() { return data_; }
    template <class T>
    T *as() { return reinterpret_cast<T *>(data_); }

    // The canary bytes around the data are untouched.
    bool canaries_intact() const {
        for (const unsigned char *p = base_ + page_; p < base_ + page_ + span_; ++p) {
            if ((p < data_ || p >= data_ + bytes_) && *p != CANARY) {
                return false;
            }
        }
        return true;
    }

private:
    static size_t page_size() {
#ifdef _WIN32
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        return info.dwPageSize;
#else
        return static_cast<size_t>(sysconf(_SC_PAGESIZE));
#endif
    }

    size_t bytes_, page_, span_, total_;
    unsigned char *base_;
    unsigned char *data_;
};
