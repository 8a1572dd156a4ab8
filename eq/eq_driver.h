// The per-driver record, in memory that the host supplies. The provider shell
// fills it; the engine reads it again only for host_driver, which leads to the
// host's driver record and its sample rate.
#pragma once

#include <cstdint>

struct EqDriverState {
    const void *host_driver;  // the host's driver record
    uintptr_t open_param1;    // the three opening values, stored unread
    uintptr_t open_param2;
    uintptr_t open_param3;
};

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(EqDriverState) == 16, "the host's 32-bit layout");
#endif
