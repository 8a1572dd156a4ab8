// The checks that no call traps are only as good as the traps they would
// see: in every host state, a division by zero must trap exactly when the
// state unmasks its exception. Under an emulator that never delivers an
// unmasked exception (qemu in user mode, which the scripts name in
// TOLVANE_EMULATOR), those checks cannot fail, and this says so as a skip.
#include <gtest/gtest.h>

#include <cstdlib>

#include "host/fp_state.h"

namespace {

TEST(HostFpState, ADivisionByZeroTrapsExactlyWhenTheStateUnmasksIt) {
    const tolvane::host::FpState *state = tolvane::host::host_fp_state();
    if (state == nullptr) {
        state = &tolvane::host::FP_STATES[0];
    }
    const bool unmasked = tolvane::host::unmasks_division_by_zero(*state);
    const bool trapped = tolvane::host::division_by_zero_traps(*state);
    if (unmasked && !trapped) {
        const char *emulator = std::getenv("TOLVANE_EMULATOR");
        if (emulator != nullptr && *emulator != '\0') {
            GTEST_SKIP() << "an unmasked exception does not trap under " << emulator
                         << ": in host state " << state->name
                         << " the checks that no call traps could not fail";
        }
    }
    EXPECT_EQ(trapped, unmasked) << "host state " << state->name;
}

}  // namespace
