// The provider's one export and the two interfaces it registers with the
// host's broker.
#include <cstdint>

#include "tolvane.h"

namespace {

HPROVIDER provider_handle;  // replaced by every attach, never cleared

constexpr int32_t FILTER_ENTRIES = 11;
constexpr int32_t SAMPLE_ENTRIES = 35;

// Band property names, one table per parameter word, indexed [preset][band].
const char *const FREQ_NAMES[2][3] = {{"0 Freq 0", "0 Freq 1", "0 Freq 2"},
                                      {"1 Freq 0", "1 Freq 1", "1 Freq 2"}};
const char *const Q_NAMES[2][3] = {{"0 Q 0", "0 Q 1", "0 Q 2"}, {"1 Q 0", "1 Q 1", "1 Q 2"}};
const char *const GAIN_NAMES[2][3] = {{"0 Gain 0", "0 Gain 1", "0 Gain 2"},
                                      {"1 Gain 0", "1 Gain 1", "1 Gain 2"}};
const char *const TYPE_NAMES[2][3] = {{"0 Type 0", "0 Type 1", "0 Type 2"},
                                      {"1 Type 0", "1 Type 1", "1 Type 2"}};
const char *const ENABLE_NAMES[2][3] = {{"0 Enable 0", "0 Enable 1", "0 Enable 2"},
                                        {"1 Enable 0", "1 Enable 1", "1 Enable 2"}};

template <class Fn>
InterfaceEntry function_entry(const char *name, Fn *entry_point) {
    return InterfaceEntry{ENTRY_FUNCTION, name, reinterpret_cast<intptr_t>(entry_point), 0};
}

InterfaceEntry property_entry(const char *name, int32_t token, uint32_t subtype) {
    return InterfaceEntry{ENTRY_PROPERTY, name, token, subtype};
}

void register_filter_interface(HPROVIDER handle) {
    const InterfaceEntry entries[FILTER_ENTRIES] = {
        function_entry("PROVIDER_property", &PROVIDER_property),
        property_entry("Name", TOKEN_NAME, SUBTYPE_PROVIDER_TEXT),
        property_entry("Version", TOKEN_VERSION, SUBTYPE_PROVIDER_INTEGER),
        property_entry("Flags", TOKEN_FLAGS, SUBTYPE_PROVIDER_INTEGER),
        function_entry("FLT_startup", &FLT_startup),
        function_entry("FLT_error", &FLT_error),
        function_entry("FLT_shutdown", &FLT_shutdown),
        function_entry("FLT_open_driver", &FLT_open_driver),
        function_entry("FLT_close_driver", &FLT_close_driver),
        function_entry("FLT_premix_process", &FLT_premix_process),
        function_entry("FLT_postmix_process", &FLT_postmix_process),
    };
    RIB_register_interface(handle, INTERFACE_FILTER, 4, &entries[0]);
    RIB_register_interface(handle, INTERFACE_FILTER, 4, &entries[4]);
    RIB_register_interface(handle, INTERFACE_FILTER, 3, &entries[8]);
}

void register_sample_interface(HPROVIDER handle) {
    InterfaceEntry entries[SAMPLE_ENTRIES] = {
        function_entry("FLTSMP_open_sample", &FLTSMP_open_sample),
        function_entry("FLTSMP_close_sample", &FLT_close_driver),  // one routine, two names
        function_entry("FLTSMP_sample_process", &FLTSMP_sample_process),
        function_entry("FLTSMP_sample_property", &FLTSMP_sample_property),
        property_entry("Lerp", TOKEN_LERP, SUBTYPE_FLOAT),
    };
    int32_t n = 5;
    for (int preset = 0; preset < 2; ++preset) {
        for (int band = 0; band < 3; ++band) {
            entries[n++] = property_entry(FREQ_NAMES[preset][band],
                                          TOKEN_BAND(preset, band, PARAM_FREQ), SUBTYPE_FLOAT);
            entries[n++] = property_entry(Q_NAMES[preset][band],
                                          TOKEN_BAND(preset, band, PARAM_Q), SUBTYPE_FLOAT);
            entries[n++] = property_entry(GAIN_NAMES[preset][band],
                                          TOKEN_BAND(preset, band, PARAM_GAIN), SUBTYPE_FLOAT);
            entries[n++] = property_entry(TYPE_NAMES[preset][band],
                                          TOKEN_BAND(preset, band, PARAM_TYPE), SUBTYPE_INTEGER);
            entries[n++] = property_entry(ENABLE_NAMES[preset][band],
                                          TOKEN_BAND(preset, band, PARAM_ENABLE), SUBTYPE_BOOLEAN);
        }
    }
    // The services and "Lerp" travel together, then one call per band.
    for (int32_t first = 0; first < SAMPLE_ENTRIES; first += 5) {
        RIB_register_interface(handle, INTERFACE_SAMPLE, 5, &entries[first]);
    }
}

// Results of the broker calls are not looked at: the host has no way to hear
// of a failure here, and the entry must return 1 regardless.
void register_interfaces(HPROVIDER handle, int32_t attach) {
    if (attach != 0) {
        register_filter_interface(handle);
        register_sample_interface(handle);
    } else {
        RIB_unregister_interface(handle, nullptr, 0, nullptr);
    }
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int32_t TOLVANE_CALL
RIB_Main(HPROVIDER, int32_t attach, uintptr_t, uintptr_t, uintptr_t) {
    if (attach != 0) {
        provider_handle = RIB_alloc_provider_handle(0);
    }
    register_interfaces(provider_handle, attach);
    return 1;
}
