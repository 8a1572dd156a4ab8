// A file in memory for libsndfile's virtual I/O: reads what it was given,
// grows as it is written, seeks anywhere at or after its start.
#pragma once

#include <sndfile.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

namespace tolvane::tools {

class MemoryFile {
public:
    explicit MemoryFile(std::string bytes = {}) : bytes_(std::move(bytes)) {}

    const std::string &bytes() const { return bytes_; }
    std::string take() { return std::move(bytes_); }
    // Room for a file of `size` bytes written without growing.
    void reserve(size_t size) { bytes_.reserve(size); }
    void *user() { return this; }

    static SF_VIRTUAL_IO &io() {
        static SF_VIRTUAL_IO calls = {
            [](void *self) { return static_cast<sf_count_t>(file(self).bytes_.size()); },
            [](sf_count_t offset, int whence, void *self) {
                MemoryFile &f = file(self);
                const sf_count_t base = whence == SEEK_SET   ? 0
                                        : whence == SEEK_CUR ? f.position_
                                                             : static_cast<sf_count_t>(f.bytes_.size());
                if (offset < -base) {
                    return static_cast<sf_count_t>(-1);
                }
                f.position_ = base + offset;
                return f.position_;
            },
            [](void *out, sf_count_t count, void *self) {
                MemoryFile &f = file(self);
                const sf_count_t size = static_cast<sf_count_t>(f.bytes_.size());
                const sf_count_t n = std::max<sf_count_t>(0, std::min(count, size - f.position_));
                if (n > 0) {
                    std::memcpy(out, f.bytes_.data() + f.position_, static_cast<size_t>(n));
                }
                f.position_ += n;
                return n;
            },
            [](const void *in, sf_count_t count, void *self) {
                MemoryFile &f = file(self);
                const size_t end = static_cast<size_t>(f.position_ + count);
                if (end > f.bytes_.size()) {
                    f.bytes_.resize(end);
                }
                std::memcpy(f.bytes_.data() + f.position_, in, static_cast<size_t>(count));
                f.position_ += count;
                return count;
            },
            [](void *self) { return file(self).position_; },
        };
        return calls;
    }

private:
    static MemoryFile &file(void *self) { return *static_cast<MemoryFile *>(self); }

    std::string bytes_;
    sf_count_t position_ = 0;
};

}  // namespace tolvane::tools
