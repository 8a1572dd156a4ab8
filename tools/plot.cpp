#include "tools/plot.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <thread>

#include "tools/output_file.h"
#include "tools/tool_error.h"

extern char **environ;

namespace fs = std::filesystem;

namespace tolvane::tools {

namespace {

// A gnuplot string literal: single quotes take everything but a quote, which
// is doubled.
std::string quoted(const std::string &text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("''") : std::string(1, c);
    }
    return out + "'";
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string weight_text(float weight) {
    return weight == 0.0f ? "gated out of the mix" : "mix weight " + number(weight);
}

std::string script(const Response &response, const std::string &name) {
    // At most 54 dB under the highest level: shelves and peaks fill the plot,
    // and a pass filter's stop band runs off the bottom instead of
    // flattening the rest.
    double highest = 0.0, lowest = 0.0;
    for (const auto *curve : {&response.preset_db[0], &response.preset_db[1], &response.mix_db}) {
        highest = std::max(highest, *std::max_element(curve->begin(), curve->end()));
        lowest = std::min(lowest, *std::min_element(curve->begin(), curve->end()));
    }
    const double top = std::max(6.0, std::ceil((highest + 3.0) / 6.0) * 6.0);
    const double bottom = std::max(top - 54.0, std::floor((lowest - 3.0) / 6.0) * 6.0);
    const double nyquist = response.rate / 2.0;

    std::ostringstream s;
    s << "set terminal pngcairo noenhanced size 1200,720 font 'Sans,12'\n"
      << "set title " << quoted(name + ": magnitude response at " + number(response.rate) + " Hz, Lerp " + number(response.lerp)) << "\n"
      << "set xlabel 'frequency (Hz)'\nset ylabel 'level (dB)'\n"
      // A hair wider than 10 Hz to Nyquist: gnuplot drops a tick that falls
      // exactly on the border.
      << "set logscale x 10\nset xrange [" << 10.0 * 0.9999 << ":" << nyquist * 1.0001 << "]\n"
      << "set yrange [" << bottom << ":" << top << "]\nset ytics 6\n"
      << "set xtics (";
    const double ticks[] = {10, 20, 50, 100, 200, 500, 1e3, 2e3, 5e3, 1e4, 2e4, 5e4, 1e5};
    const char *labels[] = {"10", "20", "50", "100", "200", "500", "1k", "2k", "5k", "10k", "20k", "50k", "100k"};
    bool first = true;
    for (size_t i = 0; i < std::size(ticks) && ticks[i] <= nyquist; ++i) {
        s << (first ? "" : ", ") << "'" << labels[i] << "' " << ticks[i];
        first = false;
    }
    s << ")\nset mxtics 10\n"
      << "set grid xtics mxtics ytics lc rgb '#d0d0d0', lc rgb '#eeeeee'\n"
      << "set key below maxrows 1 spacing 1.5\n"
      << "$response << EOD\n";
    for (size_t i = 0; i < response.hz.size(); ++i) {
        s << response.hz[i] << ' ' << response.preset_db[0][i] << ' ' << response.preset_db[1][i]
          << ' ' << response.mix_db[i] << '\n';
    }
    // The mix first, wide and translucent, so a preset that equals it (the
    // other one gated) still shows on top.
    s << "EOD\n"
      << "plot $response using 1:4 with lines lw 6 lc rgb '#90303030' title "
      << quoted("mix at Lerp " + number(response.lerp)) << ", \\\n"
      << "     $response using 1:2 with lines lw 2 dt 2 lc rgb '#1f77b4' title "
      << quoted("preset 0 (" + weight_text(response.weight[0]) + ")") << ", \\\n"
      << "     $response using 1:3 with lines lw 2 dt 2 lc rgb '#d62728' title "
      << quoted("preset 1 (" + weight_text(response.weight[1]) + ")") << "\n";
    return s.str();
}

// Runs gnuplot with the script on its standard input; returns what it wrote
// to its standard output. The image comes back here rather than straight into
// a file, because gnuplot finishes with success even when the disk took only
// part of it.
std::string run_gnuplot(const std::string &text) {
    int to_gnuplot[2], from_gnuplot[2];
    if (pipe2(to_gnuplot, O_CLOEXEC) != 0) {
        throw ToolError(std::string("cannot start gnuplot: ") + std::strerror(errno));
    }
    if (pipe2(from_gnuplot, O_CLOEXEC) != 0) {
        const int error = errno;
        close(to_gnuplot[0]);
        close(to_gnuplot[1]);
        throw ToolError(std::string("cannot start gnuplot: ") + std::strerror(error));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_gnuplot[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, from_gnuplot[1], STDOUT_FILENO);
    char program[] = "gnuplot";
    char *argv[] = {program, nullptr};
    pid_t pid;
    const int spawned = posix_spawnp(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(to_gnuplot[0]);
    close(from_gnuplot[1]);
    if (spawned != 0) {
        close(to_gnuplot[1]);
        close(from_gnuplot[0]);
        throw ToolError(std::string("cannot run gnuplot (Debian package gnuplot-nox): ") +
                        std::strerror(spawned));
    }
    // The script goes in from a second thread, so that neither side waits
    // on a full pipe for the other.
    std::thread feeder([fd = to_gnuplot[1], &text] {
        FILE *in = fdopen(fd, "w");
        std::fwrite(text.data(), 1, text.size(), in);
        std::fclose(in);
    });
    std::string image;
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(from_gnuplot[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        image.append(buffer, static_cast<size_t>(got));
    }
    close(from_gnuplot[0]);
    feeder.join();
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || image.empty()) {
        throw ToolError("gnuplot failed to draw the plot (its message is above)");
    }
    return image;
}

}  // namespace

void plot_response(const Response &response, const std::string &name, const fs::path &png,
                   bool force) {
    const std::string image = run_gnuplot(script(response, name));
    PendingOutput pending(png, force);
    pending.write(image);
    pending.commit();
}

}  // namespace tolvane::tools
