// Audio files through libsndfile: whatever it reads comes in as 16-bit PCM,
// which is what the provider processes; every error says which file and why.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace tolvane::tools {

class SoundFile {
public:
    // Opens a file for reading; throws ToolError with the reason a file cannot
    // be rendered: missing, not audio, truncated, no sample rate, more than
    // two channels.
    static SoundFile open_read(const std::filesystem::path &path);
    // The same over bytes that libsndfile reaches through `io`; `name` is the
    // file named in messages.
    static SoundFile open_read(SF_VIRTUAL_IO &io, void *user, const std::string &name);
    // Creates a file of the given libsndfile format at `path`; messages name
    // `name`, the file the user asked for.
    static SoundFile open_write(const std::filesystem::path &path, int format, int rate,
                                int channels, const std::string &name);
    static SoundFile open_write(SF_VIRTUAL_IO &io, void *user, int format, int rate,
                                int channels, const std::string &name);

    SoundFile(SoundFile &&other) noexcept;
    SoundFile &operator=(SoundFile &&other) = delete;
    ~SoundFile();

    const SF_INFO &info() const { return info_; }
    const std::string &name() const { return name_; }
    // Reads up to `frames` frames; returns how many came, 0 at the end.
    int64_t read(int16_t *samples, int64_t frames);
    void write(const int16_t *samples, int64_t frames);
    // Closes the file; throws if the data did not all reach it.
    void close();

private:
    SoundFile(SNDFILE *file, const SF_INFO &info, std::string name)
        : file_(file), info_(info), name_(std::move(name)) {}
    static SoundFile checked_read(SNDFILE *file, const SF_INFO &info, const std::string &name);
    static SoundFile checked_write(SNDFILE *file, const SF_INFO &info, const std::string &name);

    SNDFILE *file_;
    SF_INFO info_;
    std::string name_;
};

// The format of a rendered file: the input's container with 16-bit PCM, or,
// for containers that hold no PCM (Ogg, MPEG), the input's own encoding; 0
// when libsndfile cannot write either at the input's rate and channels.
int output_format(const SF_INFO &input);

}  // namespace tolvane::tools
