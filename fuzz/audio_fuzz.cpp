// Audio files as `tolvane render` takes them: any bytes as a file that
// libsndfile opens, read and rendered by the tool's own code through the real
// provider and written back through libsndfile, all in memory. A refusal must
// name the file; nothing but a refusal may escape; a render must hold every
// frame the file gave, equal to the same blocks processed straight through
// the provider, with the peak and saturation counts that those samples have.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/memory_file.h"
#include "host/provider_host.h"
#include "tools/audio_file.h"
#include "tools/render.h"
#include "tools/settings.h"
#include "tools/tool_error.h"

using namespace tolvane;
using namespace tolvane::tools;

namespace {

const std::string NAME = "fuzzed.wav";
// Headers may state hours; a run stays short.
constexpr int64_t MAX_FRAMES = 1 << 18;

// Both presets audible, so a sweep changes the sound.
const char *const SETTINGS = R"(
"0 Type 0" = "lowshelf"
"0 Gain 0" = 9.0
"0 Enable 0" = true
"0 Type 1" = "peaking"
"0 Freq 1" = 3000.0
"0 Q 1" = 4.0
"0 Gain 1" = 24.0
"0 Enable 1" = true
"1 Type 2" = "highpass"
"1 Freq 2" = 400.0
"1 Enable 2" = true
Lerp = 0.5
)";

[[noreturn]] void fault(const std::string &what) {
    std::fprintf(stderr, "audio: %s\n", what.c_str());
    std::abort();
}

struct Loaded {
    host::Provider provider;
    Settings settings = parse_settings(SETTINGS, "fuzz.toml", sample_properties(provider));
    int32_t lerp = provider.sample_token("Lerp");
};

Loaded &loaded() {
    static Loaded once;
    return once;
}

// Every frame these bytes give, read on their own in reads of `chunk` frames
// (some decoders, MPEG's, give up on a damaged stream in one length of read
// and not in another) and brought to 16 bits by the one rule every reader
// uses; the counts of clipped and not-a-number samples come with them.
struct Decoded {
    std::vector<int16_t> samples;
    int64_t clipped = 0, not_numbers = 0;
};

Decoded decode(const std::string &bytes, int64_t chunk) {
    MemoryFile file(bytes);
    Decoded decoded;
    try {
        SoundFile sound = SoundFile::open_read(MemoryFile::io(), file.user(), "again");
        const int channels = sound.info().channels;
        std::vector<int16_t> frames(static_cast<size_t>(chunk) * static_cast<size_t>(channels));
        for (int64_t got; (got = sound.read(frames.data(), chunk)) > 0;) {
            decoded.samples.insert(decoded.samples.end(), frames.begin(),
                                   frames.begin() + got * channels);
        }
        decoded.clipped = sound.clipped();
        decoded.not_numbers = sound.not_numbers();
    } catch (const ToolError &error) {
        fault(std::string("read once, refused the second time: ") + error.what());
    }
    return decoded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Loaded &l = loaded();
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    // The render's own choices follow from the file: block length and sweep.
    static const int BLOCKS[] = {1024, 1, 77, 4096};
    const int block = BLOCKS[size % 4];
    const std::optional<std::pair<double, double>> sweep =
        size / 4 % 2 ? std::make_optional(std::make_pair(1.0, 0.0)) : std::nullopt;

    MemoryFile in_file(bytes);
    std::optional<SoundFile> input;
    try {
        input.emplace(SoundFile::open_read(MemoryFile::io(), in_file.user(), NAME));
    } catch (const ToolError &error) {
        if (std::string(error.what()).rfind(NAME + ": ", 0) != 0) {
            fault(std::string("a refusal that does not name the file: ") + error.what());
        }
        return 0;
    }
    const SF_INFO info = input->info();
    if (info.channels < 1 || info.channels > 2 || info.samplerate <= 0) {
        fault("opened a file of " + std::to_string(info.channels) + " channels at " +
              std::to_string(info.samplerate) + " Hz");
    }
    if (info.frames > MAX_FRAMES && info.frames != SF_COUNT_MAX) {
        return 0;
    }
    SF_INFO written = info;
    written.format = output_format(info);
    if (written.format == 0) {
        return 0;  // refused before rendering
    }
    MemoryFile out_file;
    SoundFile output = SoundFile::open_write(MemoryFile::io(), out_file.user(), written.format,
                                             info.samplerate, info.channels, "out");
    host::Voice voice(l.provider, info.samplerate);
    apply_settings(voice, l.settings);
    Rendered rendered;
    try {
        rendered = render_stream(*input, output, voice, block, sweep, l.lerp, [](int64_t) {});
        output.close();
    } catch (const ToolError &error) {
        if (std::string(error.what()).rfind(NAME + ": ", 0) != 0) {
            fault(std::string("a failure that does not name the file: ") + error.what());
        }
        return 0;
    }

    // The same frames straight through the provider, block by block, with
    // Lerp from 1 at the first block to 0 at the last the header states.
    const Decoded decoded = decode(bytes, render_chunk_frames(block));
    const std::vector<int16_t> &source = decoded.samples;
    if (rendered.clipped != decoded.clipped || rendered.not_numbers != decoded.not_numbers) {
        fault("the counts of clipped or not-a-number input samples differ from the file's");
    }
    const int channels = info.channels;
    const int64_t frames = static_cast<int64_t>(source.size()) / channels;
    if (rendered.frames != frames) {
        fault("rendered " + std::to_string(rendered.frames) + " frames of " +
              std::to_string(frames));
    }
    const int64_t blocks = info.frames == SF_COUNT_MAX ? 0 : (info.frames + block - 1) / block;
    host::Voice direct(l.provider, info.samplerate);
    apply_settings(direct, l.settings);
    std::vector<int16_t> expected(source.size());
    for (int64_t first = 0, index = 0; first < frames; first += block, ++index) {
        if (sweep) {
            const double t = blocks > 1 ? std::min(1.0, static_cast<double>(index) /
                                                            static_cast<double>(blocks - 1))
                                        : 0.0;
            direct.set_float(l.lerp, static_cast<float>(1.0 - t));
        }
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(block, frames - first));
        direct.process(source.data() + first * channels, expected.data() + first * channels, n,
                       info.samplerate, channels == 2);
    }
    int peak = 0;
    int64_t saturated = 0;
    for (int16_t value : expected) {
        peak = std::max(peak, std::abs(int{value}));
        saturated += value == 32767 || value == -32768;
    }
    if (rendered.peak != peak || rendered.saturated != saturated) {
        fault("the peak or the saturation count differs from the samples'");
    }
    // A 16-bit PCM output reads back exactly.
    if ((written.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16) {
        if (decode(out_file.bytes(), 4096).samples != expected) {
            fault("the written file differs from the provider's output");
        }
    }
    return 0;
}

// libsndfile's Ogg reader, refusing a damaged stream, leaves libvorbis's
// record of the stream behind. That leak is the library's: nothing the tool
// holds can free it.
extern "C" const char *__lsan_default_suppressions() { return "leak:vorbis_info_init\n"; }
