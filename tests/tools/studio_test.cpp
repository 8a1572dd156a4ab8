// `tolvane studio` as a program, through its HTTP interface: the contract the
// page relies on, its refusals, save and its conflicts, and many clients at
// once. Renders are checked against `tolvane render` of the saved setting.
#include <cstring>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "tests/tools/tool_fixture.h"

namespace tolvane::tools_test {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

// The samples of a WAV file held in memory.
Audio audio_of(const std::string &bytes, const fs::path &scratch) {
    {
        std::ofstream out(scratch, std::ios::binary);
        out << bytes;
    }
    return read_audio(scratch);
}

// A running studio, started in its own folder so that tools run beside it
// keep their output apart; stopped with Ctrl-C.
class Studio {
public:
    Studio(const fs::path &folder, const std::vector<std::string> &args) : folder_(folder) {
        fs::create_directories(folder_);
        pid_ = start_program(TOLVANE_TOOL, [&] {
            std::vector<std::string> all = {"studio"};
            all.insert(all.end(), args.begin(), args.end());
            return all;
        }(), folder_);
        for (int i = 0; i < 200 && port_ == 0; ++i) {
            std::this_thread::sleep_for(25ms);
            const std::string out = read_bytes(folder_ / ".run-out");
            const size_t at = out.find("http://127.0.0.1:");
            const size_t token = out.find("?token=");
            if (at != std::string::npos && token != std::string::npos &&
                out.find('\n', token) != std::string::npos) {
                port_ = std::stoi(out.substr(at + 17));
                token_ = out.substr(token + 7, 32);
            }
        }
        EXPECT_NE(port_, 0) << "no address printed: " << read_bytes(folder_ / ".run-err");
    }
    ~Studio() {
        if (pid_ > 0 && !stopped_) {
            stop();
        }
    }
    // Ctrl-C: the studio stops and exits 0.
    ToolRun stop() {
        stopped_ = true;
        kill(pid_, SIGINT);
        return finish_program(pid_, folder_);
    }

    int port() const { return port_; }
    const std::string &token() const { return token_; }
    httplib::Client client() const {
        httplib::Client c("127.0.0.1", port_);
        c.set_default_headers({{"X-Tolvane-Token", token_}});
        c.set_read_timeout(30s);
        return c;
    }
    json get(const std::string &path) const {
        auto res = client().Get(path);
        EXPECT_TRUE(res && res->status == 200) << path << ": " << (res ? res->body : "no answer");
        return res && res->status == 200 ? json::parse(res->body) : json();
    }
    httplib::Result put(const json &body) const {
        return client().Put("/api/property", body.dump(), "application/json");
    }
    httplib::Result post(const std::string &path, const json &body) const {
        return client().Post(path, body.dump(), "application/json");
    }

private:
    fs::path folder_;
    pid_t pid_ = -1;
    int port_ = 0;
    std::string token_;
    bool stopped_ = false;
};

class StudioTest : public ToolTest {
protected:
    StudioTest() {
        write_audio(dir / "music.wav", test_signal(44100, 2, 1.5, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        fs::copy_file(fs::path(TOLVANE_EXAMPLES) / "warm-to-bright.toml", dir / "setting.toml");
    }
    std::vector<std::string> args() const {
        return {(dir / "setting.toml").string(), (dir / "music.wav").string()};
    }
};

TEST_F(StudioTest, StateAndPropertiesAsTheProviderStoresThem) {
    Studio studio(dir / "studio", args());
    const json state = studio.get("/api/state");
    EXPECT_EQ(state["rate"], 44100);
    EXPECT_EQ(state["files"], json::array({"music.wav"}));
    EXPECT_EQ(state["settings"], (dir / "setting.toml").string());
    ASSERT_EQ(state["properties"].size(), 31u);
    EXPECT_EQ(state["properties"]["Lerp"], 0.5);
    EXPECT_EQ(state["properties"]["0 Type 0"], "lowshelf");
    EXPECT_EQ(state["properties"]["0 Q 0"], 0.7071);
    EXPECT_EQ(state["properties"]["1 Enable 2"], true);

    struct Case {
        json given, stored;
        std::string name;
    };
    const Case cases[] = {
        {500, 500.0, "0 Freq 0"},
        {12.25, 12.25, "0 Gain 1"},
        {99, 30.0, "0 Gain 1"},       // clamped, and said so by the difference
        {-0.5, 0.0, "Lerp"},          // clamped
        {"peaking", "peaking", "1 Type 0"},
        {0, "lowpass", "1 Type 0"},   // a type as its number
        {9, "peaking", "1 Type 0"},   // clamped to the last type
        {false, false, "0 Enable 1"},
    };
    for (const Case &c : cases) {
        auto res = studio.put({{"name", c.name}, {"value", c.given}});
        ASSERT_TRUE(res && res->status == 200) << c.name << ": " << (res ? res->body : "");
        json answer = json::parse(res->body);
        EXPECT_TRUE(answer["version"].is_number() && answer["changed"].is_boolean()) << res->body;
        answer.erase("version");
        answer.erase("changed");
        EXPECT_EQ(answer, (json{{"name", c.name}, {"given", c.given}, {"stored", c.stored}}));
        EXPECT_EQ(studio.get("/api/state")["properties"][c.name], c.stored) << c.name;
    }

    // Refused, with a message, and nothing changed.
    const std::pair<std::string, std::string> refused[] = {
        {R"({"name": "0 Freq 9", "value": 100})", "unknown property"},
        {R"({"name": "0 Freq 0", "value": "loud"})", "takes a number, not text"},
        {R"({"name": "0 Freq 0", "value": null})", "takes a number, not null"},
        {R"({"name": "0 Enable 0", "value": 1})", "takes true or false, not an integer"},
        {R"({"name": "0 Type 0", "value": "bandpass"})", "unknown filter type"},
        {R"({"name": "0 Type 0", "value": 1.5})", "not a fraction"},
        {R"({"value": 1})", "send {"},
        {R"(not json)", "not JSON"},
    };
    const json before = studio.get("/api/state");
    for (const auto &[body, message] : refused) {
        auto res = studio.client().Put("/api/property", body, "application/json");
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 400) << body;
        EXPECT_NE(json::parse(res->body)["error"].get<std::string>().find(message),
                  std::string::npos)
            << body << " -> " << res->body;
    }
    EXPECT_EQ(studio.get("/api/state"), before);
    EXPECT_EQ(studio.stop().status, 0);
}

TEST_F(StudioTest, ResponseIsTheToolsResponse) {
    Studio studio(dir / "studio", args());
    ASSERT_TRUE(studio.put({{"name", "1 Gain 1"}, {"value", -7.5}}));
    ASSERT_EQ(studio.post("/api/save", json::object())->status, 200);
    const json api = studio.get("/api/response?points=64");
    ASSERT_EQ(tolvane({"response", "setting.toml", "--rate", "44100", "--points", "64", "--csv",
                       "curve.csv"})
                  .status,
              0);
    std::istringstream csv(read_bytes(dir / "curve.csv"));
    std::string line;
    std::getline(csv, line);
    EXPECT_EQ(api["rate"], 44100.0);
    ASSERT_EQ(api["frequency"].size(), 64u);
    for (size_t i = 0; std::getline(csv, line); ++i) {
        double values[4];
        char comma;
        std::istringstream row(line);
        row >> values[0] >> comma >> values[1] >> comma >> values[2] >> comma >> values[3];
        const char *keys[4] = {"frequency", "preset0_db", "preset1_db", "mix_db"};
        for (int k = 0; k < 4; ++k) {
            // The file has six decimals.
            EXPECT_NEAR(api[keys[k]][i].get<double>(), values[k], 5e-7) << keys[k] << " " << i;
        }
    }
    for (const char *bad : {"/api/response?points=1", "/api/response?points=many",
                            "/api/response?points=64&file=1"}) {
        auto res = studio.client().Get(bad);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 400) << bad;
    }
}

TEST_F(StudioTest, RenderIsWhatRenderWritesForTheSavedSetting) {
    Studio studio(dir / "studio", args());
    ASSERT_EQ(studio.put({{"name", "0 Gain 1"}, {"value", 9}})->status, 200);
    ASSERT_EQ(studio.put({{"name", "1 Type 2"}, {"value", "lowpass"}})->status, 200);
    ASSERT_EQ(studio.post("/api/save", json::object())->status, 200);

    struct Case {
        std::string query;
        std::vector<std::string> render_args;  // empty: the input untouched
    };
    const Case cases[] = {
        {"file=0", {}},
        {"file=0&sweep=1:0", {"--lerp-sweep", "1:0"}},
    };
    for (const Case &c : cases) {
        auto res = studio.client().Get("/api/render?" + c.query);
        ASSERT_TRUE(res && res->status == 200) << c.query;
        EXPECT_EQ(res->get_header_value("Content-Type"), "audio/wav");
        std::vector<std::string> command = {"render", "setting.toml", "music.wav", "-o",
                                            "out.wav", "--force"};
        command.insert(command.end(), c.render_args.begin(), c.render_args.end());
        const ToolRun run = tolvane(command);
        ASSERT_EQ(run.status, 0) << run.err;
        const Audio page = audio_of(res->body, dir / "page.wav");
        const Audio rendered = read_audio(dir / "out.wav");
        EXPECT_EQ(page.rate, 44100);
        EXPECT_EQ(page.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        EXPECT_TRUE(page.samples == rendered.samples) << c.query;
        // The summary's figures travel in the headers.
        EXPECT_NE(run.out.find("peak " + res->get_header_value("X-Tolvane-Peak") + ", " +
                               res->get_header_value("X-Tolvane-Saturated") + " saturated"),
                  std::string::npos)
            << run.out;
    }
    // A render is kept under its id for the audio element to stream: whole,
    // or the part a Range asks for; an id no longer kept is refused.
    auto first = studio.client().Get("/api/render?file=0");
    ASSERT_TRUE(first && first->status == 200);
    const std::string id = first->get_header_value("X-Tolvane-Render");
    ASSERT_FALSE(id.empty());
    auto kept = studio.client().Get("/api/render?id=" + id);
    ASSERT_TRUE(kept && kept->status == 200);
    EXPECT_TRUE(kept->body == first->body);
    auto part = studio.client().Get("/api/render?id=" + id, {{"Range", "bytes=100-199"}});
    ASSERT_TRUE(part);
    EXPECT_EQ(part->status, 206);
    EXPECT_EQ(part->body, first->body.substr(100, 100));
    EXPECT_EQ(part->get_header_value("X-Tolvane-Peak"), first->get_header_value("X-Tolvane-Peak"));
    auto gone = studio.client().Get("/api/render?id=999999");
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->status, 404);

    auto bypass = studio.client().Get("/api/render?file=0&bypass=1");
    ASSERT_TRUE(bypass && bypass->status == 200);
    EXPECT_TRUE(audio_of(bypass->body, dir / "page.wav").samples ==
                read_audio(dir / "music.wav").samples);

    for (const char *bad : {"/api/render", "/api/render?file=1", "/api/render?file=-1",
                            "/api/render?file=0&sweep=1", "/api/render?file=0&sweep=0:2"}) {
        auto res = studio.client().Get(bad);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 400) << bad;
    }
}

// The samples the page's own engine plays: each file as 16-bit, by the one
// conversion rule that render reads with (a float file holding k/32768 is k).
TEST_F(StudioTest, PcmIsTheSamplesRenderReads) {
    Audio floats = test_signal(22050, 1, 0.5, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    write_audio(dir / "float.wav", floats);
    std::vector<std::string> command = args();
    command.push_back((dir / "float.wav").string());
    Studio studio(dir / "studio", command);
    struct Case {
        const char *query;
        int rate, channels;
        std::vector<int16_t> samples;  // what a render without any setting writes
    };
    auto bypassed = [&](const char *query) {
        auto res = studio.client().Get(std::string("/api/render?bypass=1&") + query);
        EXPECT_TRUE(res && res->status == 200) << query;
        return audio_of(res->body, dir / "page.wav").samples;
    };
    const Case cases[] = {
        {"file=0", 44100, 2, bypassed("file=0")},
        {"file=1", 22050, 1, bypassed("file=1")},
    };
    EXPECT_EQ(cases[0].samples, read_audio(dir / "music.wav").samples);
    for (const Case &c : cases) {
        auto res = studio.client().Get(std::string("/api/pcm?") + c.query);
        ASSERT_TRUE(res && res->status == 200) << c.query;
        EXPECT_EQ(res->get_header_value("X-Tolvane-Rate"), std::to_string(c.rate));
        EXPECT_EQ(res->get_header_value("X-Tolvane-Channels"), std::to_string(c.channels));
        EXPECT_EQ(res->get_header_value("X-Tolvane-Frames"),
                  std::to_string(c.samples.size() / c.channels));
        ASSERT_EQ(res->body.size(), c.samples.size() * 2) << c.query;
        EXPECT_EQ(std::memcmp(res->body.data(), c.samples.data(), res->body.size()), 0) << c.query;
    }
    for (const char *bad : {"/api/pcm", "/api/pcm?file=2"}) {
        auto res = studio.client().Get(bad);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 400) << bad;
    }
}

TEST_F(StudioTest, WithoutAudioTheDemoSignalAndWithoutSettingsANameOnFirstSave) {
    Studio studio(dir / "studio", {"--rate", "32000"});
    json state = studio.get("/api/state");
    EXPECT_EQ(state["files"], json::array({"demo.wav"}));
    EXPECT_EQ(state["rate"], 32000);
    EXPECT_EQ(state["settings"], nullptr);
    EXPECT_EQ(state["properties"]["Lerp"], 1.0);  // the provider's defaults
    auto demo = studio.client().Get("/api/render?file=0&bypass=1");
    ASSERT_TRUE(demo && demo->status == 200);
    ASSERT_EQ(tolvane({"synth", "demo.wav", "--rate", "32000"}).status, 0);
    EXPECT_TRUE(audio_of(demo->body, dir / "page.wav").samples ==
                read_audio(dir / "demo.wav").samples);

    EXPECT_EQ(studio.post("/api/save", json::object())->status, 400);  // no name yet
    EXPECT_EQ(studio.post("/api/reload", json::object())->status, 400);
    for (const char *name : {"../escape.toml", "/tmp/x.toml", "sub/x.toml", ".hidden.toml",
                             "notes.txt", ""}) {
        auto res = studio.post("/api/save", {{"name", name}});
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 400) << name;
    }
    write_text(dir / "studio" / "taken.toml", "Lerp = 0.25\n");
    EXPECT_EQ(studio.post("/api/save", {{"name", "taken.toml"}})->status, 409);
    EXPECT_EQ(read_bytes(dir / "studio" / "taken.toml"), "Lerp = 0.25\n");
    ASSERT_EQ(studio.put({{"name", "0 Enable 1"}, {"value", true}})->status, 200);
    auto saved = studio.post("/api/save", {{"name", "mine.toml"}});
    ASSERT_TRUE(saved && saved->status == 200) << saved->body;
    EXPECT_EQ(studio.get("/api/state")["settings"], "mine.toml");
    EXPECT_NE(read_bytes(dir / "studio" / "mine.toml").find("\"0 Enable 1\" = true"),
              std::string::npos);
    EXPECT_EQ(studio.post("/api/save", {{"name", "other.toml"}})->status, 400);
}

// What another tab needs to notice a change: the version of the stored
// setting, and whether it differs from what was last read or saved.
TEST_F(StudioTest, StateSaysWhatIsUnsavedAndEveryChangeCounts) {
    Studio studio(dir / "studio", args());
    const json start = studio.get("/api/state");
    EXPECT_EQ(start["changed"], false);
    EXPECT_EQ(start["saved_properties"], start["properties"]);
    const uint64_t version = start["version"];
    EXPECT_EQ(studio.get("/api/version"), (json{{"version", version}, {"changed", false}}));

    ASSERT_EQ(studio.put({{"name", "0 Gain 1"}, {"value", -9}})->status, 200);
    EXPECT_EQ(studio.get("/api/version"), (json{{"version", version + 1}, {"changed", true}}));
    // The same value again changes nothing; nor does a value clamped to it.
    ASSERT_EQ(studio.put({{"name", "0 Gain 1"}, {"value", -9.0}})->status, 200);
    EXPECT_EQ(studio.get("/api/version")["version"], version + 1);
    ASSERT_EQ(studio.put({{"name", "0 Gain 1"}, {"value", -3}})->status, 200);
    EXPECT_EQ(studio.get("/api/version"), (json{{"version", version + 2}, {"changed", false}}))
        << "back to what is saved";
    EXPECT_EQ(studio.get("/api/state")["saved_properties"]["0 Gain 1"], -3.0);

    // Saved: nothing unsaved. A POST without any body at all is {}.
    ASSERT_EQ(studio.put({{"name", "Lerp"}, {"value", 0.25}})->status, 200);
    httplib::Client client("127.0.0.1", studio.port());
    auto bare = client.Post("/api/save", {{"X-Tolvane-Token", studio.token()}}, "", "application/json");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->status, 200) << bare->body;
    {
        // Not even a Content-Length, as `curl -X POST` sends it (the client
        // library would add one, so the request is written by hand).
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(studio.port()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        const std::string request = "POST /api/save HTTP/1.1\r\nHost: 127.0.0.1:" +
                                    std::to_string(studio.port()) + "\r\nX-Tolvane-Token: " +
                                    studio.token() + "\r\nConnection: close\r\n\r\n";
        ASSERT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
        std::string answer;
        char buffer[4096];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
            answer.append(buffer, static_cast<size_t>(n));
        }
        close(fd);
        EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
    }
    const json saved = studio.get("/api/state");
    EXPECT_EQ(saved["changed"], false);
    EXPECT_EQ(saved["saved_properties"]["Lerp"], 0.25);

    // Each conflict says which it is, for the page to offer the way out.
    write_text(dir / "setting.toml", "Lerp = 1.0\n");
    ASSERT_EQ(studio.put({{"name", "Lerp"}, {"value", 0.5}})->status, 200);
    auto changed = studio.post("/api/save", json::object());
    ASSERT_TRUE(changed);
    EXPECT_EQ(changed->status, 409);
    EXPECT_EQ(json::parse(changed->body)["conflict"], "changed");
    fs::remove(dir / "setting.toml");
    auto removed = studio.post("/api/save", json::object());
    ASSERT_TRUE(removed);
    EXPECT_EQ(json::parse(removed->body)["conflict"], "removed") << removed->body;
    EXPECT_NE(removed->body.find("was removed"), std::string::npos);
}

TEST_F(StudioTest, SaveRefusesToLoseAnotherEditorsChange) {
    Studio studio(dir / "studio", args());
    const fs::path file = dir / "setting.toml";
    ASSERT_EQ(studio.put({{"name", "0 Freq 1"}, {"value", 1800}})->status, 200);

    // Someone else edits the file: save refuses, the file is as they left it.
    std::string theirs = read_bytes(file);
    const std::string line = "\"1 Gain 0\" = -3.0";
    ASSERT_NE(theirs.find(line), std::string::npos);
    theirs.replace(theirs.find(line), line.size(), "\"1 Gain 0\" = -9.0");
    write_text(file, theirs);
    auto conflict = studio.post("/api/save", json::object());
    ASSERT_TRUE(conflict);
    EXPECT_EQ(conflict->status, 409);
    EXPECT_NE(conflict->body.find("changed on disk"), std::string::npos) << conflict->body;
    EXPECT_EQ(read_bytes(file), theirs);

    // Reload takes their file, as a new render would.
    auto reloaded = studio.post("/api/reload", json::object());
    ASSERT_TRUE(reloaded && reloaded->status == 200);
    EXPECT_EQ(json::parse(reloaded->body)["properties"]["1 Gain 0"], -9.0);
    EXPECT_EQ(json::parse(reloaded->body)["properties"]["0 Freq 1"], 2500.0);
    EXPECT_EQ(studio.post("/api/save", json::object())->status, 200);

    // Another change, overwritten on purpose.
    write_text(file, "Lerp = 0.0\n");
    ASSERT_EQ(studio.put({{"name", "0 Freq 1"}, {"value", 1800}})->status, 200);
    EXPECT_EQ(studio.post("/api/save", json::object())->status, 409);
    EXPECT_EQ(studio.post("/api/save", {{"overwrite", true}})->status, 200);
    const ToolRun check = tolvane({"render", "setting.toml", "music.wav", "-o", "x.wav"});
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_EQ(check.err, "");  // nothing clamped: the file holds stored values

    // A file that no longer parses is refused on reload, and the setting kept.
    write_text(file, "Lerp = = 1\n");
    auto broken = studio.post("/api/reload", json::object());
    ASSERT_TRUE(broken);
    EXPECT_EQ(broken->status, 400);
    EXPECT_NE(broken->body.find("setting.toml:1:"), std::string::npos) << broken->body;
    EXPECT_EQ(studio.get("/api/state")["properties"]["0 Freq 1"], 1800.0);
    // No temporary file is left beside it.
    for (const auto &entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name.find("setting") == std::string::npos || name == "setting.toml") << name;
    }
}

TEST_F(StudioTest, RefusesWithoutTokenFromOtherHostsAndOrigins) {
    Studio studio(dir / "studio", args());
    const std::string own = "127.0.0.1:" + std::to_string(studio.port());
    struct Case {
        std::string label;
        httplib::Headers headers;
        std::string path;
        int status;
    };
    const std::string token = studio.token();
    // Named for the port: two studios in one browser keep their own.
    const std::string cookie = "tolvane_token_" + std::to_string(studio.port());
    const Case cases[] = {
        {"no token", {}, "/api/state", 403},
        {"wrong token", {{"X-Tolvane-Token", std::string(32, '0')}}, "/api/state", 403},
        {"token in the query", {}, "/api/state?token=" + token, 200},
        {"token as a cookie", {{"Cookie", "a=b; " + cookie + "=" + token}}, "/api/state", 200},
        {"another studio's cookie", {{"Cookie", "tolvane_token_1=" + token}}, "/api/state", 403},
        {"another host (DNS rebinding)",
         {{"X-Tolvane-Token", token}, {"Host", "evil.example:" + std::to_string(studio.port())}},
         "/api/state", 403},
        {"another port", {{"X-Tolvane-Token", token}, {"Host", "127.0.0.1:1"}}, "/api/state", 403},
        {"localhost", {{"X-Tolvane-Token", token}, {"Host", "localhost:" + std::to_string(studio.port())}},
         "/api/state", 200},
        {"another site's page", {{"X-Tolvane-Token", token}, {"Origin", "http://evil.example"}},
         "/api/state", 403},
        {"its own page", {{"X-Tolvane-Token", token}, {"Origin", "http://" + own}}, "/api/state",
         200},
        {"the page without a token", {}, "/", 403},  // a page that says what to do
        {"a page that is not there", {{"X-Tolvane-Token", token}}, "/nothing.js", 404},
    };
    for (const Case &c : cases) {
        httplib::Client client("127.0.0.1", studio.port());
        auto res = client.Get(c.path, c.headers);
        ASSERT_TRUE(res) << c.label;
        EXPECT_EQ(res->status, c.status) << c.label << ": " << res->body;
        if (c.status != 200) {
            const bool page = c.path == "/";
            EXPECT_EQ(res->get_header_value("Content-Type"),
                      page ? "text/html; charset=utf-8" : "application/json; charset=utf-8")
                << c.label;
            if (page) {
                EXPECT_NE(res->body.find("address that <code>tolvane studio</code> printed"),
                          std::string::npos);
            }
        }
    }
    // The first page load with the token sets the cookie the page then uses.
    httplib::Client browser("127.0.0.1", studio.port());
    auto page = browser.Get("/?token=" + token);
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(page->get_header_value("Set-Cookie"),
              cookie + "=" + token + "; HttpOnly; SameSite=Strict; Path=/");

    // Writes from another site are refused before they touch anything.
    auto cross = browser.Put("/api/property",
                             {{"Cookie", cookie + "=" + token}, {"Origin", "http://evil.example"}},
                             R"({"name": "Lerp", "value": 0})", "application/json");
    ASSERT_TRUE(cross);
    EXPECT_EQ(cross->status, 403);
    EXPECT_EQ(studio.get("/api/state")["properties"]["Lerp"], 0.5);

    // A body over 64 KiB is refused.
    auto big = studio.client().Put("/api/property", std::string(64 * 1024 + 1, ' '),
                                   "application/json");
    ASSERT_TRUE(big);
    EXPECT_EQ(big->status, 413);
}

// Fifty clients for ten seconds: property changes, responses and renders
// mixed. Every request succeeds (a render told to come back does so), the
// studio survives, and each property holds the last value written to it.
TEST_F(StudioTest, FiftyClientsAtOnce) {
    write_audio(dir / "short.wav", test_signal(48000, 2, 0.25, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    Studio studio(dir / "studio", {(dir / "setting.toml").string(), (dir / "short.wav").string()});
    const json names = [&] {
        json list = json::array();
        const json state = studio.get("/api/state");
        for (const auto &[name, value] : state["properties"].items()) {
            list.push_back(name);
        }
        return list;
    }();
    ASSERT_EQ(names.size(), 31u);

    std::atomic<int> failures{0}, requests{0}, retried{0};
    std::mutex mutex;
    std::string first_failure;
    std::vector<json> last(names.size());  // client c owns property c
    const auto until = std::chrono::steady_clock::now() + 10s;
    auto client_loop = [&](size_t c) {
        // Half keep one connection open, as a browser does; half open one a
        // request.
        httplib::Client client = studio.client();
        client.set_keep_alive(c % 2 == 0);
        std::mt19937 random(static_cast<unsigned>(c));
        auto fail = [&](const std::string &what) {
            ++failures;
            std::lock_guard lock(mutex);
            if (first_failure.empty()) {
                first_failure = what;
            }
        };
        while (std::chrono::steady_clock::now() < until) {
            const unsigned pick = random() % 10;
            ++requests;
            if (c < names.size() && pick < 6) {
                const std::string name = names[c];
                json value;
                if (name.find("Type") != std::string::npos) {
                    value = static_cast<int>(random() % 5);
                } else if (name.find("Enable") != std::string::npos) {
                    value = random() % 2 == 0;
                } else if (name == "Lerp") {
                    value = (random() % 1001) / 1000.0;
                } else {
                    value = 100.0 + random() % 10000;
                }
                auto res = client.Put("/api/property", json{{"name", name}, {"value", value}}.dump(),
                                      "application/json");
                if (!res || res->status != 200) {
                    fail("PUT " + name + ": " +
                         (res ? std::to_string(res->status) + " " + res->body
                              : httplib::to_string(res.error())));
                    continue;
                }
                last[c] = json::parse(res->body)["stored"];
            } else if (pick < 8) {
                auto res = client.Get("/api/response?points=256");
                if (!res || res->status != 200) {
                    fail("GET response: " + (res ? std::to_string(res->status)
                                                 : httplib::to_string(res.error())));
                }
            } else {
                for (;;) {
                    auto res = client.Get("/api/render?file=0");
                    if (res && res->status == 503 && res->has_header("Retry-After")) {
                        ++retried;
                        std::this_thread::sleep_for(
                            std::chrono::seconds(std::stoi(res->get_header_value("Retry-After"))));
                        continue;
                    }
                    if (!res || res->status != 200 || res->body.size() < 44) {
                        fail("GET render: " + (res ? std::to_string(res->status) + " " +
                                                         res->body.substr(0, 200)
                                                   : httplib::to_string(res.error())));
                    }
                    break;
                }
            }
        }
    };
    {
        std::vector<std::jthread> clients;
        for (size_t c = 0; c < 50; ++c) {
            clients.emplace_back(client_loop, c);
        }
    }
    std::printf("%d requests from 50 clients in 10 s; %d renders told to come back\n",
                requests.load(), retried.load());
    EXPECT_EQ(failures, 0) << first_failure;
    const json state = studio.get("/api/state");
    for (size_t c = 0; c < names.size(); ++c) {
        if (!last[c].is_null()) {
            EXPECT_EQ(state["properties"][names[c].get<std::string>()], last[c]) << names[c];
        }
    }
    EXPECT_EQ(studio.stop().status, 0);
}

// The studio command hands over to tolvane-studio beside the tool; a tool
// copied without it says so instead of failing silently.
TEST_F(StudioTest, WithoutItsProgramSaysWhatIsMissing) {
    const fs::path alone = dir / "alone" / "tolvane";
    fs::create_directories(alone.parent_path());
    fs::copy_file(TOLVANE_TOOL, alone);
    const ToolRun run = finish_program(start_program(alone, {"studio"}, dir), dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find((alone.parent_path() / "tolvane-studio").string() +
                           ": cannot start the studio: No such file or directory"),
              std::string::npos)
        << run.err;
}

}  // namespace
}  // namespace tolvane::tools_test
