// Running the built tool and handling the files it reads and writes.
#pragma once

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace tolvane::tools_test {

namespace fs = std::filesystem;

struct ToolRun {
    int status;  // the exit status; -1 if the program did not exit by itself
    std::string out, err;
};

// Starts `program` with these arguments in `folder`, its output captured
// there; each "NAME=value" of `env` replaces that variable of this process.
pid_t start_program(const fs::path &program, const std::vector<std::string> &args,
                    const fs::path &folder, const std::vector<std::string> &env = {});
// Waits for a started program and collects what it printed.
ToolRun finish_program(pid_t pid, const fs::path &folder);

// Runs `tolvane` with these arguments, in `folder`.
ToolRun run_tool(const std::vector<std::string> &args, const fs::path &folder);

struct Audio {
    int rate = 48000;
    int channels = 1;
    std::vector<int16_t> samples;  // interleaved
    int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    int64_t frames() const { return static_cast<int64_t>(samples.size()) / channels; }
};

void write_audio(const fs::path &path, const Audio &audio);
Audio read_audio(const fs::path &path);

// Music-like test content: a few partials and a little noise, reproducible.
Audio test_signal(int rate, int channels, double seconds, int format);

std::string read_bytes(const fs::path &path);
void write_text(const fs::path &path, const std::string &text);

// Every file under a folder with its contents: what a failed command must
// leave exactly as it was.
std::map<std::string, std::string> snapshot(const fs::path &folder);
// The files that differ between two snapshots: added, removed or changed. A
// failure lists their names, not megabytes of audio.
std::vector<std::string> changes(const std::map<std::string, std::string> &before,
                                 const std::map<std::string, std::string> &after);

// A table row's label as a test name.
std::string test_name(const std::string &label);

// Each test gets a fresh folder, removed afterwards.
class ToolTest : public testing::Test {
protected:
    ToolTest();
    ~ToolTest() override;
    ToolRun tolvane(const std::vector<std::string> &args) { return run_tool(args, dir); }
    fs::path dir;
};

}  // namespace tolvane::tools_test
