#include "host/provider_host.h"

#include "host/fp_state.h"
#include "host/watched_entries.h"

#include <atomic>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace tolvane::host {

namespace {

#ifdef _WIN32
std::string system_error_text() {
    char buffer[512] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   GetLastError(), 0, buffer, sizeof buffer, nullptr);
    std::string text = buffer;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text.empty() ? "error " + std::to_string(GetLastError()) : text;
}

void *load_module(const std::string &path, std::string &error) {
    HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        error = system_error_text();
    }
    return reinterpret_cast<void *>(module);
}
void *find_symbol(void *module, const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
}
void unload_module(void *module) { FreeLibrary(static_cast<HMODULE>(module)); }
std::string executable_path() {
    char buffer[MAX_PATH * 4] = {};
    GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    return buffer;
}
int process_id() { return static_cast<int>(GetCurrentProcessId()); }
#else
void *load_module(const std::string &path, std::string &error) {
    void *module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        error = dlerror();
    }
    return module;
}
void *find_symbol(void *module, const char *name) { return dlsym(module, name); }
void unload_module(void *module) { dlclose(module); }
std::string executable_path() { return fs::read_symlink("/proc/self/exe").string(); }
int process_id() { return static_cast<int>(getpid()); }
#endif

std::string private_copy_of(const std::string &path) {
    static std::atomic<int> counter{0};
    const fs::path copy = fs::temp_directory_path() /
                          ("tolvane-" + std::to_string(process_id()) + "-" +
                           std::to_string(counter++) + ".flt");
    std::error_code ec;
    fs::copy_file(path, copy, fs::copy_options::overwrite_existing, ec);
    if (ec) {
        throw std::runtime_error("cannot copy " + path + ": " + ec.message());
    }
    return copy.string();
}

}  // namespace

std::string beside_program(const std::string &name) {
    return (fs::path(executable_path()).parent_path() / name).string();
}

std::string default_provider_path() { return beside_program("tolvane.flt"); }

void HostDriverRecord::set_rate(int32_t rate) {
    std::memcpy(bytes + HOST_DRIVER_RATE_OFFSET, &rate, sizeof rate);
}

Provider::Provider(const std::string &path, bool private_copy, bool attach_now)
    : path_(path), private_copy_(private_copy) {
    if (!fs::exists(path)) {
        throw std::runtime_error(path + ": no such file");
    }
    loaded_path_ = private_copy ? private_copy_of(path) : path;
    std::string error;
    module_ = load_module(loaded_path_, error);
    if (module_ == nullptr) {
        if (private_copy_) {
            fs::remove(loaded_path_);
        }
        throw std::runtime_error(path + ": cannot load: " + error);
    }
    rib_main_ = reinterpret_cast<RIB_Main_fn *>(find_symbol(module_, RIB_MAIN_EXPORT_NAME));
    if (rib_main_ == nullptr) {
        unload_module(module_);
        if (private_copy_) {
            fs::remove(loaded_path_);
        }
        throw std::runtime_error(path + ": exports no " RIB_MAIN_EXPORT_NAME);
    }
    if (host_fp_state() != nullptr) {
        watch_slot_ = take_watch_slot();
        if (watch_slot_ < 0) {
            unload_module(module_);
            if (private_copy_) {
                fs::remove(loaded_path_);
            }
            throw std::runtime_error(path + ": too many providers loaded to watch them all");
        }
        rib_main_ = watch_rib_main(watch_slot_, rib_main_);
    }
    try {
        if (attach_now) {
            attach();
        }
    } catch (...) {
        detach();
        unload_module(module_);
        if (private_copy_) {
            fs::remove(loaded_path_);
        }
        if (watch_slot_ >= 0) {
            release_watch_slot(watch_slot_);
        }
        throw;
    }
}

Provider::~Provider() {
    detach();
    unload_module(module_);
    if (private_copy_) {
        std::error_code ec;
        fs::remove(loaded_path_, ec);
    }
    if (watch_slot_ >= 0) {
        release_watch_slot(watch_slot_);
    }
}

HPROVIDER Provider::attach(int32_t flag) {
    const size_t first = host_call_count();
    rib_main_(0, flag, 0, 0, 0);
    attached_ = true;
    // The handle is the one the broker handed out during this attach.
    const size_t last = host_call_count();
    bool found = false;
    for (size_t i = first; i < last && !found; ++i) {
        BrokerCall call;
        if (host_call(i, &call) && call.kind == BROKER_ALLOC) {
            handle_ = call.handle;
            found = true;
        }
    }
    if (!found) {
        throw std::runtime_error(path_ + ": RIB_Main did not ask the broker for a handle");
    }
    resolve();
    return handle_;
}

void Provider::detach() {
    if (attached_) {
        rib_main_(0, 0, 0, 0, 0);
        attached_ = false;
    }
}

InterfaceEntry Provider::entry(const char *interface_name, const char *entry_name) const {
    InterfaceEntry found;
    if (!host_find_entry(handle_, interface_name, entry_name, &found)) {
        throw std::runtime_error(path_ + ": registered no \"" + entry_name + "\" in \"" +
                                 interface_name + "\"");
    }
    return found;
}

std::vector<InterfaceEntry> Provider::entries(const char *interface_name) const {
    std::vector<InterfaceEntry> out(host_entries(handle_, interface_name, nullptr, 0));
    host_entries(handle_, interface_name, out.data(), out.size());
    return out;
}

int32_t Provider::sample_token(const std::string &name) const {
    const InterfaceEntry e = entry(INTERFACE_SAMPLE, name.c_str());
    if (e.kind != ENTRY_PROPERTY) {
        throw std::runtime_error(path_ + ": \"" + name + "\" is not a property");
    }
    return static_cast<int32_t>(e.value);
}

void Provider::resolve() {
    auto function = [this](const char *interface_name, const char *name) {
        const InterfaceEntry e = entry(interface_name, name);
        if (e.kind != ENTRY_FUNCTION) {
            throw std::runtime_error(path_ + ": \"" + name + "\" is not a function");
        }
        return e.value;
    };
    auto filter = [&](auto &slot, const char *name) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(
            function(INTERFACE_FILTER, name));
    };
    auto sample = [&](auto &slot, const char *name) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(
            function(INTERFACE_SAMPLE, name));
    };
    filter(fn_.provider_property, "PROVIDER_property");
    filter(fn_.startup, "FLT_startup");
    filter(fn_.error, "FLT_error");
    filter(fn_.shutdown, "FLT_shutdown");
    filter(fn_.open_driver, "FLT_open_driver");
    filter(fn_.close_driver, "FLT_close_driver");
    filter(fn_.premix_process, "FLT_premix_process");
    filter(fn_.postmix_process, "FLT_postmix_process");
    sample(fn_.open_sample, "FLTSMP_open_sample");
    sample(fn_.close_sample, "FLTSMP_close_sample");
    sample(fn_.sample_process, "FLTSMP_sample_process");
    sample(fn_.sample_property, "FLTSMP_sample_property");
    if (watch_slot_ >= 0) {
        fn_ = watch_entries(watch_slot_, fn_);
    }
}

int32_t Provider::sample_state_size() const {
    int32_t size = 0;
    fn_.provider_property(TOKEN_SAMPLE_STATE_SIZE, &size, nullptr, nullptr);
    return size;
}

int32_t Provider::driver_state_size() const {
    int32_t size = 0;
    fn_.provider_property(TOKEN_DRIVER_STATE_SIZE, &size, nullptr, nullptr);
    return size;
}

Voice::Voice(const Provider &provider, int32_t rate)
    : provider_(provider),
      host_driver_(rate),
      driver_((provider.driver_state_size() + 7) / 8),
      state_((provider.sample_state_size() + 7) / 8) {
    if (provider_.fn().open_driver(0, 0, 0, host_driver_.bytes, driver_.data()) == nullptr ||
        provider_.fn().open_sample(driver_.data(), 0, state_.data()) == nullptr) {
        throw std::runtime_error(provider_.path() + ": cannot open a sample state");
    }
}

float Voice::set_float(int32_t token, float value) {
    float after = 0.0f;
    provider_.fn().sample_property(state(), token, nullptr, &value, &after);
    return after;
}

int32_t Voice::set_int(int32_t token, int32_t value) {
    int32_t after = 0;
    provider_.fn().sample_property(state(), token, nullptr, &value, &after);
    return after;
}

float Voice::get_float(int32_t token) {
    float value = 0.0f;
    provider_.fn().sample_property(state(), token, &value, nullptr, nullptr);
    return value;
}

int32_t Voice::get_int(int32_t token) {
    int32_t value = 0;
    provider_.fn().sample_property(state(), token, &value, nullptr, nullptr);
    return value;
}

void Voice::process(const int16_t *source, int16_t *destination, int32_t frames, int32_t rate,
                    bool stereo) {
    provider_.fn().sample_process(state(), source, destination, frames, rate, stereo ? 1 : 0);
}

}  // namespace tolvane::host
