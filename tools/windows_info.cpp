// `tolvane info` on a Windows DLL: only a Windows program can load one, so the
// listing comes from the Windows build's tolvane-info.exe, run under Wine.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "host/provider_host.h"
#include "tools/info.h"
#include "tools/tool_error.h"

extern char **environ;

namespace fs = std::filesystem;

namespace tolvane::tools {

namespace {

bool on_path(const std::string &program) {
    const char *path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "";
    for (size_t start = 0; start <= folders.size();) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos) {
            end = folders.size();
        }
        const std::string folder = folders.substr(start, end - start);
        if (!folder.empty() && access((folder + "/" + program).c_str(), X_OK) == 0) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

// Wine shows the whole Unix file system as drive Z:.
std::string windows_path(const fs::path &path) {
    std::string text = "Z:" + fs::absolute(path).lexically_normal().string();
    for (char &c : text) {
        c = c == '/' ? '\\' : c;
    }
    return text;
}

}  // namespace

int print_windows_info(const std::string &path, const std::string &build) {
    const char *bits = build == "win32" ? "32-bit" : "64-bit";
    // Beside this program's build folder: build/linux/tolvane finds
    // build/win32/tolvane-info.exe.
    const fs::path builds = fs::path(host::default_provider_path()).parent_path().parent_path();
    const fs::path program = builds / build / "tolvane-info.exe";
    std::error_code ec;
    if (!fs::is_regular_file(program, ec)) {
        throw ToolError(path + ": a " + bits + " Windows DLL, which only a Windows program can "
                        "load; " + program.string() + " is missing: build it with `cmake "
                        "--preset " + build + " && cmake --build --preset " + build + "`");
    }
    if (!on_path("wine")) {
        throw ToolError(path + ": a " + bits + " Windows DLL, which only a Windows program can "
                        "load, and that takes Wine, which is not installed (Debian packages "
                        "wine, wine64 and wine32:i386; ./scripts/setup installs them)");
    }
    std::string runner = TOLVANE_WINE_RUN, exe = program.string(), dll = windows_path(path);
    char *argv[] = {runner.data(), exe.data(), dll.data(), nullptr};
    pid_t pid;
    const int spawned = posix_spawn(&pid, runner.c_str(), nullptr, nullptr, argv, environ);
    if (spawned != 0) {
        throw ToolError(path + ": cannot run " + runner + ": " + std::strerror(spawned));
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace tolvane::tools
