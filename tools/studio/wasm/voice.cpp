// The equaliser in the studio page: one voice of the engine, compiled to
// WebAssembly, with the host's side of it (the driver records, the sample
// state's memory and the buffers) kept in the module's memory. The page calls
// the provider's own entries on it, FLTSMP_sample_property between blocks and
// FLTSMP_sample_process for each block, exactly as a game would.
#include <cstdint>
#include <cstring>

#include "eq/eq_state.h"
#include "tolvane.h"

#define EXPORT(name) extern "C" __attribute__((export_name(#name)))

namespace {

// Blocks of up to this many frames; the page uses 128.
constexpr int32_t CAPACITY = 8192;

struct Voice {
    alignas(16) EqSampleState state;
    EqDriverState driver;
    alignas(8) unsigned char host_driver[64];
    uint32_t slots[4];  // values passed to and from the property entry
    int16_t input[2 * CAPACITY];
    int16_t output[2 * CAPACITY];
} voice;

}  // namespace

// Opens the voice at `rate` as a host does: the driver record (the rate 20
// bytes in), the provider's record of it, and a fresh sample state.
EXPORT(voice_open) EqSampleState *voice_open(int32_t rate) {
    std::memset(voice.host_driver, 0, sizeof voice.host_driver);
    std::memcpy(voice.host_driver + HOST_DRIVER_RATE_OFFSET, &rate, sizeof rate);
    voice.driver = EqDriverState{voice.host_driver, 0, 0, 0};
    return eq_open_sample(&voice.driver, 0, &voice.state);
}

EXPORT(voice_state) EqSampleState *voice_state() { return &voice.state; }
EXPORT(voice_slots) uint32_t *voice_slots() { return voice.slots; }
EXPORT(voice_input) int16_t *voice_input() { return voice.input; }
EXPORT(voice_output) int16_t *voice_output() { return voice.output; }
EXPORT(voice_capacity) int32_t voice_capacity() { return CAPACITY; }
