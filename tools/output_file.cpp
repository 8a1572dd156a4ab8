#include "tools/output_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "tools/tool_error.h"

namespace fs = std::filesystem;

namespace tolvane::tools {

namespace {

// mkstemp creates files readable by the owner alone; a finished output gets
// the permissions any new file would.
mode_t new_file_mode() {
    static const mode_t mode = [] {
        const mode_t mask = umask(0);
        umask(mask);
        return static_cast<mode_t>(0666 & ~mask);
    }();
    return mode;
}

std::string system_error() { return std::strerror(errno); }

// Fails with EEXIST rather than replace a file. Where the file system cannot
// rename that way, a hard link does the same.
bool rename_no_replace(const std::string &from, const std::string &to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
    if (link(from.c_str(), to.c_str()) != 0) {
        return false;
    }
    unlink(from.c_str());
    return true;
}

}  // namespace

void check_writable(const fs::path &folder, const fs::path &target) {
    // The permissions, and a read-only file system, as they apply to this
    // process; a full disk shows only when writing.
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        throw ToolError(target.string() + ": cannot write in " + folder.string() + ": " +
                        system_error());
    }
}

void check_target(const fs::path &target, const std::vector<fs::path> &inputs, bool force) {
    std::error_code ec;
    const fs::path folder = fs::absolute(target).parent_path();
    if (!fs::exists(target, ec)) {
        if (!fs::is_directory(folder, ec)) {
            throw ToolError(target.string() + ": folder " + folder.string() + " does not exist");
        }
        check_writable(folder, target);
        return;
    }
    for (const fs::path &input : inputs) {
        if (fs::equivalent(target, input, ec)) {
            throw ToolError(target.string() + ": is the input " + input.string() +
                            "; a render never writes over its own input");
        }
    }
    if (fs::is_directory(target, ec)) {
        throw ToolError(target.string() + ": is a folder");
    }
    if (!force) {
        throw ToolError(target.string() + ": exists; use --force to replace it");
    }
    check_writable(folder, target);
}

PendingOutput::PendingOutput(fs::path target, bool force)
    : target_(std::move(target)), force_(force) {
    const fs::path folder = fs::absolute(target_).parent_path();
    // Hidden, and named after the target, so a stray one says where it came from.
    std::string name = ".";
    name += target_.filename().string();
    name += ".tmp-XXXXXX";
    std::string pattern = (folder / name).string();
    const int fd = mkstemp(pattern.data());
    if (fd < 0) {
        throw ToolError(target_.string() + ": cannot create a file in " + folder.string() +
                        ": " + system_error());
    }
    fchmod(fd, new_file_mode());
    ::close(fd);
    temp_ = pattern;
}

PendingOutput::~PendingOutput() {
    if (!committed_) {
        std::error_code ec;
        fs::remove(temp_, ec);
    }
}

void PendingOutput::write(std::string_view bytes) {
    const int fd = open(temp_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
        throw ToolError(target_.string() + ": cannot write: " + system_error());
    }
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            const std::string reason = written < 0 ? system_error() : "nothing written";
            ::close(fd);
            throw ToolError(target_.string() + ": cannot write: " + reason);
        }
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    if (::close(fd) != 0) {
        throw ToolError(target_.string() + ": cannot write: " + system_error());
    }
}

void PendingOutput::commit() {
    // Some file systems report a full disk only when the data goes out; a
    // file named as finished must be finished.
    const int fd = open(temp_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) != 0) {
        const std::string reason = system_error();
        if (fd >= 0) {
            ::close(fd);
        }
        throw ToolError(target_.string() + ": cannot write: " + reason);
    }
    ::close(fd);
    const std::string from = temp_.string(), to = target_.string();
    if (force_) {
        if (std::rename(from.c_str(), to.c_str()) != 0) {
            throw ToolError(to + ": cannot rename the finished file: " + system_error());
        }
    } else if (!rename_no_replace(from, to)) {
        if (errno == EEXIST) {
            throw ToolError(to + ": appeared while rendering; use --force to replace it");
        }
        throw ToolError(to + ": cannot rename the finished file: " + system_error());
    }
    committed_ = true;
}

namespace {
// How often, in bytes written, writeback is started, and a sync asked for.
constexpr int64_t START_EVERY = int64_t{1} << 20;
constexpr int64_t SYNC_EVERY = int64_t{8} << 20;
}  // namespace

Flusher::Flusher(int fd) : fd_(fd) {}

Flusher::~Flusher() { finish(); }

int Flusher::written(int64_t bytes) {
    since_start_ += bytes;
    since_sync_ += bytes;
    if (since_start_ >= START_EVERY) {
        // Only a hint: a failure shows in a sync.
        sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
        since_start_ = 0;
    }
    std::lock_guard lock(mutex_);
    if (since_sync_ >= SYNC_EVERY && error_ == 0) {
        since_sync_ = 0;
        wanted_ = true;
        if (!thread_.joinable()) {
            thread_ = std::thread([this] { run(); });
        } else {
            wake_.notify_one();
        }
    }
    return error_;
}

int Flusher::finish() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) {
        thread_.join();
    }
    return error_;
}

void Flusher::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return wanted_ || stop_; });
        if (stop_) {
            return;  // the final sync does the rest
        }
        wanted_ = false;
        lock.unlock();
        const int result = fdatasync(fd_);
        const int error = errno;
        lock.lock();
        // A file that cannot be synced at all is left to the final sync.
        if (result != 0 && error != EINVAL && error_ == 0) {
            error_ = error;
        }
    }
}

}  // namespace tolvane::tools
