// Output that loses nothing: every file is written under a temporary name
// beside its target and takes the target's name only when complete; it never
// replaces an input, and replaces an existing file only when forced.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

namespace tolvane::tools {

// Throws ToolError when `target` may not be written: it is one of `inputs`, a
// folder, an existing file while `force` is off, or its folder is missing or
// cannot be written in.
void check_target(const std::filesystem::path &target,
                  const std::vector<std::filesystem::path> &inputs, bool force);

// Throws ToolError naming `target` unless a file can be created in `folder`.
void check_writable(const std::filesystem::path &folder, const std::filesystem::path &target);

class PendingOutput {
public:
    // Creates the temporary file beside `target`.
    PendingOutput(std::filesystem::path target, bool force);
    ~PendingOutput();  // removes the temporary file unless committed
    PendingOutput(const PendingOutput &) = delete;
    PendingOutput &operator=(const PendingOutput &) = delete;

    const std::filesystem::path &temp_path() const { return temp_; }
    const std::filesystem::path &target() const { return target_; }
    // Writes `bytes` as the whole temporary file.
    void write(std::string_view bytes);
    // Gives the finished file its name once its data is on the disk; without
    // force, refuses a target that appeared meanwhile.
    void commit();

private:
    std::filesystem::path target_;
    std::filesystem::path temp_;
    bool force_;
    bool committed_ = false;
};

// Takes a file to the disk while it is being written, so that the sync that
// finishes it waits for the last few megabytes alone: every megabyte written
// starts on its way, and every few, a thread of its own syncs them, which
// also lets the storage below persist them a little at a time.
class Flusher {
public:
    explicit Flusher(int fd);  // `fd` must stay open while the flusher lives
    ~Flusher();                // waits for a sync under way
    Flusher(const Flusher &) = delete;
    Flusher &operator=(const Flusher &) = delete;

    // Notes `bytes` more written. Returns the errno of a sync that failed, 0
    // if none has: the caller must report it, as a later sync may not.
    int written(int64_t bytes);
    // Waits for a sync under way; returns what written() would.
    int finish();

private:
    void run();

    int fd_;
    int64_t since_start_ = 0, since_sync_ = 0;  // bytes, the writer's alone
    std::mutex mutex_;
    std::condition_variable wake_;
    bool wanted_ = false, stop_ = false;
    int error_ = 0;
    std::thread thread_;
};

}  // namespace tolvane::tools
