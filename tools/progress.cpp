#include "tools/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace tolvane::tools {

namespace {
constexpr auto QUIET_FOR = std::chrono::seconds(1);
constexpr auto REDRAW_EVERY = std::chrono::milliseconds(100);
constexpr int BAR_WIDTH = 40;
}  // namespace

Progress::Progress(uint64_t total_frames, size_t files)
    : total_frames_(total_frames), files_(files) {
    if (!isatty(STDERR_FILENO)) {
        return;
    }
    drawer_ = std::thread([this] {
        const auto start = std::chrono::steady_clock::now();
        bool shown = false;
        std::unique_lock lock(mutex_);
        while (!wake_.wait_for(lock, REDRAW_EVERY, [this] { return stop_; })) {
            if (std::chrono::steady_clock::now() - start >= QUIET_FOR) {
                draw(shown);
            }
        }
        if (shown) {
            std::fprintf(stderr, "\r%*s\r", BAR_WIDTH + 40, "");
        }
    });
}

Progress::~Progress() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (drawer_.joinable()) {
        drawer_.join();
    }
}

void Progress::draw(bool &shown) {
    const double fraction =
        total_frames_ == 0 ? 1.0
                           : std::min(1.0, static_cast<double>(done_frames_) /
                                               static_cast<double>(total_frames_));
    const int filled = static_cast<int>(fraction * BAR_WIDTH + 0.5);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(BAR_WIDTH, '.');
    std::fprintf(stderr, "\r[%s] %3d%%  %zu/%zu files", bar.c_str(),
                 static_cast<int>(fraction * 100.0), done_files_.load(), files_);
    std::fflush(stderr);
    shown = true;
}

}  // namespace tolvane::tools
