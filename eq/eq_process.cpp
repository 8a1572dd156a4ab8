// Block processing: both presets' bands over 16-bit PCM, crossfaded by lerp.
#include <cmath>
#include <cstddef>
#include <cstring>

#include "eq/eq_block.h"
#include "eq/eq_dispatch.h"
#include "eq/eq_fp.h"
#include "eq/eq_process.h"
#include "eq/eq_state.h"
#include "tolvane.h"

#if EQ_HAS_KERNELS
#include <emmintrin.h>
#endif

namespace {

inline float to_float(double x) { return static_cast<float>(x); }

// A preset weighted below this does not run at all: its history stays frozen.
constexpr float EQ_GATE = 0.001f;

// Runs one value of one channel through the three bands of a preset (the first
// of three consecutive bands), weighted; a weight below the gate returns 0 and
// leaves the preset untouched. Local, so that even the 32-bit build returns
// its float in an SSE register: the x87 unit takes no part in processing.
float eq_run_preset(EqBand *preset, int channel, float weight, float input) {
    if (weight < EQ_GATE) {
        return 0.0f;
    }
    // The histories hold weighted values: the weight scales the first band's input.
    float v = to_float(static_cast<double>(weight) * static_cast<double>(input));
    for (int k = 0; k < EQ_BANDS_PER_PRESET; ++k) {
        EqBand &band = preset[k];
        if (band.enabled == 0) {
            continue;
        }
        const int c = channel;
        // Summed in double in exactly this order and rounded once: every product
        // of two floats is exact, so only the order of the sums can change the
        // rounded result.
        double y = static_cast<double>(band.b0) * v + static_cast<double>(band.b1) * band.x1[c];
        y = y + static_cast<double>(band.b2) * band.x2[c];
        y = y - static_cast<double>(band.a1) * band.y1[c];
        y = y - static_cast<double>(band.a2) * band.y2[c];
        const float out = to_float(y);
        band.x2[c] = band.x1[c];
        band.x1[c] = v;
        band.y2[c] = band.y1[c];
        band.y1[c] = out;
        v = out;
    }
    return v;
}

}  // namespace

int16_t eq_to_pcm_truncate(float value) {
    if (value > 32767.0f) {
        return 32767;
    }
    if (value < -32768.0f) {
        return -32768;
    }
    if (value != value) {
        return 0;  // a result that is not a number is silence
    }
    return static_cast<int16_t>(static_cast<int32_t>(value));
}

int16_t eq_to_pcm_round(float value) {
    // Saturating before rounding gives what rounding then saturating gives:
    // rounding is monotonic and the bounds are integers.
    if (value > 32767.0f) {
        return 32767;
    }
    if (value < -32768.0f) {
        return -32768;
    }
    if (value != value) {
        return 0;  // a result that is not a number is silence
    }
#if EQ_HAS_KERNELS
    // Nearest, ties to even, under the host's rounding mode (cvtss2si).
    return static_cast<int16_t>(_mm_cvtss_si32(_mm_set_ss(value)));
#else
    return static_cast<int16_t>(static_cast<int32_t>(__builtin_rintf(value)));
#endif
}

namespace {

// The frame-by-frame loop, straight through eq_run_preset: the scalar path,
// and the one taken when source and destination partly overlap, where only
// reading each frame just before writing it gives the defined result.
void process_scalar(EqSampleState &work, const int16_t *source, int16_t *destination,
                    int32_t frames, bool stereo) {
    const float w0 = work.lerp;
    const float w1 = to_float(1.0 - static_cast<double>(w0));
    EqBand *preset0 = &work.bands[0];
    EqBand *preset1 = &work.bands[EQ_BANDS_PER_PRESET];

    auto mix = [&](int channel, int16_t sample) {
        const float x = sample;
        const float p1 = eq_run_preset(preset1, channel, w1, x);
        const float p0 = eq_run_preset(preset0, channel, w0, x);
        return to_float(static_cast<double>(p0) + static_cast<double>(p1));
    };

    if (stereo) {
        for (int32_t i = 0; i < frames; ++i) {
            // Both values are read before either is written: in place is safe.
            const int16_t left = source[2 * static_cast<ptrdiff_t>(i)];
            const int16_t right = source[2 * static_cast<ptrdiff_t>(i) + 1];
            const float out_left = mix(0, left);
            const float out_right = mix(1, right);
            destination[2 * static_cast<ptrdiff_t>(i)] = eq_to_pcm_round(out_left);
            destination[2 * static_cast<ptrdiff_t>(i) + 1] = eq_to_pcm_round(out_right);
        }
    } else {
        for (int32_t i = 0; i < frames; ++i) {
            destination[i] = eq_to_pcm_truncate(mix(0, source[i]));
        }
    }
}

#if EQ_HAS_KERNELS
// The state is copied in and out with plain vector moves. For a record of
// this size the compiler would otherwise emit `rep movs`, whose start-up can
// cost more than a short block's filtering.
void copy_state(void *to, const void *from) {
    auto *d = static_cast<unsigned char *>(to);
    const auto *s = static_cast<const unsigned char *>(from);
    constexpr size_t WHOLE = sizeof(EqSampleState) / 16 * 16;
#pragma GCC unroll 32
    for (size_t i = 0; i < WHOLE; i += 16) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + i),
                         _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i)));
    }
    if constexpr (WHOLE < sizeof(EqSampleState)) {
        std::memcpy(d + WHOLE, s + WHOLE, sizeof(EqSampleState) - WHOLE);
    }
}
#else
void copy_state(void *to, const void *from) { std::memcpy(to, from, sizeof(EqSampleState)); }
#endif

#if EQ_HAS_KERNELS
bool overlap_partly(const int16_t *source, const int16_t *destination, size_t values) {
    const uintptr_t s = reinterpret_cast<uintptr_t>(source);
    const uintptr_t d = reinterpret_cast<uintptr_t>(destination);
    const uintptr_t bytes = values * sizeof(int16_t);
    return s != d && s < d + bytes && d < s + bytes;
}

// The presets that run and their enabled bands, the preset with more bands
// first. A preset runs unless its weight is below the gate (so a weight that
// is not a number runs, as in eq_run_preset). At least one always runs: the
// weight of preset 1 is below the gate only when that of preset 0 is above
// 0.999.
EqBlock plan(EqSampleState &work, const int16_t *source, int16_t *destination, int32_t frames,
             bool stereo) {
    EqBlock block{source, destination, frames, frames, stereo, 0, {}};
    const float weights[EQ_PRESETS] = {work.lerp, to_float(1.0 - static_cast<double>(work.lerp))};
    for (int p = 0; p < EQ_PRESETS; ++p) {
        if (weights[p] < EQ_GATE) {
            continue;
        }
        EqChain &chain = block.chain[block.chains++];
        chain.weight = weights[p];
        chain.stages = 0;
        for (int k = 0; k < EQ_BANDS_PER_PRESET; ++k) {
            EqBand &band = work.bands[EQ_BANDS_PER_PRESET * p + k];
            if (band.enabled != 0) {
                chain.band[chain.stages++] = &band;
            }
        }
    }
    if (block.chains == 2 && block.chain[1].stages > block.chain[0].stages) {
        const EqChain first = block.chain[0];
        block.chain[0] = block.chain[1];
        block.chain[1] = first;
    }
    return block;
}

void run_kernel(EqPath path, const EqBlock &block) {
    switch (path) {
    case EQ_PATH_AVX512: eq_block_avx512(block); break;
    case EQ_PATH_AVX2: eq_block_avx2(block); break;
    default: eq_block_sse2(block); break;
    }
}

// Longer blocks run in pieces of this many frames, which keeps every index
// within 32 bits; a piece boundary changes nothing in the result.
constexpr int32_t EQ_PIECE = 1 << 16;

// ---- Silence ----
//
// On silence the histories never reach zero: rounding to float holds them in
// a limit cycle at subnormal magnitudes. Once the whole state repeats, so
// does everything after it. The kernels look for that on a block's silent
// tail as they go, a few instructions a pair of frames, and once they find
// it copy the outputs of one period instead of computing them again. The
// record has no room to remember a cycle, so each block finds it again.

// The frames at the end of the block whose every value is zero. A silent
// block is read whole, so 32 values at a time while it lasts.
int32_t silent_tail(const int16_t *source, int32_t frames, int channels) {
    int64_t values = static_cast<int64_t>(frames) * channels;
    const __m128i zero = _mm_setzero_si128();
    auto load = [source](int64_t at) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i *>(source + at));
    };
    while (values >= 32) {
        const __m128i any = _mm_or_si128(_mm_or_si128(load(values - 8), load(values - 16)),
                                         _mm_or_si128(load(values - 24), load(values - 32)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(any, zero)) != 0xffff) {
            break;
        }
        values -= 32;
    }
    while (values >= 8) {
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(load(values - 8), zero)) != 0xffff) {
            break;
        }
        values -= 8;
    }
    while (values > 0 && source[values - 1] == 0) {
        --values;
    }
    return frames - static_cast<int32_t>((values + channels - 1) / channels);
}

// Whether the kernels take the block. They fill and drain a pipeline of a few
// frames, so a shorter block goes frame by frame; and a chain of fewer than
// three bands runs pass-through stages (eq_cascade.inc), exact in every
// rounding mode but toward minus infinity.
bool kernels_take(const EqBlock &block, bool rounds_down) {
    if (block.frames < EQ_KERNEL_MIN_FRAMES) {
        return false;
    }
    if (!rounds_down) {
        return true;
    }
    for (int c = 0; c < block.chains; ++c) {
        if (block.chain[c].stages < EQ_BANDS_PER_PRESET) {
            return false;
        }
    }
    return true;
}

void run_kernels(EqPath path, EqSampleState &work, const int16_t *source, int16_t *destination,
                 int32_t frames, bool stereo, bool rounds_down) {
    const int channels = stereo ? 2 : 1;
    // Only a tail that is all zeros is looked through for a cycle.
    const int32_t silent_from = frames - silent_tail(source, frames, channels);
    for (int32_t done = 0; done < frames; done += EQ_PIECE) {
        const int32_t piece = frames - done < EQ_PIECE ? frames - done : EQ_PIECE;
        const size_t offset = static_cast<size_t>(done) * channels;
        EqBlock block = plan(work, source + offset, destination + offset, piece, stereo);
        const int32_t silent_in_piece = silent_from - done;
        block.silent_from = silent_in_piece < 0 ? 0 : silent_in_piece < piece ? silent_in_piece : piece;
        if (block.chains == 1 && block.chain[0].stages == 0 && block.chain[0].weight == 1.0f) {
            // One preset at full weight with every band disabled: each value
            // passes unchanged, so the block is a copy (or nothing, in place).
            if (source != destination) {
                std::memcpy(destination + offset, source + offset,
                            static_cast<size_t>(piece) * channels * sizeof(int16_t));
            }
            continue;
        }
        if (kernels_take(block, rounds_down)) {
            run_kernel(path, block);
        } else {
            process_scalar(work, source + offset, destination + offset, piece, stereo);
        }
    }
}

#endif  // EQ_HAS_KERNELS

// The rate as the bands see it, converted under round to nearest whatever the
// host's mode, so that which rate they are designed for cannot depend on it.
__attribute__((noinline)) bool rate_changed(EqSampleState &work, int32_t rate) {
    const float r = static_cast<float>(rate);
    if (work.rate == r) {
        return false;
    }
    work.rate = r;
    return true;
}

// A new rate redesigns all six bands.
__attribute__((noinline)) void redesign(EqSampleState &work) {
    for (EqBand &band : work.bands) {
        eq_design_band(&band, work.rate);
    }
}

__attribute__((noinline)) void run_frames(EqPath path, EqSampleState &work, const int16_t *source,
                                          int16_t *destination, int32_t frames, bool stereo,
                                          bool rounds_down) {
#if EQ_HAS_KERNELS
    const size_t values = static_cast<size_t>(frames) * (stereo ? 2 : 1);
    if (path != EQ_PATH_SCALAR && !overlap_partly(source, destination, values)) {
        run_kernels(path, work, source, destination, frames, stereo, rounds_down);
        return;
    }
#else
    (void)path;
    (void)rounds_down;
#endif
    process_scalar(work, source, destination, frames, stereo);
}

}  // namespace

void eq_sample_process_on(EqPath path, void *state_memory, const int16_t *source,
                          int16_t *destination, int32_t frames, int32_t rate, int32_t stereo) {
    // The host's floating-point state may neither change a bit of the result
    // nor be changed: the rate check and a redesign run in the fixed
    // environment, the frames in the host's rounding mode alone.
    EqFpScope fp(EQ_FP_EXACT);

    // The block works on a copy taken at its start and writes it back once at
    // its end: a property change made on the same state meanwhile is lost.
    EqSampleState work;
    copy_state(&work, state_memory);
    if (rate_changed(work, rate)) {
        fp.enter(EQ_FP_DESIGN);
        redesign(work);
    }
    if (frames > 0) {
        fp.enter(EQ_FP_PROCESS);
        run_frames(path, work, source, destination, frames, stereo != 0, fp.rounds_down());
    }
    copy_state(state_memory, &work);
}

extern "C" void TOLVANE_CALL FLTSMP_sample_process(void *state_memory, const int16_t *source,
                                                   int16_t *destination, int32_t frames,
                                                   int32_t rate, int32_t stereo) {
#if EQ_HAS_KERNELS
    const EqPath path = eq_path_chosen();
#else
    const EqPath path = EQ_PATH_SCALAR;
#endif
    eq_sample_process_on(path, state_memory, source, destination, frames, rate, stereo);
}
