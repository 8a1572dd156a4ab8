#include "tests/tools/tool_fixture.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <sstream>

extern char **environ;

namespace tolvane::tools_test {

pid_t start_program(const fs::path &program, const std::vector<std::string> &args,
                    const fs::path &folder, const std::vector<std::string> &env) {
    const fs::path out_path = folder / ".run-out", err_path = folder / ".run-err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    std::vector<std::string> words = {program.string()};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> variables = env;
    for (char **variable = environ; *variable != nullptr; ++variable) {
        const std::string text = *variable;
        const std::string name = text.substr(0, text.find('=') + 1);
        if (std::none_of(env.begin(), env.end(),
                         [&](const std::string &e) { return e.rfind(name, 0) == 0; })) {
            variables.push_back(text);
        }
    }
    std::vector<char *> envp;
    for (std::string &variable : variables) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

ToolRun finish_program(pid_t pid, const fs::path &folder) {
    const fs::path out_path = folder / ".run-out", err_path = folder / ".run-err";
    ToolRun run{-1, "", ""};
    if (pid > 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    run.out = read_bytes(out_path);
    run.err = read_bytes(err_path);
    fs::remove(out_path);
    fs::remove(err_path);
    return run;
}

ToolRun run_tool(const std::vector<std::string> &args, const fs::path &folder) {
    return finish_program(start_program(TOLVANE_TOOL, args, folder), folder);
}

void write_audio(const fs::path &path, const Audio &audio) {
    SF_INFO info{};
    info.samplerate = audio.rate;
    info.channels = audio.channels;
    info.format = audio.format;
    SNDFILE *file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
    EXPECT_EQ(sf_writef_short(file, audio.samples.data(), audio.frames()), audio.frames());
    sf_close(file);
}

Audio read_audio(const fs::path &path) {
    SF_INFO info{};
    SNDFILE *file = sf_open(path.c_str(), SFM_READ, &info);
    Audio audio;
    if (file == nullptr) {
        ADD_FAILURE() << path << ": " << sf_strerror(nullptr);
        return audio;
    }
    audio.rate = info.samplerate;
    audio.channels = info.channels;
    audio.format = info.format;
    audio.samples.resize(static_cast<size_t>(info.frames * info.channels));
    audio.samples.resize(
        static_cast<size_t>(sf_readf_short(file, audio.samples.data(), info.frames) * info.channels));
    sf_close(file);
    return audio;
}

Audio test_signal(int rate, int channels, double seconds, int format) {
    Audio audio{rate, channels, {}, format};
    const auto frames = static_cast<size_t>(seconds * rate);
    uint32_t noise = 12345;
    for (size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / rate;
        for (int c = 0; c < channels; ++c) {
            noise = noise * 1664525u + 1013904223u;
            const double value = 6000.0 * std::sin(2 * M_PI * (110.0 + 55.0 * c) * t) +
                                 4000.0 * std::sin(2 * M_PI * 1250.0 * t + c) +
                                 2500.0 * std::sin(2 * M_PI * 7000.0 * t) +
                                 1500.0 * (static_cast<double>(noise >> 8) / 8388608.0 - 1.0);
            audio.samples.push_back(static_cast<int16_t>(std::lround(value)));
        }
    }
    return audio;
}

std::string read_bytes(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void write_text(const fs::path &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::map<std::string, std::string> snapshot(const fs::path &folder) {
    std::map<std::string, std::string> files;
    for (const auto &entry : fs::recursive_directory_iterator(folder)) {
        files[fs::relative(entry.path(), folder).string()] =
            entry.is_regular_file() ? read_bytes(entry.path()) : "(folder)";
    }
    return files;
}

std::vector<std::string> changes(const std::map<std::string, std::string> &before,
                                 const std::map<std::string, std::string> &after) {
    std::vector<std::string> names;
    for (const auto &[name, bytes] : before) {
        const auto now = after.find(name);
        if (now == after.end()) {
            names.push_back(name + " (removed)");
        } else if (now->second != bytes) {
            names.push_back(name + " (changed)");
        }
    }
    for (const auto &[name, bytes] : after) {
        if (before.count(name) == 0) {
            names.push_back(name + " (added)");
        }
    }
    return names;
}

std::string test_name(const std::string &label) {
    std::string name = label;
    for (char &ch : name) {
        ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    }
    return name;
}

ToolTest::ToolTest() {
    std::string pattern = (fs::temp_directory_path() / "tolvane-tools-XXXXXX").string();
    dir = mkdtemp(pattern.data());
}

ToolTest::~ToolTest() { fs::remove_all(dir); }

}  // namespace tolvane::tools_test
