// Provider-level query, start-up accounting, the last-error text, the
// per-driver record and the opening of a sample state.
#include <cstring>

#include "eq/eq_state.h"
#include "provider/last_error.h"
#include "tolvane.h"

namespace {

// The provider's only process-wide data besides the broker handle. The host
// keeps the calls that write them from overlapping.
char last_error_text[256];
int32_t startup_count;

constexpr char PROVIDER_NAME[] = "3 Zuvo Vezi Do";
// 0x130 for 1.3.0: a nibble each, as hosts read it.
constexpr int32_t PROVIDER_VERSION =
    TOLVANE_VERSION_MAJOR << 8 | TOLVANE_VERSION_MINOR << 4 | TOLVANE_VERSION_PATCH;
constexpr int32_t PROVIDER_FLAGS = 1;

void write_int32(void *slot, int32_t value) { std::memcpy(slot, &value, sizeof value); }

}  // namespace

void tolvane::report_failure(const char *message, std::size_t bytes_with_terminator) {
    std::memcpy(last_error_text, message, bytes_with_terminator);
}

extern "C" {

int32_t TOLVANE_CALL PROVIDER_property(int32_t token, void *value, const void *, void *) {
    if (value == nullptr) {
        return 0;
    }
    switch (token) {
    case TOKEN_FLAGS:
        write_int32(value, PROVIDER_FLAGS);
        return 1;
    case TOKEN_SAMPLE_STATE_SIZE:
        write_int32(value, int32_t{sizeof(EqSampleState)});
        return 1;
    case TOKEN_DRIVER_STATE_SIZE:
        write_int32(value, int32_t{sizeof(EqDriverState)});
        return 1;
    case TOKEN_NAME: {
        // The slot receives a full address, pointer-sized on every build.
        const char *name = PROVIDER_NAME;
        std::memcpy(value, &name, sizeof name);
        return 1;
    }
    case TOKEN_VERSION:
        write_int32(value, PROVIDER_VERSION);
        return 1;
    default:
        return 0;
    }
}

int32_t TOLVANE_CALL FLT_startup(void) {
    const int32_t before = startup_count;
    // Raised even when already started: it is a nesting count.
    startup_count = static_cast<int32_t>(static_cast<uint32_t>(before) + 1u);
    if (before == 0) {
        last_error_text[0] = '\0';
        return RESULT_OK;
    }
    tolvane::report_failure(tolvane::MSG_ALREADY_STARTED);
    return RESULT_ALREADY_STARTED;
}

const char *TOLVANE_CALL FLT_error(void) {
    return last_error_text[0] != '\0' ? last_error_text : nullptr;
}

int32_t TOLVANE_CALL FLT_shutdown(void) {
    if (startup_count != 0) {
        --startup_count;
        return RESULT_OK;
    }
    tolvane::report_failure(tolvane::MSG_NOT_INITIALIZED);
    return RESULT_NOT_INITIALIZED;
}

void *TOLVANE_CALL FLT_open_driver(uintptr_t open_param1, uintptr_t open_param2,
                                   uintptr_t open_param3, const void *host_driver, void *memory) {
    if (memory == nullptr) {
        tolvane::report_failure(tolvane::MSG_OUT_OF_MEMORY);
        return nullptr;
    }
    const EqDriverState driver{host_driver, open_param1, open_param2, open_param3};
    std::memcpy(memory, &driver, sizeof driver);
    return memory;
}

// The engine opens the state; the shell reports memory the host did not give.
void *TOLVANE_CALL FLTSMP_open_sample(void *driver, uintptr_t sample, void *memory) {
    if (memory == nullptr) {
        tolvane::report_failure(tolvane::MSG_OUT_OF_MEMORY);
        return nullptr;
    }
    return eq_open_sample(driver, sample, memory);
}

// Also registered as FLTSMP_close_sample: neither record owns anything.
int32_t TOLVANE_CALL FLT_close_driver(void *) { return 0; }

void TOLVANE_CALL FLT_premix_process(void *) {}

int32_t TOLVANE_CALL FLT_postmix_process(void *, void *) { return 0; }

}  // extern "C"
