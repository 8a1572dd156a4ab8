// Audio files through libsndfile: whatever it reads comes in as 16-bit PCM,
// which is what the provider processes; every error says which file and why.
//
// One rule brings every format to 16 bits: the file is read as floating point
// normalised to full scale (a 16-bit value k reads as exactly k/32768), then
// multiplied by 32768, rounded to nearest (ties to even) and saturated to
// -32768..32767. It is the identity on 16-bit files; a float file holding
// k/32768, or a 24- or 32-bit file whose low bits are zero, reads as k.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tools/output_file.h"

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
    // Reads up to `frames` frames as 16-bit samples, by the rule above;
    // returns how many came, 0 at the end.
    int64_t read(int16_t *samples, int64_t frames);
    // Input samples read so far that lay beyond full scale (magnitude above
    // 1) and were clipped, and ones that were not numbers, read as 0.
    int64_t clipped() const { return clipped_; }
    int64_t not_numbers() const { return not_numbers_; }
    // Whether the file is anything but 16-bit PCM, which read() converts.
    bool converted() const;
    // What the file is: its container and sample type, as "WAV, 32 bit float".
    std::string format_name() const;
    // Writes `frames` frames; on a file opened by path, what is written starts
    // going to the disk every few megabytes rather than all at the close.
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
    std::vector<double> wide_;  // a converted read's samples, as libsndfile gave them
    int64_t clipped_ = 0, not_numbers_ = 0;
    int fd_ = -1;                       // a file written on disk: its descriptor
    std::unique_ptr<Flusher> flusher_;  // and what takes it to the disk
};

// One normalised sample as a 16-bit value, by the rule above; counts a sample
// beyond full scale in `clipped` and one that is not a number in
// `not_numbers`.
int16_t to_pcm16(double normalised, int64_t &clipped, int64_t &not_numbers);

// The format of a rendered file: the input's container with 16-bit PCM, or,
// for containers that hold no PCM (Ogg, MPEG), the input's own encoding; 0
// when libsndfile cannot write either at the input's rate and channels.
int output_format(const SF_INFO &input);

}  // namespace tolvane::tools
