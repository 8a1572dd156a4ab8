#include "tools/studio.h"

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <pthread.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tools/audio_file.h"
#include "tools/memory_file.h"
#include "tools/output_file.h"
#include "tools/render.h"
#include "tools/response.h"
#include "tools/settings.h"
#include "tools/studio_assets.h"
#include "tools/synth.h"
#include "tools/tool_error.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace tolvane::tools {

namespace {

constexpr size_t MAX_BODY = 64 * 1024;
constexpr int BLOCK = 1024;               // frames per provider call, as `render` by default
constexpr unsigned WAITING_RENDERS = 16;  // beyond these, a render is told to come back
constexpr size_t KEPT_RENDERS = 4;
constexpr size_t KEPT_BYTES = size_t{512} << 20;
constexpr double DEMO_SECONDS = 8.0;
// The page keeps each file's samples in memory: twenty minutes of stereo
// 48 kHz at most (230 MB). A longer file plays the server's renders.
constexpr uint64_t PAGE_SAMPLES = 20ull * 60 * 48000 * 2;
const std::string PAGE_LIMIT_TEXT = "20 minutes of stereo 48 kHz";
constexpr int DEMO_RATE = 48000;
// The session cookie's name carries the port: cookies belong to 127.0.0.1
// whatever the port, and two studios must not overwrite each other's.
const char *const COOKIE_PREFIX = "tolvane_token_";

const char *const TOKEN_PAGE =
    "<!doctype html><html lang=\"en\"><meta charset=\"utf-8\"><title>tolvane studio</title>"
    "<body style=\"font:15px system-ui,sans-serif;background:#15171c;color:#e3e6ee;padding:2em\">"
    "<h1 style=\"font-size:18px\">This studio needs its session token</h1>"
    "<p>Open the address that <code>tolvane studio</code> printed in its terminal, the one "
    "ending in <code>?token=...</code>. A studio started again since this page was opened "
    "has a new address.</p></body></html>";

// 32 hex digits from the system's random source: the key to the session.
std::string random_token() {
    unsigned char bytes[16];
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno != EINTR) {
            throw ToolError(std::string("cannot read the system's random source: ") +
                            std::strerror(errno));
        }
        got += n > 0 ? static_cast<size_t>(n) : 0;
    }
    std::string token;
    for (unsigned char byte : bytes) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        token += pair;
    }
    return token;
}

// Compares in a time that does not depend on where the texts differ.
bool same_secret(const std::string &given, const std::string &secret) {
    unsigned char differ = given.size() != secret.size();
    for (size_t i = 0; i < secret.size(); ++i) {
        differ |= static_cast<unsigned char>(secret[i] ^ (i < given.size() ? given[i] : 0));
    }
    return differ == 0;
}

// The shortest decimal that reads back as the same float, with a point, so
// that a saved file states exactly what the provider stored.
std::string float_text(float value) {
    if (std::isnan(value)) {
        return "nan";
    }
    if (std::isinf(value)) {
        return value > 0 ? "inf" : "-inf";
    }
    char text[64];
    // Plain decimals where they read well (2500.0, not 2.5e+03).
    const double magnitude = std::fabs(static_cast<double>(value));
    bool found = false;
    if (magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e9)) {
        for (int decimals = 1; decimals <= 12 && !found; ++decimals) {
            std::snprintf(text, sizeof text, "%.*f", decimals, static_cast<double>(value));
            found = std::strtof(text, nullptr) == value;
        }
    }
    for (int digits = 1; digits <= 9 && !found; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(value));
        found = std::strtof(text, nullptr) == value;
    }
    std::string result = text;
    if (result.find_first_of(".e") == std::string::npos) {
        result += ".0";
    }
    return result;
}

json error_body(const std::string &message) { return json{{"error", message}}; }

void reply(httplib::Response &res, int status, const json &body) {
    res.status = status;
    // With the charset named, the library leaves JSON uncompressed: its
    // brotli took 140 ms for a curve that is sent in 3 ms as it is.
    res.set_content(body.dump(), "application/json; charset=utf-8");
}

void refuse(httplib::Response &res, int status, const std::string &message) {
    reply(res, status, error_body(message));
}

std::optional<std::string> read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A whole decimal number in [low, high], or nothing.
std::optional<long> whole_number(const std::string &text, long low, long high) {
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

std::string content_type(const std::string &name) {
    const std::string extension = fs::path(name).extension().string();
    if (extension == ".html") return "text/html; charset=utf-8";
    if (extension == ".css") return "text/css; charset=utf-8";
    if (extension == ".js" || extension == ".mjs") return "text/javascript; charset=utf-8";
    if (extension == ".svg") return "image/svg+xml";
    if (extension == ".png") return "image/png";
    if (extension == ".ico") return "image/x-icon";
    if (extension == ".wasm") return "application/wasm";
    return "application/octet-stream";
}

// Renders run a few at a time; a few more wait their turn, and the rest are
// told to come back, so a flood of requests never piles up without bound.
class RenderGate {
public:
    RenderGate(unsigned running, unsigned waiting) : max_running_(running), max_waiting_(waiting) {}

    bool enter() {
        std::unique_lock lock(mutex_);
        if (running_ >= max_running_) {
            if (waiting_ >= max_waiting_) {
                return false;
            }
            ++waiting_;
            turn_.wait(lock, [&] { return running_ < max_running_; });
            --waiting_;
        }
        ++running_;
        return true;
    }

    void leave() {
        {
            std::lock_guard lock(mutex_);
            --running_;
        }
        turn_.notify_one();
    }

private:
    std::mutex mutex_;
    std::condition_variable turn_;
    unsigned running_ = 0, waiting_ = 0;
    const unsigned max_running_, max_waiting_;
};

// An audio file the page may play: one named on the command line, or the
// demo signal, made in memory.
struct Source {
    std::string name;
    std::optional<fs::path> path;
    std::string bytes;  // the demo signal as a WAV file
    SF_INFO info{};
};

struct Sweep {
    double from, to;
};

class Studio {
public:
    Studio(const host::Provider &provider, const StudioOptions &options)
        : provider_(provider),
          properties_(sample_properties(provider)),
          lerp_token_(provider.sample_token("Lerp")),
          settings_path_(options.settings),
          gate_(std::max(1u, options.renders), WAITING_RENDERS) {
        for (const fs::path &path : options.audio) {
            if (options.settings && fs::weakly_canonical(path) ==
                                        fs::weakly_canonical(*options.settings)) {
                throw ToolError(path.string() + ": named as both the settings and audio");
            }
            Source source{path.filename().string(), path, {}, {}};
            source.info = SoundFile::open_read(path).info();
            sources_.push_back(std::move(source));
        }
        if (sources_.empty()) {
            const int rate = options.rate.value_or(DEMO_RATE);
            const std::vector<int16_t> frames = demo_signal(DEMO_SECONDS, rate);
            MemoryFile wav;
            SoundFile file = SoundFile::open_write(MemoryFile::io(), wav.user(),
                                                   SF_FORMAT_WAV | SF_FORMAT_PCM_16, rate, 2,
                                                   "demo.wav");
            file.write(frames.data(), static_cast<int64_t>(frames.size() / 2));
            file.close();
            Source source{"demo.wav", std::nullopt, wav.bytes(), {}};
            MemoryFile reader(source.bytes);
            source.info = SoundFile::open_read(MemoryFile::io(), reader.user(), source.name).info();
            sources_.push_back(std::move(source));
        }
        rate_ = sources_.front().info.samplerate;
        voice_ = std::make_unique<host::Voice>(provider_, rate_);
        if (settings_path_) {
            on_disk_ = read_file(*settings_path_);
            if (on_disk_) {
                load(*on_disk_);
            }
        }
        saved_ = properties_locked();
    }

    const std::vector<Source> &sources() const { return sources_; }
    const std::optional<fs::path> &settings_path() const { return settings_path_; }
    const std::vector<std::string> &reports() const { return reports_; }

    // Waits for a save or reload under way, then lets none start.
    void hold_writes() { mutex_.lock(); }

    json state() {
        std::lock_guard lock(mutex_);
        return state_locked();
    }

    // What a page polls: whether anything changed since it last looked.
    json version() {
        std::lock_guard lock(mutex_);
        return json{{"version", version_}, {"changed", properties_locked() != saved_}};
    }

    void put_property(const httplib::Request &req, httplib::Response &res) {
        json body;
        try {
            body = json::parse(req.body);
        } catch (const json::parse_error &) {
            return refuse(res, 400, "the body is not JSON: send {\"name\": ..., \"value\": ...}");
        }
        if (!body.is_object() || !body.contains("name") || !body["name"].is_string() ||
            !body.contains("value")) {
            return refuse(res, 400, "send {\"name\": PROPERTY, \"value\": VALUE}");
        }
        const std::string name = body["name"];
        const auto property = std::find_if(properties_.begin(), properties_.end(),
                                           [&](const Property &p) { return p.name == name; });
        if (property == properties_.end()) {
            return refuse(res, 400,
                          "unknown property \"" + name +
                              "\"; the properties are \"Lerp\" and \"P Word B\" with preset P 0 "
                              "or 1, Word one of Freq, Q, Gain, Type, Enable, and band B 0 to 2");
        }
        const json &value = body["value"];
        Setting setting;
        try {
            const auto [given, kind] = given_of(value);
            setting = convert_value(*property, given, kind, "");
        } catch (const ToolError &error) {
            return refuse(res, 400, error.what());
        }
        std::lock_guard lock(mutex_);
        const json before = stored(*property);
        if (property->subtype == SUBTYPE_FLOAT) {
            voice_->set_float(property->token, setting.float_value);
        } else {
            voice_->set_int(property->token, setting.int_value);
        }
        const json after = stored(*property);
        if (after != before) {
            ++version_;
        }
        reply(res, 200, json{{"name", name}, {"given", value}, {"stored", after},
                             {"version", version_}, {"changed", properties_locked() != saved_}});
    }

    void get_response(const httplib::Request &req, httplib::Response &res) {
        const auto points = req.has_param("points")
                                ? whole_number(req.get_param_value("points"), 2, 100000)
                                : std::optional<long>(512);
        if (!points) {
            return refuse(res, 400, "points must be a whole number from 2 to 100000");
        }
        const Source *source = source_of(req, res, false);
        if (source == nullptr && res.status == 400) {
            return;
        }
        const double rate = source ? source->info.samplerate : rate_;
        StoredValues values;
        {
            std::lock_guard lock(mutex_);
            values = read_stored(*voice_, provider_);
        }
        const Response response = compute_response(values, rate, static_cast<int>(*points));
        reply(res, 200,
              json{{"rate", rate},
                   {"lerp", std::strtod(float_text(response.lerp).c_str(), nullptr)},
                   {"frequency", response.hz},
                   {"preset0_db", response.preset_db[0]},
                   {"preset1_db", response.preset_db[1]},
                   {"mix_db", response.mix_db}});
    }

    void get_render(const httplib::Request &req, httplib::Response &res) {
        if (req.has_param("id")) {
            return send_kept(req.get_param_value("id"), res);
        }
        const Source *source = source_of(req, res, true);
        if (source == nullptr) {
            return;
        }
        const bool bypass = req.has_param("bypass") && req.get_param_value("bypass") == "1";
        std::optional<std::pair<double, double>> sweep;
        if (req.has_param("sweep")) {
            sweep = parse_sweep(req.get_param_value("sweep"));
            if (!sweep) {
                return refuse(res, 400, "sweep is A:B, two numbers from 0 to 1");
            }
        }
        if (!gate_.enter()) {
            res.set_header("Retry-After", "1");
            return refuse(res, 503, "too many renders at once; try again in a second");
        }
        struct Leave {
            RenderGate &gate;
            ~Leave() { gate.leave(); }
        } leave{gate_};
        // Bypass is the provider at its defaults, which pass the samples
        // through untouched: the same reading, blocks and writing as a render.
        Settings settings;
        if (!bypass) {
            std::lock_guard lock(mutex_);
            settings = current_settings();
        }
        try {
            MemoryFile demo(source->bytes), wav;
            SoundFile input = source->path ? SoundFile::open_read(*source->path)
                                           : SoundFile::open_read(MemoryFile::io(), demo.user(),
                                                                  source->name);
            const SF_INFO &info = input.info();
            wav.reserve(static_cast<size_t>(std::max<sf_count_t>(0, info.frames)) *
                            static_cast<size_t>(info.channels) * 2 + 1024);
            SoundFile output = SoundFile::open_write(MemoryFile::io(), wav.user(),
                                                     SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                                                     info.samplerate, info.channels, source->name);
            host::Voice voice(provider_, info.samplerate);
            apply_settings(voice, settings);
            const Rendered rendered = render_stream(input, output, voice, BLOCK,
                                                    bypass ? std::nullopt : sweep, lerp_token_,
                                                    [](int64_t) {});
            output.close();
            auto kept = std::make_shared<Kept>();
            kept->bytes = wav.take();
            kept->peak = level(rendered.peak);
            kept->saturated = rendered.saturated;
            send(keep(kept), res);
        } catch (const std::exception &error) {
            refuse(res, 500, error.what());
        }
    }

    // The file's samples as the equaliser in the page takes them: 16-bit,
    // converted by the one rule `tolvane render` reads with, interleaved,
    // little-endian. The page keeps them in memory, so only so many.
    void get_pcm(const httplib::Request &req, httplib::Response &res) {
        const Source *source = source_of(req, res, true);
        if (source == nullptr) {
            return;
        }
        try {
            MemoryFile demo(source->bytes);
            SoundFile input = source->path ? SoundFile::open_read(*source->path)
                                           : SoundFile::open_read(MemoryFile::io(), demo.user(),
                                                                  source->name);
            const int channels = input.info().channels;
            const sf_count_t frames = input.info().frames;
            if (frames < 0 || frames == SF_COUNT_MAX ||
                static_cast<uint64_t>(frames) * static_cast<uint64_t>(channels) > PAGE_SAMPLES) {
                return refuse(res, 413, source->name + " is longer than the page keeps (" +
                                            PAGE_LIMIT_TEXT + "): it plays the server's renders");
            }
            std::string bytes(static_cast<size_t>(frames) * channels * sizeof(int16_t), '\0');
            int64_t got = 0;
            for (int64_t n; got < frames &&
                            (n = input.read(reinterpret_cast<int16_t *>(bytes.data()) + got * channels,
                                            std::min<int64_t>(65536, frames - got))) > 0;) {
                got += n;
            }
            if (got < frames) {
                return refuse(res, 500, source->name + ": truncated or corrupt: only " +
                                            std::to_string(got) + " of its " +
                                            std::to_string(frames) + " frames could be read");
            }
            res.set_header("X-Tolvane-Rate", std::to_string(input.info().samplerate));
            res.set_header("X-Tolvane-Channels", std::to_string(channels));
            res.set_header("X-Tolvane-Frames", std::to_string(frames));
            res.set_content(std::move(bytes), "application/octet-stream");
        } catch (const std::exception &error) {
            refuse(res, 500, error.what());
        }
    }

    void post_save(const std::string &request, httplib::Response &res) {
        json body = json::object();
        if (!request.empty()) {
            try {
                body = json::parse(request);
            } catch (const json::parse_error &) {
                return refuse(res, 400, "the body is not JSON");
            }
        }
        if (!body.is_object()) {
            return refuse(res, 400, "send {}, {\"overwrite\": true} or {\"name\": FILE}");
        }
        const bool overwrite = body.contains("overwrite") && body["overwrite"] == true;
        std::lock_guard lock(mutex_);
        std::optional<fs::path> target = settings_path_;
        std::optional<std::string> known = on_disk_;
        if (body.contains("name")) {
            if (settings_path_) {
                return refuse(res, 400, "this studio saves to " + settings_path_->string() +
                                            "; it takes no other name");
            }
            const std::string name =
                body["name"].is_string() ? body["name"].get<std::string>() : std::string();
            // A plain name, in the folder the studio was started in: the page
            // chooses no other place to write.
            if (name.empty() || name.size() > 200 ||
                name.find_first_of("/\\:") != std::string::npos || name.front() == '.' ||
                fs::path(name).extension() != ".toml") {
                return refuse(res, 400,
                              "name a settings file in the studio's folder, as NAME.toml "
                              "(no folders)");
            }
            target = fs::path(name);
            known = std::nullopt;
        }
        if (!target) {
            return refuse(res, 400, "this studio has no settings file yet: send {\"name\": FILE}");
        }
        const std::optional<std::string> now = read_file(*target);
        if (now != known && !overwrite) {
            // The page offers a way out for each: another name, a reload, or
            // writing the file again.
            const char *conflict = !known ? "exists" : now ? "changed" : "removed";
            const std::string what =
                !known ? " already exists: choose another name, or overwrite it"
                : now  ? " changed on disk since the studio read it: reload it, or overwrite it"
                       : " was removed since the studio read it: write it again, or leave it";
            reply(res, 409, json{{"error", target->string() + what}, {"conflict", conflict}});
            return;
        }
        const std::string text = settings_text();
        try {
            PendingOutput pending(*target, true);
            pending.write(text);
            pending.commit();
        } catch (const std::exception &error) {
            return refuse(res, 500, error.what());
        }
        settings_path_ = target;
        on_disk_ = text;
        saved_ = properties_locked();
        ++version_;
        reply(res, 200, json{{"saved", target->string()}, {"version", version_}});
    }

    void post_reload(httplib::Response &res) {
        std::lock_guard lock(mutex_);
        if (!settings_path_) {
            return refuse(res, 400, "this studio has no settings file to reload");
        }
        const std::optional<std::string> text = read_file(*settings_path_);
        if (!text) {
            return refuse(res, 409, settings_path_->string() + ": cannot be read");
        }
        try {
            load(*text);
        } catch (const ToolError &error) {
            return refuse(res, 400, error.what());
        }
        on_disk_ = text;
        saved_ = properties_locked();
        ++version_;
        json body = state_locked();
        body["reports"] = reports_;
        reply(res, 200, body);
    }

private:
    // A render kept for a while under its id, so that an audio element can
    // stream it, seek in it and play it on while the next is made.
    struct Kept {
        uint64_t id = 0;
        std::string bytes;
        std::string peak;
        int64_t saturated = 0;
    };

    std::shared_ptr<const Kept> keep(const std::shared_ptr<Kept> &render) {
        std::lock_guard lock(kept_mutex_);
        render->id = ++last_kept_;
        kept_.push_back(render);
        // The newest few, and no more than about half a gigabyte of them.
        size_t total = 0;
        for (const auto &k : kept_) {
            total += k->bytes.size();
        }
        while (kept_.size() > KEPT_RENDERS ||
               (kept_.size() > 2 && total > KEPT_BYTES)) {
            total -= kept_.front()->bytes.size();
            kept_.erase(kept_.begin());
        }
        return render;
    }

    void send_kept(const std::string &id, httplib::Response &res) {
        std::shared_ptr<const Kept> found;
        {
            std::lock_guard lock(kept_mutex_);
            for (const auto &k : kept_) {
                if (std::to_string(k->id) == id) {
                    found = k;
                }
            }
        }
        if (!found) {
            return refuse(res, 404, "render " + id + " is no longer kept: render again");
        }
        send(found, res);
    }

    // The bytes go from where they were rendered, not copied again; the
    // library answers a Range request with just that part.
    static void send(const std::shared_ptr<const Kept> &render, httplib::Response &res) {
        // No status here: the library's 200, or 206 for a part.
        res.set_header("X-Tolvane-Peak", render->peak);
        res.set_header("X-Tolvane-Saturated", std::to_string(render->saturated));
        res.set_header("X-Tolvane-Render", std::to_string(render->id));
        res.set_header("Accept-Ranges", "bytes");
        res.set_header("Cache-Control", "no-store");
        res.set_content_provider(
            render->bytes.size(), "audio/wav",
            [render](size_t offset, size_t length, httplib::DataSink &sink) {
                return sink.write(render->bytes.data() + offset,
                                  std::min(length, render->bytes.size() - offset));
            });
    }

    // A fresh sample state with the file's values, as `render` starts.
    void load(const std::string &text) {
        const Settings settings = parse_settings(text, *settings_path_, properties_);
        auto voice = std::make_unique<host::Voice>(provider_, rate_);
        reports_ = apply_settings(*voice, settings);
        voice_ = std::move(voice);
    }

    json state_locked() {
        json files = json::array(), rates = json::array(), seconds = json::array();
        for (const Source &source : sources_) {
            files.push_back(source.name);
            rates.push_back(source.info.samplerate);
            seconds.push_back(static_cast<double>(source.info.frames) / source.info.samplerate);
        }
        const json properties = properties_locked();
        return json{{"rate", rate_},
                    {"version", version_},
                    {"changed", properties != saved_},
                    {"saved_properties", saved_},
                    {"files", files},
                    {"file_rates", rates},
                    {"file_seconds", seconds},
                    {"settings", settings_path_ ? json(settings_path_->string()) : json(nullptr)},
                    {"properties", properties}};
    }

    json properties_locked() {
        json properties = json::object();
        for (const Property &property : properties_) {
            properties[property.name] = stored(property);
        }
        return properties;
    }

    json stored(const Property &property) {
        if (property.subtype == SUBTYPE_FLOAT) {
            const float value = voice_->get_float(property.token);
            return std::isfinite(value) ? json(std::strtod(float_text(value).c_str(), nullptr))
                                        : json(nullptr);
        }
        const int32_t value = voice_->get_int(property.token);
        if (property.subtype == SUBTYPE_BOOLEAN) {
            return value != 0;
        }
        const auto &words = filter_type_words();
        return value >= 0 && static_cast<size_t>(value) < words.size() ? json(words[value])
                                                                        : json(value);
    }

    // Every property as stored: what a render applies, and what Save writes.
    Settings current_settings() {
        Settings settings{settings_path_.value_or("studio"), {}};
        for (const Property &property : properties_) {
            Setting setting{property, 0.0f, 0, "", ""};
            if (property.subtype == SUBTYPE_FLOAT) {
                setting.float_value = voice_->get_float(property.token);
            } else {
                setting.int_value = voice_->get_int(property.token);
            }
            settings.values.push_back(setting);
        }
        return settings;
    }

    // The file Save writes: every property, in the format `render` reads.
    std::string settings_text() {
        std::string text = "# Saved by tolvane studio: every property as the provider stored it.\n";
        for (const Setting &setting : current_settings().values) {
            const Property &property = setting.property;
            const json value = stored(property);
            const bool bare = property.name.find(' ') == std::string::npos;
            text += bare ? "" : "\"";
            text += property.name;
            text += bare ? "" : "\"";
            text += " = ";
            if (property.subtype == SUBTYPE_FLOAT) {
                text += float_text(setting.float_value);
            } else if (value.is_string()) {
                text += '"';
                text += value.get<std::string>();
                text += '"';
            } else if (value.is_boolean()) {
                text += value.get<bool>() ? "true" : "false";
            } else {
                text += std::to_string(setting.int_value);
            }
            text += "\n";
        }
        return text;
    }

    // The source `file=I` names; the first when absent, unless `required`.
    const Source *source_of(const httplib::Request &req, httplib::Response &res, bool required) {
        if (!req.has_param("file")) {
            if (required) {
                refuse(res, 400, "say which file: file=0 to " +
                                     std::to_string(sources_.size() - 1));
            }
            return nullptr;
        }
        const auto index = whole_number(req.get_param_value("file"), 0,
                                        static_cast<long>(sources_.size()) - 1);
        if (!index) {
            refuse(res, 400, "file is an index from 0 to " + std::to_string(sources_.size() - 1));
            return nullptr;
        }
        return &sources_[static_cast<size_t>(*index)];
    }

    static std::optional<std::pair<double, double>> parse_sweep(const std::string &text) {
        const size_t colon = text.find(':');
        if (colon == std::string::npos) {
            return std::nullopt;
        }
        double ends[2];
        const std::string parts[2] = {text.substr(0, colon), text.substr(colon + 1)};
        for (int i = 0; i < 2; ++i) {
            const auto [end, error] = std::from_chars(
                parts[i].data(), parts[i].data() + parts[i].size(), ends[i]);
            if (parts[i].empty() || error != std::errc() ||
                end != parts[i].data() + parts[i].size() || !(ends[i] >= 0.0 && ends[i] <= 1.0)) {
                return std::nullopt;
            }
        }
        return std::pair{ends[0], ends[1]};
    }

    static std::pair<GivenValue, std::string> given_of(const json &value) {
        switch (value.type()) {
        case json::value_t::number_float:
            return {value.get<double>(), "a fraction"};
        case json::value_t::number_integer:
            return {value.get<int64_t>(), "an integer"};
        case json::value_t::number_unsigned:
            if (value.get<uint64_t>() <= static_cast<uint64_t>(INT64_MAX)) {
                return {static_cast<int64_t>(value.get<uint64_t>()), "an integer"};
            }
            return {static_cast<double>(value.get<uint64_t>()), "an integer"};
        case json::value_t::string:
            return {value.get<std::string>(), "text"};
        case json::value_t::boolean:
            return {value.get<bool>(), "true or false"};
        case json::value_t::array:
            return {std::monostate{}, "a list"};
        case json::value_t::object:
            return {std::monostate{}, "an object"};
        default:
            return {std::monostate{}, "null"};
        }
    }

    const host::Provider &provider_;
    const std::vector<Property> properties_;
    const int32_t lerp_token_;
    std::vector<Source> sources_;
    int rate_ = DEMO_RATE;
    std::mutex mutex_;  // the sample state and the settings file
    std::unique_ptr<host::Voice> voice_;
    std::optional<fs::path> settings_path_;
    std::optional<std::string> on_disk_;  // the file as last read or saved; none: absent
    json saved_;            // every property as last read or saved (the defaults at first)
    uint64_t version_ = 0;  // raised by every change of a stored value, save and reload
    std::vector<std::string> reports_;    // what the provider clamped when the file was read
    RenderGate gate_;
    std::mutex kept_mutex_;
    std::vector<std::shared_ptr<const Kept>> kept_;
    uint64_t last_kept_ = 0;
};

}  // namespace

int studio(const host::Provider &provider, const StudioOptions &options) {
    Studio studio(provider, options);
    for (const std::string &report : studio.reports()) {
        std::fprintf(stderr, "%s\n", report.c_str());
    }
    const std::string token = random_token();

    httplib::Server server;
    // Every connection has a thread: the page, its audio element and a
    // render in flight must not wait behind each other.
    server.new_task_queue = [] { return new httplib::ThreadPool(64); };
    server.set_payload_max_length(MAX_BODY);
    // A page dragging a handle makes many small requests: on one connection.
    server.set_keep_alive_max_count(10000);
    // Headers and body leave as separate writes: without this, each answer
    // waits out the peer's delayed acknowledgement (40 ms on Linux).
    server.set_tcp_nodelay(true);
    // The library listens with a backlog of 5, which drops connections when
    // a page and its audio element open several at once: the socket is
    // listened on again with room for them (Linux takes the new backlog).
    int listening = -1;
    server.set_socket_options([&](socket_t fd) {
        listening = fd;
        const int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    const int port = options.port == 0 ? server.bind_to_any_port("127.0.0.1")
                                       : (server.bind_to_port("127.0.0.1", options.port)
                                              ? options.port
                                              : -1);
    if (port < 0) {
        throw ToolError("cannot listen on 127.0.0.1:" + std::to_string(options.port) +
                        ": " + std::strerror(errno));
    }
    if (listening >= 0) {
        ::listen(listening, SOMAXCONN);
    }
    const std::string own[2] = {"127.0.0.1:" + std::to_string(port),
                                "localhost:" + std::to_string(port)};
    const std::string cookie = COOKIE_PREFIX + std::to_string(port);

    server.set_pre_routing_handler([&](const httplib::Request &req, httplib::Response &res) {
        using Handled = httplib::Server::HandlerResponse;
        // Only this server's own address: a page of another site that renames
        // itself to 127.0.0.1 (DNS rebinding) is refused.
        const std::string host = req.get_header_value("Host");
        if (host != own[0] && host != own[1]) {
            refuse(res, 403, "this server answers only to http://" + own[0]);
            return Handled::Handled;
        }
        if (req.has_header("Origin")) {
            const std::string origin = req.get_header_value("Origin");
            if (origin != "http://" + own[0] && origin != "http://" + own[1]) {
                refuse(res, 403, "requests from other sites are refused");
                return Handled::Handled;
            }
        }
        const bool by_query = req.has_param("token") &&
                              same_secret(req.get_param_value("token"), token);
        bool allowed = by_query || same_secret(req.get_header_value("X-Tolvane-Token"), token);
        const std::string cookies = req.get_header_value("Cookie");
        for (size_t at = 0; !allowed && at < cookies.size();) {
            const size_t end = std::min(cookies.find(';', at), cookies.size());
            std::string pair = cookies.substr(at, end - at);
            pair.erase(0, pair.find_first_not_of(' '));
            if (pair.rfind(cookie + "=", 0) == 0) {
                allowed = same_secret(pair.substr(cookie.size() + 1), token);
            }
            at = end + 1;
        }
        if (!allowed) {
            if (req.path.rfind("/api/", 0) != 0) {
                // A person at the address bar reads a page, not JSON.
                res.status = 403;
                res.set_content(TOKEN_PAGE, "text/html; charset=utf-8");
                return Handled::Handled;
            }
            refuse(res, 403, "this studio needs its session token: open the address it printed");
            return Handled::Handled;
        }
        if (by_query) {
            res.set_header("Set-Cookie",
                           cookie + "=" + token + "; HttpOnly; SameSite=Strict; Path=/");
        }
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Content-Security-Policy",
                       "default-src 'self'; script-src 'self' 'wasm-unsafe-eval'; media-src 'self' blob:; connect-src 'self' blob:; img-src 'self' data: blob:; "
                       "frame-ancestors 'none'");
        return Handled::Unhandled;
    });
    server.set_error_handler([](const httplib::Request &, httplib::Response &res) {
        if (res.body.empty()) {
            const char *message = res.status == 404   ? "no such page"
                                  : res.status == 413 ? "the body is over 64 KiB"
                                                      : "the request could not be read";
            refuse(res, res.status, message);
        }
    });

    auto serve_asset = [](const std::string &name, httplib::Response &res) {
        for (size_t i = 0; i < STUDIO_ASSET_COUNT; ++i) {
            if (name == STUDIO_ASSETS[i].name) {
                res.set_content(reinterpret_cast<const char *>(STUDIO_ASSETS[i].bytes),
                                STUDIO_ASSETS[i].size, content_type(name));
                res.set_header("Cache-Control", "no-cache");
                return;
            }
        }
        refuse(res, 404, "no such page: " + name);
    };
    server.Get("/", [&](const httplib::Request &, httplib::Response &res) {
        serve_asset("index.html", res);
    });
    server.Get(R"(/([A-Za-z0-9_-][A-Za-z0-9._-]*))",
               [&](const httplib::Request &req, httplib::Response &res) {
                   serve_asset(req.matches[1], res);
               });
    server.Get("/api/state", [&](const httplib::Request &, httplib::Response &res) {
        reply(res, 200, studio.state());
    });
    server.Get("/api/version", [&](const httplib::Request &, httplib::Response &res) {
        reply(res, 200, studio.version());
    });
    server.Put("/api/property", [&](const httplib::Request &req, httplib::Response &res) {
        studio.put_property(req, res);
    });
    server.Get("/api/response", [&](const httplib::Request &req, httplib::Response &res) {
        studio.get_response(req, res);
    });
    server.Get("/api/render", [&](const httplib::Request &req, httplib::Response &res) {
        studio.get_render(req, res);
    });
    server.Get("/api/pcm", [&](const httplib::Request &req, httplib::Response &res) {
        studio.get_pcm(req, res);
    });
    // A POST without any body (no Content-Length at all) means {}: the
    // library would refuse it, so its body is read here, when it has one.
    server.Post("/api/save", [&](const httplib::Request &req, httplib::Response &res,
                                 const httplib::ContentReader &read) {
        std::string body;
        if (req.has_header("Content-Length") || req.has_header("Transfer-Encoding")) {
            read([&](const char *data, size_t length) {
                body.append(data, length);
                return true;
            });
        }
        studio.post_save(body, res);
    });
    server.Post("/api/reload", [&](const httplib::Request &, httplib::Response &res) {
        studio.post_reload(res);
    });

    // Ctrl-C and SIGTERM stop the server from a thread of their own: a
    // signal handler may not.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    std::thread stopper([&] {
        int signal = 0;
        sigwait(&stops, &signal);
        if (signal == SIGUSR1) {
            return;  // the server stopped by itself
        }
        server.stop();
        // An open page holds idle connections for seconds before they time
        // out; nothing needs them. Only a save must not be cut short: once
        // the lock it takes is held here, none is running or can start.
        studio.hold_writes();
        std::printf("studio stopped\n");
        std::fflush(stdout);
        std::_Exit(0);
    });

    if (studio.settings_path()) {
        std::printf("tolvane studio: %s%s\n", studio.settings_path()->string().c_str(),
                    fs::exists(*studio.settings_path()) ? "" : " (new: Save creates it)");
    } else {
        std::printf("tolvane studio: the provider's defaults (Save asks for a file name)\n");
    }
    for (const Source &source : studio.sources()) {
        std::printf("  %s: %.2f s, %d Hz %s\n", source.name.c_str(),
                    static_cast<double>(source.info.frames) / source.info.samplerate,
                    source.info.samplerate, source.info.channels == 2 ? "stereo" : "mono");
    }
    std::printf("open http://127.0.0.1:%d/?token=%s\n", port, token.c_str());
    std::printf("Ctrl-C stops the studio.\n");
    std::fflush(stdout);

    const bool served = server.listen_after_bind();
    pthread_kill(stopper.native_handle(), SIGUSR1);
    stopper.join();
    pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
    std::printf("studio stopped\n");
    return served ? 0 : 1;
}

}  // namespace tolvane::tools
