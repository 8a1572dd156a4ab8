#include "tools/audio_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "tools/memory_file.h"
#include "tools/tool_error.h"

namespace fs = std::filesystem;

namespace tolvane::tools {

namespace {

// Streaming writers that cannot go back to fix their header state an
// unknown length as all ones or near 2^31 bytes; that is not a truncation.
constexpr long long PLACEHOLDER_LENGTH = 0x7fff0000LL;

// libsndfile quietly shortens an audio chunk that runs past the end of the
// file, noting in its log "data : STATED (should be PRESENT)" (WAV) or
// "SSND : ..." (AIFF). A file cut short would otherwise render as a shorter
// piece without a word.
std::string truncation(SNDFILE *file) {
    char log[4096] = {};
    sf_command(file, SFC_GET_LOG_INFO, log, sizeof log - 1);
    for (const char *line = log; *line != '\0';) {
        const char *end = std::strchr(line, '\n');
        const std::string text(line, end != nullptr ? end : line + std::strlen(line));
        char chunk[16] = {};
        long long stated = 0, present = 0;
        if (std::sscanf(text.c_str(), " %15s : %lld (should be %lld)", chunk, &stated,
                        &present) == 3 &&
            (std::strcmp(chunk, "data") == 0 || std::strcmp(chunk, "SSND") == 0) &&
            stated > present && stated < PLACEHOLDER_LENGTH) {
            return "its header states " + std::to_string(stated) +
                   " bytes of audio, the file holds " + std::to_string(present);
        }
        if (end == nullptr) {
            break;
        }
        line = end + 1;
    }
    return "";
}

// What libsndfile is told of a file it is to write.
SF_INFO write_info(int format, int rate, int channels) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    return info;
}

}  // namespace

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
    return checked_read(sf_open(name.c_str(), SFM_READ, &info), info, name);
}

SoundFile SoundFile::open_read(SF_VIRTUAL_IO &io, void *user, const std::string &name) {
    SF_INFO info{};
    return checked_read(sf_open_virtual(&io, SFM_READ, &info, user), info, name);
}

SoundFile SoundFile::checked_read(SNDFILE *file, const SF_INFO &info, const std::string &name) {
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
    SoundFile sound(file, info, name);
    if (info.channels > 2) {
        throw ToolError(name + ": has " + std::to_string(info.channels) +
                        " channels; only mono and stereo files can be rendered");
    }
    if (const std::string cut = truncation(file); !cut.empty()) {
        throw ToolError(name + ": truncated: " + cut);
    }
    return sound;
}

SoundFile SoundFile::open_write(const fs::path &path, int format, int rate, int channels,
                                const std::string &name) {
    SF_INFO info = write_info(format, rate, channels);
    // Opened here as libsndfile would open it, so that the descriptor is at
    // hand for the flusher.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        // libsndfile's own attempt says why, in its words.
        return checked_write(sf_open(path.string().c_str(), SFM_WRITE, &info), info, name);
    }
    SNDFILE *file = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
    if (file == nullptr) {
        ::close(fd);
    }
    SoundFile sound = checked_write(file, info, name);
    sound.fd_ = fd;
    sound.flusher_ = std::make_unique<Flusher>(fd);
    return sound;
}

SoundFile SoundFile::open_write(SF_VIRTUAL_IO &io, void *user, int format, int rate,
                                int channels, const std::string &name) {
    SF_INFO info = write_info(format, rate, channels);
    return checked_write(sf_open_virtual(&io, SFM_WRITE, &info, user), info, name);
}

SoundFile SoundFile::checked_write(SNDFILE *file, const SF_INFO &info, const std::string &name) {
    if (file == nullptr) {
        throw ToolError(name + ": cannot write: " + sf_strerror(nullptr));
    }
    return SoundFile(file, info, name);
}

SoundFile::SoundFile(SoundFile &&other) noexcept
    : file_(std::exchange(other.file_, nullptr)), info_(other.info_),
      name_(std::move(other.name_)), wide_(std::move(other.wide_)), clipped_(other.clipped_),
      not_numbers_(other.not_numbers_), fd_(std::exchange(other.fd_, -1)),
      flusher_(std::move(other.flusher_)) {}

SoundFile::~SoundFile() {
    flusher_.reset();
    if (file_ != nullptr) {
        sf_close(file_);
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

int16_t to_pcm16(double normalised, int64_t &clipped, int64_t &not_numbers) {
    if (normalised != normalised) {
        ++not_numbers;
        return 0;
    }
    // Exact: a power of two. Rounded to nearest, ties to even: the tool
    // computes in the default rounding mode.
    const double scaled = std::nearbyint(normalised * 32768.0);
    if (scaled > 32767.0 || scaled < -32768.0) {
        // +1.0 exactly is full scale, one step above the largest 16-bit value.
        clipped += normalised > 1.0 || normalised < -1.0;
        return scaled > 0.0 ? 32767 : -32768;
    }
    return static_cast<int16_t>(scaled);
}

bool SoundFile::converted() const { return (info_.format & SF_FORMAT_SUBMASK) != SF_FORMAT_PCM_16; }

std::string SoundFile::format_name() const {
    SF_FORMAT_INFO major{}, subtype{};
    major.format = info_.format & SF_FORMAT_TYPEMASK;
    subtype.format = info_.format & SF_FORMAT_SUBMASK;
    const bool named = sf_command(nullptr, SFC_GET_FORMAT_INFO, &major, sizeof major) == 0 &&
                       sf_command(nullptr, SFC_GET_FORMAT_INFO, &subtype, sizeof subtype) == 0;
    if (!named) {
        char text[32];
        std::snprintf(text, sizeof text, "format 0x%x", static_cast<unsigned>(info_.format));
        return text;
    }
    // "WAV (Microsoft)" -> "WAV"
    std::string container = major.name;
    container = container.substr(0, container.find(" ("));
    return container + ", " + subtype.name;
}

int64_t SoundFile::read(int16_t *samples, int64_t frames) {
    sf_count_t got;
    if (!converted()) {
        got = sf_readf_short(file_, samples, frames);  // the rule is the identity here
    } else {
        const size_t values = static_cast<size_t>(frames) * static_cast<size_t>(info_.channels);
        if (wide_.size() < values) {
            wide_.resize(values);
        }
        got = sf_readf_double(file_, wide_.data(), frames);
        for (size_t i = 0; i < static_cast<size_t>(got) * static_cast<size_t>(info_.channels); ++i) {
            samples[i] = to_pcm16(wide_[i], clipped_, not_numbers_);
        }
    }
    if (got < frames && sf_error(file_) != SF_ERR_NO_ERROR) {
        throw ToolError(name_ + ": cannot read: " + sf_strerror(file_));
    }
    return got;
}

void SoundFile::write(const int16_t *samples, int64_t frames) {
    if (sf_writef_short(file_, samples, frames) != frames) {
        throw ToolError(name_ + ": cannot write: " + sf_strerror(file_));
    }
    if (flusher_) {
        if (const int error = flusher_->written(frames * info_.channels * 2); error != 0) {
            throw ToolError(name_ + ": cannot write: " + std::strerror(error));
        }
    }
}

void SoundFile::close() {
    SNDFILE *file = std::exchange(file_, nullptr);
    if (file == nullptr) {
        return;
    }
    const int synced = flusher_ ? flusher_->finish() : 0;
    flusher_.reset();
    const int error = sf_close(file);
    const int fd = std::exchange(fd_, -1);
    const int closed = fd >= 0 && ::close(fd) != 0 ? errno : 0;
    if (synced != 0 || closed != 0) {
        throw ToolError(name_ + ": cannot write: " + std::strerror(synced != 0 ? synced : closed));
    }
    if (error != 0) {
        throw ToolError(name_ + ": cannot finish writing: " + sf_error_number(error));
    }
}

int output_format(const SF_INFO &input) {
    const int container = input.format & SF_FORMAT_TYPEMASK;
    for (const int encoding : {int{SF_FORMAT_PCM_16}, input.format & SF_FORMAT_SUBMASK}) {
        SF_INFO probe = write_info(container | encoding, input.samplerate, input.channels);
        // sf_format_check passes some encodings that libsndfile reads but
        // cannot write (MPEG layers I and II), and some encoders refuse a
        // rate only when the first frame comes (FLAC above 655350 Hz): only
        // writing a frame tells.
        if (!sf_format_check(&probe)) {
            continue;
        }
        MemoryFile trial;
        if (SNDFILE *file = sf_open_virtual(&MemoryFile::io(), SFM_WRITE, &probe, trial.user())) {
            const int16_t silence[2] = {};
            const bool written = sf_writef_short(file, silence, 1) == 1;
            if (sf_close(file) == 0 && written) {
                return container | encoding;
            }
        }
    }
    return 0;
}

}  // namespace tolvane::tools
