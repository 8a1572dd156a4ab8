#include "tools/audio_file.h"

#include <string>
#include <utility>

#include "tools/tool_error.h"

namespace fs = std::filesystem;

namespace tolvane::tools {

SoundFile SoundFile::open_read(const fs::path &path) {
    const std::string name = path.string();
    std::error_code ec;
    if (!fs::exists(path, ec)) {
        throw ToolError(name + ": no such file");
    }
    if (fs::is_directory(path, ec)) {
        throw ToolError(name + ": is a folder, not an audio file");
    }
    SF_INFO info{};
    SNDFILE *file = sf_open(name.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        const int error = sf_error(nullptr);
        const std::string detail = sf_strerror(nullptr);
        if (error == SF_ERR_UNRECOGNISED_FORMAT) {
            throw ToolError(name + ": not an audio file that can be read (" + detail + ")");
        }
        // libsndfile refuses a header without a usable sample rate this way.
        if (detail.find("SF_INFO struct incomplete") != std::string::npos) {
            throw ToolError(name + ": the file states no usable sample rate (" + detail + ")");
        }
        throw ToolError(name + ": cannot read: " + detail);
    }
    if (info.channels > 2) {
        sf_close(file);
        throw ToolError(name + ": has " + std::to_string(info.channels) +
                        " channels; only mono and stereo files can be rendered");
    }
    return SoundFile(file, info, path);
}

SoundFile SoundFile::open_write(const fs::path &path, int format, int rate, int channels) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE *file = sf_open(path.string().c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        throw ToolError(path.string() + ": cannot write: " + sf_strerror(nullptr));
    }
    return SoundFile(file, info, path);
}

SoundFile::SoundFile(SoundFile &&other) noexcept
    : file_(std::exchange(other.file_, nullptr)), info_(other.info_),
      path_(std::move(other.path_)) {}

SoundFile::~SoundFile() {
    if (file_ != nullptr) {
        sf_close(file_);
    }
}

int64_t SoundFile::read(int16_t *samples, int64_t frames) {
    const sf_count_t got = sf_readf_short(file_, samples, frames);
    if (got < frames && sf_error(file_) != SF_ERR_NO_ERROR) {
        throw ToolError(path_.string() + ": cannot read: " + sf_strerror(file_));
    }
    return got;
}

void SoundFile::write(const int16_t *samples, int64_t frames) {
    if (sf_writef_short(file_, samples, frames) != frames) {
        throw ToolError(path_.string() + ": cannot write: " + sf_strerror(file_));
    }
}

void SoundFile::close() {
    SNDFILE *file = std::exchange(file_, nullptr);
    if (file != nullptr && sf_close(file) != 0) {
        throw ToolError(path_.string() + ": cannot finish writing: " + sf_strerror(nullptr));
    }
}

int output_format(int input_format) {
    SF_INFO probe{};
    probe.samplerate = 48000;
    probe.channels = 2;
    probe.format = (input_format & SF_FORMAT_TYPEMASK) | SF_FORMAT_PCM_16;
    if (sf_format_check(&probe)) {
        return probe.format;
    }
    return input_format & (SF_FORMAT_TYPEMASK | SF_FORMAT_SUBMASK);
}

}  // namespace tolvane::tools
