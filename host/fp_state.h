// The floating-point state a host leaves behind when it calls the provider.
//
// Game hosts call in whatever state their own code set: flush-to-zero for
// speed, exceptions unmasked in debug builds, the x87 unit at 24-bit precision
// (Direct3D 9's default). The stand-in host can make every call into a
// provider in such a state and check, after each call, that the provider left
// MXCSR, the x87 control word and the x87 exception flags exactly as loaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tolvane::host {

struct FpState {
    const char *name;
    uint32_t mxcsr;        // loaded whole, status flags included
    uint16_t x87_control;
};

// The state a fresh process has comes first, then the ones hosts leave behind.
extern const FpState FP_STATES[];
extern const size_t FP_STATE_COUNT;

// The state of that name, or nullptr.
const FpState *find_fp_state(const std::string &name);

// The state a test program's --host-fp-state=NAME argument names, or nullptr
// without one; an unknown name ends the program with the list of names.
const FpState *fp_state_argument(int argc, char **argv);

// From now on every call into a provider that tolvane::host::Provider makes
// (and every call made through in_host_fp_state) runs in `state`; nullptr
// makes calls in the program's own state again, unwatched. Also installs a
// handler that names the call a floating-point trap happens in, then ends the
// program.
void set_host_fp_state(const FpState *state);
const FpState *host_fp_state();

// Whether the state unmasks the exception of a division by zero, on the SSE or
// the x87 unit; and whether such a division, made in the state on both units,
// traps on this machine. Where an unmasked exception does not trap (an
// emulator may not deliver them), the checks that no call traps cannot fail.
bool unmasks_division_by_zero(const FpState &state);
bool division_by_zero_traps(const FpState &state);

// Loads the host state around one call and checks the registers afterwards;
// the program's own state is back when it returns, so tests compute their
// expectations in the default state.
class FpCall {
public:
    explicit FpCall(const char *entry);
    ~FpCall();
    FpCall(const FpCall &) = delete;
    FpCall &operator=(const FpCall &) = delete;

private:
    const char *entry_;
    const char *outer_entry_;
    uint32_t program_mxcsr_;
    uint16_t program_x87_control_;
};

template <class Call>
decltype(auto) in_host_fp_state(const char *entry, Call &&call) {
    if (host_fp_state() == nullptr) {
        return call();
    }
    FpCall watch(entry);
    return call();
}

// What the watched calls changed, a line each; reading forgets them.
std::vector<std::string> take_fp_faults();

}  // namespace tolvane::host
