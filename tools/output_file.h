// Output that loses nothing: every file is written under a temporary name
// beside its target and takes the target's name only when complete; it never
// replaces an input, and replaces an existing file only when forced.
#pragma once

#include <filesystem>
#include <string_view>
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

}  // namespace tolvane::tools
