#include "host/watched_entries.h"

#include <mutex>
#include <utility>

#include "host/fp_state.h"

namespace tolvane::host {
namespace {

constexpr int SLOTS = 16;

struct Slot {
    bool taken;
    ProviderEntries real;
    RIB_Main_fn *rib_main;
};
Slot slots[SLOTS];
std::mutex slots_mutex;

// One set of entry points per slot: a host's function pointer carries no
// context, so the slot is part of the function.
template <int S>
struct Watched {
    static const ProviderEntries &real() { return slots[S].real; }

    static int32_t TOLVANE_CALL rib_main(HPROVIDER a, int32_t attach, uintptr_t c, uintptr_t d,
                                         uintptr_t e) {
        return in_host_fp_state("RIB_Main", [&] { return slots[S].rib_main(a, attach, c, d, e); });
    }
    static int32_t TOLVANE_CALL provider_property(int32_t token, void *value, const void *u1,
                                                  void *u2) {
        return in_host_fp_state("PROVIDER_property",
                                [&] { return real().provider_property(token, value, u1, u2); });
    }
    static int32_t TOLVANE_CALL startup() {
        return in_host_fp_state("FLT_startup", [&] { return real().startup(); });
    }
    static const char *TOLVANE_CALL error() {
        return in_host_fp_state("FLT_error", [&] { return real().error(); });
    }
    static int32_t TOLVANE_CALL shutdown() {
        return in_host_fp_state("FLT_shutdown", [&] { return real().shutdown(); });
    }
    static void *TOLVANE_CALL open_driver(uintptr_t p1, uintptr_t p2, uintptr_t p3,
                                          const void *host_driver, void *memory) {
        return in_host_fp_state("FLT_open_driver", [&] {
            return real().open_driver(p1, p2, p3, host_driver, memory);
        });
    }
    static int32_t TOLVANE_CALL close_driver(void *driver) {
        return in_host_fp_state("FLT_close_driver", [&] { return real().close_driver(driver); });
    }
    static void TOLVANE_CALL premix_process(void *driver) {
        in_host_fp_state("FLT_premix_process", [&] { real().premix_process(driver); });
    }
    static int32_t TOLVANE_CALL postmix_process(void *driver, void *destination) {
        return in_host_fp_state("FLT_postmix_process",
                                [&] { return real().postmix_process(driver, destination); });
    }
    static void *TOLVANE_CALL open_sample(void *driver, uintptr_t sample, void *memory) {
        return in_host_fp_state("FLTSMP_open_sample",
                                [&] { return real().open_sample(driver, sample, memory); });
    }
    static int32_t TOLVANE_CALL close_sample(void *state) {
        return in_host_fp_state("FLTSMP_close_sample", [&] { return real().close_sample(state); });
    }
    static void TOLVANE_CALL sample_process(void *state, const int16_t *source,
                                            int16_t *destination, int32_t frames, int32_t rate,
                                            int32_t stereo) {
        in_host_fp_state("FLTSMP_sample_process", [&] {
            real().sample_process(state, source, destination, frames, rate, stereo);
        });
    }
    static int32_t TOLVANE_CALL sample_property(void *state, int32_t token, void *before,
                                                const void *new_value, void *after) {
        return in_host_fp_state("FLTSMP_sample_property", [&] {
            return real().sample_property(state, token, before, new_value, after);
        });
    }

    static constexpr ProviderEntries entries{
        &provider_property, &startup,      &error,          &shutdown,
        &open_driver,       &close_driver, &premix_process, &postmix_process,
        &open_sample,       &close_sample, &sample_process, &sample_property,
    };
};

template <size_t... S>
constexpr auto make_tables(std::index_sequence<S...>) {
    struct Tables {
        const ProviderEntries *entries[SLOTS];
        RIB_Main_fn *rib_main[SLOTS];
    };
    return Tables{{&Watched<static_cast<int>(S)>::entries...},
                  {&Watched<static_cast<int>(S)>::rib_main...}};
}
constexpr auto TABLES = make_tables(std::make_index_sequence<SLOTS>());

}  // namespace

int take_watch_slot() {
    std::lock_guard<std::mutex> lock(slots_mutex);
    for (int s = 0; s < SLOTS; ++s) {
        if (!slots[s].taken) {
            slots[s].taken = true;
            return s;
        }
    }
    return -1;
}

void release_watch_slot(int slot) {
    std::lock_guard<std::mutex> lock(slots_mutex);
    slots[slot] = Slot{};
}

ProviderEntries watch_entries(int slot, const ProviderEntries &real) {
    slots[slot].real = real;
    return *TABLES.entries[slot];
}

RIB_Main_fn *watch_rib_main(int slot, RIB_Main_fn *rib_main) {
    slots[slot].rib_main = rib_main;
    return TABLES.rib_main[slot];
}

}  // namespace tolvane::host
