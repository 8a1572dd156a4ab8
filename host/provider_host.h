// Loads a provider file and reaches it the way the host does: attach through
// RIB_Main, then call what it registered, found by name through the broker.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/broker.h"
#include "tolvane.h"

namespace tolvane::host {

// A file of this name in the running program's folder.
std::string beside_program(const std::string &name);

// tolvane.flt beside the running program.
std::string default_provider_path();

// A host driver record: only the sample rate, 20 bytes in, is the provider's.
struct HostDriverRecord {
    alignas(8) unsigned char bytes[64] = {};
    explicit HostDriverRecord(int32_t rate = 48000) { set_rate(rate); }
    void set_rate(int32_t rate);
};

// The entries of both interfaces, resolved by name after attach.
struct ProviderEntries {
    PROVIDER_property_fn *provider_property;
    FLT_startup_fn *startup;
    FLT_error_fn *error;
    FLT_shutdown_fn *shutdown;
    FLT_open_driver_fn *open_driver;
    FLT_close_driver_fn *close_driver;
    FLT_premix_process_fn *premix_process;
    FLT_postmix_process_fn *postmix_process;
    FLTSMP_open_sample_fn *open_sample;
    FLTSMP_close_sample_fn *close_sample;
    FLTSMP_sample_process_fn *sample_process;
    FLTSMP_sample_property_fn *sample_property;
};

class Provider {
public:
    // Loads the provider and, unless told not to, attaches it; throws
    // std::runtime_error saying why it could not. A private copy is a fresh
    // instance of the library, with its own start-up count and last-error
    // text, however many are loaded. Once a host floating-point state is
    // chosen (host/fp_state.h), every call goes through entries that make it
    // in that state.
    explicit Provider(const std::string &path = default_provider_path(), bool private_copy = false,
                      bool attach_now = true);
    ~Provider();
    Provider(const Provider &) = delete;
    Provider &operator=(const Provider &) = delete;

    const std::string &path() const { return path_; }
    HPROVIDER handle() const { return handle_; }
    RIB_Main_fn *rib_main() const { return rib_main_; }
    const ProviderEntries &fn() const { return fn_; }

    // Calls RIB_Main again; attach returns the new handle and re-resolves fn().
    HPROVIDER attach(int32_t flag = 1);
    void detach();

    // A registered entry of the provider's current handle; throws if missing.
    InterfaceEntry entry(const char *interface_name, const char *entry_name) const;
    // All entries the current handle has under the interface.
    std::vector<InterfaceEntry> entries(const char *interface_name) const;
    // A sample property's token by its registered name; throws if missing.
    int32_t sample_token(const std::string &name) const;

    // The record sizes the provider asks the host to supply.
    int32_t sample_state_size() const;
    int32_t driver_state_size() const;

private:
    void resolve();

    std::string path_;
    std::string loaded_path_;
    bool private_copy_ = false;
    void *module_ = nullptr;
    RIB_Main_fn *rib_main_ = nullptr;
    HPROVIDER handle_ = 0;
    bool attached_ = false;
    ProviderEntries fn_{};
    int watch_slot_ = -1;  // calls made in a host floating-point state (host/fp_state.h)
};

// Memory for a driver and a sample state as a host would supply it, opened on
// a provider at a given rate.
class Voice {
public:
    Voice(const Provider &provider, int32_t rate);
    // The entries of the provider the voice was opened on.
    const ProviderEntries &entries() const { return provider_.fn(); }
    void *state() { return state_.data(); }
    void *driver() { return driver_.data(); }
    HostDriverRecord &host_driver() { return host_driver_; }
    // Sets a property through the provider; returns the value that now stands.
    float set_float(int32_t token, float value);
    int32_t set_int(int32_t token, int32_t value);
    float get_float(int32_t token);
    int32_t get_int(int32_t token);
    void process(const int16_t *source, int16_t *destination, int32_t frames, int32_t rate,
                 bool stereo);

private:
    const Provider &provider_;
    HostDriverRecord host_driver_;
    std::vector<uint64_t> driver_;  // 8-byte aligned, as host allocators give
    std::vector<uint64_t> state_;
};

}  // namespace tolvane::host
