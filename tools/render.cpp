#include "tools/render.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/audio_file.h"
#include "tools/output_file.h"
#include "tools/progress.h"
#include "tools/tool_error.h"

namespace fs = std::filesystem;

namespace tolvane::tools {

namespace {

// Set by the signal handler, read by every rendering thread: a lock-free
// atomic is safe in both places, where a volatile flag is not.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void on_interrupt(int) { interrupted.store(true); }

struct Job {
    fs::path input;
    fs::path output;
    SF_INFO info{};
    std::string format;  // what the input is, and what reading it does
};

struct Result : Rendered {
    bool ok = false;
    std::string error;
};

std::string hex(int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(value));
    return text;
}

// The folders that creating `folder` would make, deepest first.
std::vector<fs::path> missing_folders(const fs::path &folder) {
    std::vector<fs::path> missing;
    std::error_code ec;
    for (fs::path f = fs::absolute(folder); !fs::exists(f, ec) && f.has_relative_path();
         f = f.parent_path()) {
        missing.push_back(f);
    }
    return missing;
}

// Every input readable and renderable, every output writable: checked before
// anything is written, so a refusal leaves nothing behind.
std::vector<Job> plan(const RenderOptions &options) {
    if (options.output && options.inputs.size() != 1) {
        throw ToolError("-o names the output of one input; for " +
                        std::to_string(options.inputs.size()) + " inputs use --out-dir DIR");
    }
    if (!options.output && !options.out_dir) {
        throw ToolError("say where the output goes: -o OUT or --out-dir DIR");
    }
    std::error_code ec;
    const bool out_dir_exists = options.out_dir && fs::exists(*options.out_dir, ec);
    if (out_dir_exists && !fs::is_directory(*options.out_dir, ec)) {
        throw ToolError(options.out_dir->string() + ": is not a folder");
    }
    if (options.out_dir && !out_dir_exists) {
        // The folder that will hold the new ones must take them.
        const std::vector<fs::path> missing = missing_folders(*options.out_dir);
        const fs::path parent =
            missing.empty() ? fs::absolute(*options.out_dir) : missing.back().parent_path();
        if (!fs::is_directory(parent, ec)) {
            throw ToolError(options.out_dir->string() + ": " + parent.string() +
                            " is not a folder");
        }
        check_writable(parent, *options.out_dir);
    } else if (options.out_dir) {
        check_writable(*options.out_dir, *options.out_dir);
    }
    std::vector<Job> jobs;
    std::string errors;
    std::map<fs::path, fs::path> claimed;  // output -> the input that writes it
    for (const fs::path &input : options.inputs) {
        Job job{input, options.output ? *options.output : *options.out_dir / input.filename(), {},
                {}};
        try {
            const SoundFile sound = SoundFile::open_read(input);
            job.info = sound.info();
            job.format = sound.format_name() + (sound.converted() ? ", converted to 16-bit" : "");
            if (output_format(job.info) == 0) {
                throw ToolError(input.string() + ": libsndfile can read this file (format 0x" +
                                hex(job.info.format) + ", " +
                                std::to_string(job.info.samplerate) + " Hz, " +
                                std::to_string(job.info.channels) +
                                (job.info.channels == 1 ? " channel" : " channels") +
                                ") but cannot write one like it");
            }
            const fs::path key = fs::weakly_canonical(fs::absolute(job.output));
            if (const auto other = claimed.find(key); other != claimed.end()) {
                throw ToolError(job.output.string() + ": written by both " +
                                other->second.string() + " and " + input.string());
            }
            claimed.emplace(key, input);
            // A folder that --out-dir will create holds nothing to collide with.
            if (options.output || out_dir_exists) {
                check_target(job.output, options.inputs, options.force);
            }
        } catch (const ToolError &error) {
            errors += (errors.empty() ? "" : "\n") + std::string(error.what());
        }
        jobs.push_back(std::move(job));
    }
    if (!errors.empty()) {
        throw ToolError(errors + "\nnothing was written");
    }
    return jobs;
}

// "Lerp" for block `index` of `blocks` under a sweep from a to b: a at the
// first block, b at the last, and b for any block past the file's stated
// length.
float sweep_lerp(double a, double b, int64_t index, int64_t blocks) {
    const double t = blocks > 1 ? std::min(1.0, static_cast<double>(index) /
                                                    static_cast<double>(blocks - 1))
                                : 0.0;
    return static_cast<float>(a + (b - a) * t);
}

Result render_file(const host::Provider &provider, const Settings &settings, const Job &job,
                   const RenderOptions &options, int32_t lerp_token, Progress &progress) {
    SoundFile input = SoundFile::open_read(job.input);
    const SF_INFO &info = input.info();
    PendingOutput pending(job.output, options.force);
    SoundFile output = SoundFile::open_write(pending.temp_path(), output_format(info),
                                             info.samplerate, info.channels,
                                             job.output.string());
    host::Voice voice(provider, info.samplerate);
    apply_settings(voice, settings);
    Result result;
    auto advanced = [&](int64_t frames) { progress.advance(static_cast<uint64_t>(frames)); };
    static_cast<Rendered &>(result) =
        options.automation
            ? render_automated(input, output, voice, *options.automation, advanced)
            : render_stream(input, output, voice, options.block, options.lerp_sweep, lerp_token,
                            advanced);
    output.close();
    pending.commit();
    result.ok = true;
    return result;
}

// 1234567 -> "1,234,567"
std::string grouped(int64_t count) {
    std::string digits = std::to_string(count), text;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            text += ',';
        }
        text += digits[i];
    }
    return text;
}

}  // namespace

std::string level(int peak) {
    if (peak == 0) {
        return "silent";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f dBFS", 20.0 * std::log10(peak / 32768.0));
    return text;
}

// The file moves in chunks of whole blocks, a quarter of a megabyte or so, so
// that reading and writing cost a few system calls, not one per block; the
// provider still sees one host-sized block at a time.
int64_t render_chunk_frames(int block) {
    return std::max<int64_t>(1, 65536 / block) * block;
}

namespace {

// Chunks in flight: about 4 ms of processing, so that a reader or writer
// that a busy machine deschedules for a time slice does not hold up the
// processing; 4 MiB of stereo at most.
constexpr int64_t RING = 16;

enum Stage { READ, PROCESS, WRITE };

// The provider processes in place, so a chunk is one buffer: read into,
// processed and written from.
struct Chunk {
    // Left uninitialised: every sample used is read or computed first.
    std::unique_ptr<int16_t[]> samples;
    int64_t frames = 0;  // read into samples
};

// The chunks of one stream as they pass from the reader thread to the
// processing (the caller's thread) to the writer thread, each stage taking
// them in order. After a failure, each stage still does the work that reading,
// processing and writing chunk after chunk on one thread would have done before
// it, and nothing after: the failure reported is the one that thread would
// have met first, whatever the threads' pace.
class Stages {
public:
    explicit Stages(size_t values) : chunks_(RING) {
        for (Chunk &chunk : chunks_) {
            chunk.samples = std::make_unique_for_overwrite<int16_t[]>(values);
        }
    }

    Chunk &chunk(int64_t index) { return chunks_[static_cast<size_t>(index % RING)]; }

    // Waits until `stage` may take chunk `index`; false once there is nothing
    // more for it to do: the stream ended before `index`, or a failure came
    // before this step.
    bool wait(Stage stage, int64_t index) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] {
            return ready(stage, index) || past_end(index) || cancelled(stage, index);
        });
        return ready(stage, index) && !cancelled(stage, index);
    }

    void done(Stage stage, int64_t index) {
        {
            std::lock_guard lock(mutex_);
            done_[stage] = index + 1;
        }
        changed_.notify_all();
    }

    // The reader found the end of the input after `count` chunks.
    void end(int64_t count) {
        {
            std::lock_guard lock(mutex_);
            count_ = count;
        }
        changed_.notify_all();
    }

    void fail(Stage stage, int64_t index, std::exception_ptr error) {
        {
            std::lock_guard lock(mutex_);
            if (step(stage, index) < failed_at_) {
                failed_at_ = step(stage, index);
                error_ = std::move(error);
            }
        }
        changed_.notify_all();
    }

    // Ends every wait: the caller is leaving by an exception of its own.
    void stop() {
        {
            std::lock_guard lock(mutex_);
            failed_at_ = -1;
        }
        changed_.notify_all();
    }

    void rethrow() {
        std::lock_guard lock(mutex_);
        if (error_) {
            std::rethrow_exception(error_);
        }
    }

private:
    // Where a stage's work on a chunk comes on one thread.
    static int64_t step(Stage stage, int64_t index) { return index * 3 + stage; }
    bool ready(Stage stage, int64_t index) const {
        switch (stage) {
        case READ:
            return index - done_[WRITE] < RING;  // its chunk has been written
        case PROCESS:
            return done_[READ] > index;
        case WRITE:
            return done_[PROCESS] > index;
        }
        return false;
    }
    bool past_end(int64_t index) const { return count_ >= 0 && index >= count_; }
    bool cancelled(Stage stage, int64_t index) const { return step(stage, index) > failed_at_; }

    std::vector<Chunk> chunks_;
    std::mutex mutex_;
    std::condition_variable changed_;
    int64_t done_[3] = {0, 0, 0};  // chunks each stage has finished
    int64_t count_ = -1;           // chunks in the stream, once the reader knows
    int64_t failed_at_ = INT64_MAX;
    std::exception_ptr error_;
};

// The reader and writer threads, stopped and joined however the caller leaves.
struct Threads {
    explicit Threads(Stages &stages) : stages(stages) {}
    ~Threads() {
        stages.stop();
        join();
    }
    void join() {
        for (std::thread &thread : threads) {
            if (thread.joinable()) {
                thread.join();
            }
        }
    }
    Stages &stages;
    std::vector<std::thread> threads;
};

// Adds one chunk's samples to the peak and the count of saturated ones. The
// extremes alone take one vectorised pass; samples at full scale are rare
// enough to be counted only in a chunk that has some.
void measure(const int16_t *samples, size_t count, Rendered &result) {
    int16_t low = 0, high = 0;
    for (size_t i = 0; i < count; ++i) {
        low = std::min(low, samples[i]);
        high = std::max(high, samples[i]);
    }
    result.peak = std::max({result.peak, int{high}, -int{low}});
    if (high == 32767 || low == -32768) {
        for (size_t i = 0; i < count; ++i) {
            result.saturated += samples[i] == 32767 || samples[i] == -32768;
        }
    }
}

}  // namespace

Rendered render_stream(SoundFile &input, SoundFile &output, host::Voice &voice, int block,
                       const std::optional<std::pair<double, double>> &lerp_sweep,
                       int32_t lerp_token, const std::function<void(int64_t)> &advanced) {
    const SF_INFO &info = input.info();
    const int channels = info.channels;
    const int rate = info.samplerate;
    // Formats that cannot tell their length state SF_COUNT_MAX.
    const bool length_known = info.frames >= 0 && info.frames != SF_COUNT_MAX;
    const int64_t blocks = length_known ? info.frames / block + (info.frames % block != 0) : 0;
    const int64_t chunk = render_chunk_frames(block);
    Stages stages(static_cast<size_t>(chunk) * static_cast<size_t>(channels));
    Rendered result;  // the writer's until it is joined
    {
        Threads threads(stages);
        // Reading and writing, decoding and encoding with them, go on beside
        // the processing, which stays on the caller's thread.
        threads.threads.emplace_back([&] {
            int64_t index = 0;
            try {
                for (; stages.wait(READ, index); ++index) {
                    Chunk &c = stages.chunk(index);
                    c.frames = input.read(c.samples.get(), chunk);
                    if (c.frames == 0) {
                        stages.end(index);
                        return;
                    }
                    stages.done(READ, index);
                }
            } catch (...) {
                stages.fail(READ, index, std::current_exception());
            }
        });
        threads.threads.emplace_back([&] {
            int64_t index = 0;
            try {
                for (; stages.wait(WRITE, index); ++index) {
                    const Chunk &c = stages.chunk(index);
                    measure(c.samples.get(), static_cast<size_t>(c.frames * channels), result);
                    output.write(c.samples.get(), c.frames);
                    result.frames += c.frames;
                    stages.done(WRITE, index);
                }
            } catch (...) {
                stages.fail(WRITE, index, std::current_exception());
            }
        });
        int64_t index = 0;
        try {
            for (int64_t block_index = 0; stages.wait(PROCESS, index); ++index) {
                Chunk &c = stages.chunk(index);
                for (int64_t first = 0; first < c.frames; first += block, ++block_index) {
                    if (interrupted) {
                        throw ToolError(input.name() + ": interrupted; nothing written");
                    }
                    const int64_t frames = std::min<int64_t>(block, c.frames - first);
                    if (lerp_sweep) {
                        voice.set_float(lerp_token, sweep_lerp(lerp_sweep->first,
                                                               lerp_sweep->second, block_index,
                                                               blocks));
                    }
                    const size_t at = static_cast<size_t>(first) * static_cast<size_t>(channels);
                    voice.process(c.samples.get() + at, c.samples.get() + at,
                                  static_cast<int32_t>(frames), rate, channels == 2);
                    advanced(frames);
                }
                stages.done(PROCESS, index);
            }
        } catch (...) {
            stages.fail(PROCESS, index, std::current_exception());
        }
        // The writer ends by itself after the last chunk, or at a failure.
        threads.join();
    }
    stages.rethrow();
    result.clipped = input.clipped();
    result.not_numbers = input.not_numbers();
    if (length_known && result.frames < info.frames) {
        throw ToolError(input.name() + ": truncated or corrupt: its header states " +
                        std::to_string(info.frames) + " frames, only " +
                        std::to_string(result.frames) + " could be read");
    }
    return result;
}

Rendered render_automated(SoundFile &input, SoundFile &output, host::Voice &voice,
                          const Automation &automation,
                          const std::function<void(int64_t)> &advanced) {
    const SF_INFO &info = input.info();
    const int channels = info.channels;
    const int rate = info.samplerate;
    const std::string name = input.name();
    if (automation.rate != 0 && automation.rate != rate) {
        throw ToolError(automation.path.string() + " was made at " +
                        std::to_string(automation.rate) + " Hz; " + name + " is at " +
                        std::to_string(rate) + " Hz");
    }
    // Seeks and loops go anywhere in the file: it is read whole.
    std::vector<int16_t> pcm;
    {
        const int64_t chunk = render_chunk_frames(automation.block);
        std::vector<int16_t> part(static_cast<size_t>(chunk) * channels);
        for (int64_t got; (got = input.read(part.data(), chunk)) > 0;) {
            pcm.insert(pcm.end(), part.begin(), part.begin() + got * channels);
        }
    }
    const int64_t frames = static_cast<int64_t>(pcm.size()) / channels;
    auto past_end = [&](const std::string &what, int64_t frame) {
        if (frame >= frames) {
            throw ToolError(automation.path.string() + ": " + what + " frame " +
                            std::to_string(frame) + ", past the end of " + name + " (" +
                            std::to_string(frames) + " frames)");
        }
    };
    if (frames > 0) {
        past_end("starts at", automation.start);
    }
    if (automation.loop) {
        past_end("loops back from", automation.loop->second - 1);
    }
    for (const AutomationEvent &event : automation.events) {
        if (event.kind == AutomationEvent::SEEK) {
            past_end("seeks to", event.frame);
        } else if (event.kind == AutomationEvent::LOOP) {
            past_end("loops back from", event.loop.second - 1);
        }
    }

    const int32_t block = automation.block;
    std::vector<int16_t> in(static_cast<size_t>(block) * channels), out(in.size());
    Rendered result;
    int64_t position = automation.start;
    std::optional<std::pair<int64_t, int64_t>> loop = automation.loop;
    bool bypass = false, solo = false;
    int64_t solo_blocks = 0;
    size_t next = 0;
    for (int64_t b = 0; !automation.blocks || b < *automation.blocks; ++b) {
        if (interrupted) {
            throw ToolError(name + ": interrupted; nothing written");
        }
        for (; next < automation.events.size() && automation.events[next].block == b; ++next) {
            const AutomationEvent &event = automation.events[next];
            if (event.kind == AutomationEvent::SEEK) {
                position = event.frame;
            } else if (event.kind == AutomationEvent::LOOP) {
                loop = event.loop;
            } else if (event.kind == AutomationEvent::BYPASS) {
                bypass = event.on;
            } else if (event.kind == AutomationEvent::SOLO) {
                solo = event.on;
            } else if (event.setting.property.subtype == SUBTYPE_FLOAT) {
                voice.set_float(event.setting.property.token, event.setting.float_value);
            } else {
                voice.set_int(event.setting.property.token, event.setting.int_value);
            }
        }
        // The block's frames, around the loop; without one it ends with the file.
        int32_t count = 0;
        for (; count < block; ++count) {
            if (loop && position == loop->second) {
                position = loop->first;
            }
            if (position >= frames) {
                break;
            }
            std::memcpy(&in[static_cast<size_t>(count) * channels],
                        &pcm[static_cast<size_t>(position) * channels], channels * sizeof(int16_t));
            ++position;
        }
        if (count == 0) {
            break;
        }
        // Under bypass the voice still runs, as it did while it was heard.
        voice.process(in.data(), out.data(), count, rate, channels == 2);
        solo_blocks += solo && !bypass;
        const std::vector<int16_t> &heard = bypass ? in : out;
        const size_t values = static_cast<size_t>(count) * channels;
        measure(heard.data(), values, result);
        output.write(heard.data(), count);
        result.frames += count;
        advanced(count);
    }
    if (solo_blocks > 0) {
        std::fprintf(stderr, "warning: %s: %lld blocks were heard through the studio's listening "
                     "aid (a band alone) and are rendered as the setting, as a game plays it\n",
                     automation.path.string().c_str(), static_cast<long long>(solo_blocks));
    }
    if (next < automation.events.size()) {
        std::fprintf(stderr, "warning: %s: the events from %s on come after the last block "
                     "and were not applied\n", automation.path.string().c_str(),
                     automation.events[next].where.c_str());
    }
    result.clipped = input.clipped();
    result.not_numbers = input.not_numbers();
    return result;
}

int render(const host::Provider &provider, const Settings &settings,
           const RenderOptions &options) {
    std::vector<Job> jobs = plan(options);
    // The folders --out-dir creates, deepest first: taken away again if
    // nothing lands in them.
    std::vector<fs::path> made;
    if (options.out_dir) {
        made = missing_folders(*options.out_dir);
        fs::create_directories(*options.out_dir);
    }
    {
        // The settings are the same for every file: report once what the
        // provider clamped.
        host::Voice probe(provider, jobs.front().info.samplerate);
        for (const std::string &report : apply_settings(probe, settings)) {
            std::fprintf(stderr, "%s\n", report.c_str());
        }
    }
    const int32_t lerp_token = provider.sample_token("Lerp");

    std::signal(SIGINT, on_interrupt);
    std::signal(SIGTERM, on_interrupt);

    uint64_t total_frames = 0;
    for (const Job &job : jobs) {
        if (job.info.frames != SF_COUNT_MAX) {
            total_frames += static_cast<uint64_t>(job.info.frames);
        }
    }
    std::vector<Result> results(jobs.size());
    const auto start = std::chrono::steady_clock::now();
    {
        Progress progress(total_frames, jobs.size());
        std::atomic<size_t> next{0};
        auto worker = [&] {
            for (size_t i = next++; i < jobs.size(); i = next++) {
                try {
                    results[i] =
                        render_file(provider, settings, jobs[i], options, lerp_token, progress);
                } catch (const std::exception &error) {
                    results[i].error = error.what();
                }
                progress.file_done();
            }
        };
        std::vector<std::jthread> workers;
        const size_t count = std::min<size_t>(std::max(1u, options.jobs), jobs.size());
        for (size_t i = 0; i < count; ++i) {
            workers.emplace_back(worker);
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    for (const fs::path &folder : made) {
        std::error_code ec;
        fs::remove(folder, ec);  // only an empty folder goes
    }

    double audio_seconds = 0.0;
    int failed = 0;
    if (options.automation) {
        std::printf("render %s, automation %s, blocks of %d frames\n",
                    settings.path.string().c_str(), options.automation->path.string().c_str(),
                    options.automation->block);
    } else {
        std::printf("render %s, blocks of %d frames%s\n", settings.path.string().c_str(),
                    options.block, options.lerp_sweep ? ", Lerp swept" : "");
    }
    for (size_t i = 0; i < jobs.size(); ++i) {
        const Job &job = jobs[i];
        const Result &result = results[i];
        if (!result.ok) {
            ++failed;
            std::fprintf(stderr, "tolvane: %s\n", result.error.c_str());
            continue;
        }
        const double duration = static_cast<double>(result.frames) / job.info.samplerate;
        audio_seconds += duration;
        std::printf("  %s -> %s: %.2f s, %d Hz %s, %s, peak %s, %lld saturated\n",
                    job.input.string().c_str(), job.output.string().c_str(), duration,
                    job.info.samplerate, job.info.channels == 2 ? "stereo" : "mono",
                    job.format.c_str(), level(result.peak).c_str(),
                    static_cast<long long>(result.saturated));
        if (result.clipped > 0) {
            std::fprintf(stderr,
                         "warning: %s: %s input %s beyond full scale %s clipped before "
                         "equalising\n",
                         job.input.string().c_str(), grouped(result.clipped).c_str(),
                         result.clipped == 1 ? "sample" : "samples",
                         result.clipped == 1 ? "was" : "were");
        }
        if (result.not_numbers > 0) {
            std::fprintf(stderr, "warning: %s: %s input %s not %s and read as silence\n",
                         job.input.string().c_str(), grouped(result.not_numbers).c_str(),
                         result.not_numbers == 1 ? "sample was" : "samples were",
                         result.not_numbers == 1 ? "a number" : "numbers");
        }
        if (result.saturated > 0) {
            std::fprintf(stderr,
                         "warning: %s: %lld samples saturated to +32767/-32768; lower the "
                         "gains or the input level\n",
                         job.output.string().c_str(), static_cast<long long>(result.saturated));
        }
    }
    std::printf("%zu of %zu files, %.2f s of audio in %.2f s (%.0fx realtime)\n",
                jobs.size() - static_cast<size_t>(failed), jobs.size(), audio_seconds, seconds,
                seconds > 0.0 ? audio_seconds / seconds : 0.0);
    std::fflush(stdout);
    if (interrupted) {
        return 130;
    }
    return failed == 0 ? 0 : 1;
}

}  // namespace tolvane::tools
