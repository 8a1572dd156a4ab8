// Output that loses nothing: every file is written under a temporary name
// beside its target and takes the target's name only when complete; it never
// replaces an input, and replaces an existing file only when forced.
#pragma once

#include <filesystem>
#include <vector>

namespace tolvane::tools {

// Throws ToolError when `target` may not be written: it is one of `inputs`, a
// folder, or an existing file while `force` is off.
void check_target(const std::filesystem::path &target,
                  const std::vector<std::filesystem::path> &inputs, bool force);

class PendingOutput {
public:
    // Creates the temporary file beside `target`.
    PendingOutput(std::filesystem::path target, bool force);
    ~PendingOutput();  // removes the temporary file unless committed
    PendingOutput(const PendingOutput &) = delete;
    PendingOutput &operator=(const PendingOutput &) = delete;

    const std::filesystem::path &temp_path() const { return temp_; }
    const std::filesystem::path &target() const { return target_; }
    // Gives the finished file its name; without force, refuses a target that
    // appeared meanwhile.
    void commit();

private:
    std::filesystem::path target_;
    std::filesystem::path temp_;
    bool force_;
    bool committed_ = false;
};

}  // namespace tolvane::tools
