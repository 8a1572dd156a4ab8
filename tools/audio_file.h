// Audio files through libsndfile: whatever it reads comes in as 16-bit PCM,
// which is what the provider processes; every error says which file and why.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <filesystem>

namespace tolvane::tools {

class SoundFile {
public:
    // Opens a file for reading; throws ToolError with the reason a file cannot
    // be rendered: missing, not audio, no sample rate, more than two channels.
    static SoundFile open_read(const std::filesystem::path &path);
    // Creates a file of the given libsndfile format.
    static SoundFile open_write(const std::filesystem::path &path, int format, int rate,
                                int channels);

    SoundFile(SoundFile &&other) noexcept;
    SoundFile &operator=(SoundFile &&other) = delete;
    ~SoundFile();

    const SF_INFO &info() const { return info_; }
    // Reads up to `frames` frames; returns how many came, 0 at the end.
    int64_t read(int16_t *samples, int64_t frames);
    void write(const int16_t *samples, int64_t frames);
    // Closes the file; throws if the data did not all reach it.
    void close();

private:
    SoundFile(SNDFILE *file, const SF_INFO &info, std::filesystem::path path)
        : file_(file), info_(info), path_(std::move(path)) {}

    SNDFILE *file_;
    SF_INFO info_;
    std::filesystem::path path_;
};

// The format of a rendered file: the input's container with 16-bit PCM, or,
// for containers that hold no PCM (Ogg, MPEG), the input's own encoding.
int output_format(int input_format);

}  // namespace tolvane::tools
