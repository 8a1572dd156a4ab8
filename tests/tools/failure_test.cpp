// When the disk, the folder or the user stops a command part way: a full disk
// and an interrupted render leave no partial output and say why; a folder
// that cannot be written in is refused before any work is done.
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "tests/tools/tool_fixture.h"

namespace tolvane::tools_test {
namespace {

const int WAV = SF_FORMAT_WAV | SF_FORMAT_PCM_16, FLAC = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;

// A small file system of its own at `folder`, taken away at the end. Only
// root may mount one; `reason` says why there is none.
class SmallDisk {
public:
    SmallDisk(const fs::path &folder, bool read_only, const std::string &size = "16k")
        : folder_(folder) {
        fs::create_directory(folder);
        if (mount("tolvane-test", folder.c_str(), "tmpfs",
                  MS_NOSUID | MS_NODEV | (read_only ? MS_RDONLY : 0),
                  ("size=" + size).c_str()) == 0) {
            mounted_ = true;
        } else {
            reason = "cannot mount a " + size + " tmpfs (" + std::strerror(errno) +
                     "); run the tests as root to check this";
        }
    }
    ~SmallDisk() {
        if (mounted_) {
            umount2(folder_.c_str(), MNT_DETACH);
        }
    }
    bool mounted() const { return mounted_; }
    std::string reason;

private:
    fs::path folder_;
    bool mounted_ = false;
};

void write_settings(const fs::path &dir) {
    write_text(dir / "s.toml", "\"0 Type 0\" = \"peaking\"\n\"0 Gain 0\" = 6.0\n"
                               "\"0 Enable 0\" = true\n");
}

// A command of the tool and the file its message must name.
struct Command {
    const char *label;
    std::vector<std::string> args;
    const char *target;     // as the message names it
    const char *disk = "16k";  // the size of the disk it fills
};

void PrintTo(const Command &c, std::ostream *os) { *os << c.label; }

// Each command writes more than the disk holds.
const Command FULL_DISK[] = {
    {"render to WAV", {"render", "s.toml", "in.wav", "-o", "disk/out.wav"}, "disk/out.wav"},
    {"render to FLAC in a new folder", {"render", "s.toml", "in.flac", "--out-dir", "disk/out"},
     "disk/out/in.flac"},
    // Full only after several chunks have been read, processed and written.
    {"render a long file to WAV", {"render", "s.toml", "long.wav", "-o", "disk/out.wav"},
     "disk/out.wav", "1m"},
    {"render a long file to FLAC, a frame a block",
     {"render", "s.toml", "long.flac", "-o", "disk/out.flac", "--block", "1"}, "disk/out.flac",
     "512k"},
    {"demo signal", {"synth", "disk/demo.wav", "--seconds", "1"}, "disk/demo.wav"},
    {"response numbers", {"response", "s.toml", "--csv", "disk/r.csv", "--points", "2000"},
     "disk/r.csv"},
    {"response plot", {"response", "s.toml", "-o", "disk/r.png"}, "disk/r.png"},
};

class FullDiskFails : public ToolTest, public testing::WithParamInterface<Command> {};

TEST_P(FullDiskFails, SayingWhyAndLeavingNothing) {
    const Command &c = GetParam();
    const SmallDisk disk(dir / "disk", false, c.disk);
    if (!disk.mounted()) {
        GTEST_SKIP() << disk.reason;
    }
    write_settings(dir);
    write_audio(dir / "in.wav", test_signal(44100, 2, 1.0, WAV));
    write_audio(dir / "in.flac", test_signal(44100, 2, 1.0, FLAC));
    write_audio(dir / "long.wav", test_signal(44100, 2, 10.0, WAV));
    write_audio(dir / "long.flac", test_signal(44100, 2, 10.0, FLAC));
    const auto before = snapshot(dir);

    const ToolRun run = tolvane(c.args);

    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(std::string(c.target) + ": cannot write: "), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find(std::strerror(ENOSPC)), std::string::npos) << run.err;
    EXPECT_EQ(changes(before, snapshot(dir)), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Cases, FullDiskFails, testing::ValuesIn(FULL_DISK),
                         [](const auto &info) { return test_name(info.param.label); });

// The temporary files of outputs being written in `folder`.
size_t pending_outputs(const fs::path &folder) {
    size_t count = 0;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        count += name[0] == '.' && name.find(".tmp-") != std::string::npos;
    }
    return count;
}

struct Interrupted {
    const char *label;
    std::vector<std::string> inputs;
    std::vector<std::string> output_args;
    const char *out_folder;  // where the outputs are written
};

const Interrupted INTERRUPTED[] = {
    {"one file", {"in.wav"}, {"-o", "out.wav"}, "."},
    {"two files at once into a new folder", {"a.wav", "b.wav"}, {"--out-dir", "out", "--jobs", "2"},
     "out"},
};

void PrintTo(const Interrupted &c, std::ostream *os) { *os << c.label; }

class InterruptedRender : public ToolTest, public testing::WithParamInterface<Interrupted> {};

TEST_P(InterruptedRender, LeavesNoPartialOutput) {
    const Interrupted &c = GetParam();
    write_settings(dir);
    // A minute of audio a frame at a time: seconds of work to interrupt.
    const Audio long_audio = test_signal(22050, 1, 60.0, WAV);
    for (const std::string &input : c.inputs) {
        write_audio(dir / input, long_audio);
    }
    const auto before = snapshot(dir);
    std::vector<std::string> args = {"render", "s.toml"};
    args.insert(args.end(), c.inputs.begin(), c.inputs.end());
    args.insert(args.end(), c.output_args.begin(), c.output_args.end());
    args.insert(args.end(), {"--block", "1"});

    const pid_t pid = start_program(TOLVANE_TOOL, args, dir);
    ASSERT_GT(pid, 0);
    // Ctrl-C once an output is being written.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (pending_outputs(dir / c.out_folder) == 0 && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(pid, SIGINT);
    const ToolRun run = finish_program(pid, dir);

    EXPECT_EQ(run.status, 130) << run.err;
    for (const std::string &input : c.inputs) {
        EXPECT_NE(run.err.find("tolvane: " + input + ": interrupted; nothing written"),
                  std::string::npos)
            << run.err;
    }
    EXPECT_EQ(changes(before, snapshot(dir)), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Cases, InterruptedRender, testing::ValuesIn(INTERRUPTED),
                         [](const auto &info) { return test_name(info.param.label); });

// A folder this process cannot write in: a read-only file system for root,
// who may write in any folder, or a folder without write permission.
struct Unwritable {
    explicit Unwritable(const fs::path &folder) : folder(folder) {
        if (geteuid() == 0) {
            disk = std::make_unique<SmallDisk>(folder, true);
            reason = disk->mounted() ? "" : disk->reason;
        } else {
            fs::create_directory(folder);
            fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
        }
    }
    ~Unwritable() {
        std::error_code ec;
        fs::permissions(folder, fs::perms::owner_all, ec);
    }
    fs::path folder;
    std::unique_ptr<SmallDisk> disk;
    std::string reason;  // why there is none
};

const Command UNWRITABLE[] = {
    {"render into it", {"render", "s.toml", "a.wav", "b.wav", "--out-dir", "locked"}, "locked"},
    {"render into a new folder there",
     {"render", "s.toml", "a.wav", "b.wav", "--out-dir", "locked/new"}, "locked/new"},
    {"render one file there", {"render", "s.toml", "a.wav", "-o", "locked/a.wav"},
     "locked/a.wav"},
    {"demo signal there", {"synth", "locked/demo.wav"}, "locked/demo.wav"},
    {"response plot and numbers there",
     {"response", "s.toml", "-o", "r.png", "--csv", "locked/r.csv"}, "locked/r.csv"},
};

class UnwritableFolder : public ToolTest, public testing::WithParamInterface<Command> {};

TEST_P(UnwritableFolder, IsRefusedBeforeAnyWork) {
    const Command &c = GetParam();
    const Unwritable locked(dir / "locked");
    if (!locked.reason.empty()) {
        GTEST_SKIP() << locked.reason;
    }
    write_settings(dir);
    write_audio(dir / "a.wav", test_signal(44100, 2, 0.5, WAV));
    write_audio(dir / "b.wav", test_signal(44100, 1, 0.5, WAV));
    const auto before = snapshot(dir);

    const ToolRun run = tolvane(c.args);

    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(std::string(c.target) + ": cannot write in "), std::string::npos)
        << run.err;
    // Nothing rendered, so no summary, and nothing written anywhere.
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(changes(before, snapshot(dir)), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Cases, UnwritableFolder, testing::ValuesIn(UNWRITABLE),
                         [](const auto &info) { return test_name(info.param.label); });

}  // namespace
}  // namespace tolvane::tools_test
