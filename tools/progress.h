// A progress bar on standard error, shown only when that is a terminal and
// the work has run for about a second; quick runs stay quiet.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace tolvane::tools {

class Progress {
public:
    Progress(uint64_t total_frames, size_t files);
    ~Progress();  // stops drawing and clears the bar
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    // Both may be called from any thread.
    void advance(uint64_t frames) { done_frames_ += frames; }
    void file_done() { ++done_files_; }

private:
    void draw(bool &shown);

    const uint64_t total_frames_;
    const size_t files_;
    std::atomic<uint64_t> done_frames_{0};
    std::atomic<size_t> done_files_{0};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread drawer_;
};

}  // namespace tolvane::tools
