// The stand-in broker: a log of every call and the live registrations.
#include "host/broker.h"

#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct StoredCall {
    BrokerCall call;
    std::string interface_name;
    std::vector<InterfaceEntry> entries;
    std::deque<std::string> names;  // a deque keeps the copies where they are
};

struct Registration {
    HPROVIDER handle;
    std::string interface_name;
    std::vector<InterfaceEntry> entries;  // names point into the call log
};

struct Broker {
    std::mutex mutex;
    std::deque<StoredCall> calls;
    std::vector<Registration> live;
    HPROVIDER next_handle = 1;
    std::optional<HPROVIDER> forced;
};

Broker &broker() {
    static Broker instance;
    return instance;
}

std::string text_or_empty(const char *text) { return text != nullptr ? text : ""; }

StoredCall &log_call(Broker &b, int32_t kind, HPROVIDER handle, const char *interface_name,
                     int32_t count, const InterfaceEntry *entries) {
    StoredCall &stored = b.calls.emplace_back();
    stored.interface_name = text_or_empty(interface_name);
    if (kind == BROKER_REGISTER && entries != nullptr) {
        for (int32_t i = 0; i < count; ++i) {
            InterfaceEntry copy = entries[i];
            copy.name = stored.names.emplace_back(text_or_empty(entries[i].name)).c_str();
            stored.entries.push_back(copy);
        }
    }
    stored.call = BrokerCall{kind,
                             handle,
                             reinterpret_cast<uintptr_t>(interface_name),
                             stored.interface_name.c_str(),
                             count,
                             reinterpret_cast<uintptr_t>(entries),
                             stored.entries.empty() ? nullptr : stored.entries.data()};
    return stored;
}

Registration &registration(Broker &b, HPROVIDER handle, const std::string &interface_name) {
    for (Registration &r : b.live) {
        if (r.handle == handle && r.interface_name == interface_name) {
            return r;
        }
    }
    return b.live.emplace_back(Registration{handle, interface_name, {}});
}

const Registration *find_registration(Broker &b, HPROVIDER handle, const char *interface_name) {
    for (const Registration &r : b.live) {
        if (r.handle == handle && r.interface_name == text_or_empty(interface_name)) {
            return &r;
        }
    }
    return nullptr;
}

}  // namespace

extern "C" {

HPROVIDER TOLVANE_CALL RIB_alloc_provider_handle(int32_t) {
    Broker &b = broker();
    std::lock_guard lock(b.mutex);
    HPROVIDER handle = b.forced ? *b.forced : b.next_handle++;
    b.forced.reset();
    log_call(b, BROKER_ALLOC, handle, nullptr, 0, nullptr);
    return handle;
}

// Blocks registered under one name in several calls form one interface.
int32_t TOLVANE_CALL RIB_register_interface(HPROVIDER handle, const char *interface_name,
                                            int32_t entry_count, const InterfaceEntry *entries) {
    Broker &b = broker();
    std::lock_guard lock(b.mutex);
    const StoredCall &call = log_call(b, BROKER_REGISTER, handle, interface_name, entry_count, entries);
    Registration &r = registration(b, handle, call.interface_name);
    r.entries.insert(r.entries.end(), call.entries.begin(), call.entries.end());
    return 1;
}

// Withdraws everything that the handle registered.
int32_t TOLVANE_CALL RIB_unregister_interface(HPROVIDER handle, const char *interface_name,
                                              int32_t entry_count, const InterfaceEntry *entries) {
    Broker &b = broker();
    std::lock_guard lock(b.mutex);
    log_call(b, BROKER_UNREGISTER, handle, interface_name, entry_count, entries);
    std::erase_if(b.live, [handle](const Registration &r) { return r.handle == handle; });
    return 1;
}

size_t host_call_count(void) {
    Broker &b = broker();
    std::lock_guard lock(b.mutex);
    return b.calls.size();
}

int host_call(size_t index, BrokerCall *out) {
    Broker &b = broker();
    std::lock_guard lock(b.mutex);
    if (index >= b.calls.size()) {
        return 0;
    }
    *out = b.calls[index].call;
    return 1;
}

size_t host_entries(HPROVIDER handle, const char *interface_name, InterfaceEntry *out,
                    size_t capacity) {
    Broker &b = broker();
    std::lock_guard lock(b.mutex);
    const Registration *r = find_registration(b, handle, interface_name);
    if (r == nullptr) {
        return 0;
    }
    for (size_t i = 0; i < r->entries.size() && i < capacity; ++i) {
        out[i] = r->entries[i];
    }
    return r->entries.size();
}

int host_find_entry(HPROVIDER handle, const char *interface_name, const char *entry_name,
                    InterfaceEntry *out) {
    Broker &b = broker();
    std::lock_guard lock(b.mutex);
    const Registration *r = find_registration(b, handle, interface_name);
    if (r == nullptr) {
        return 0;
    }
    for (const InterfaceEntry &e : r->entries) {
        if (std::string_view(e.name) == text_or_empty(entry_name)) {
            *out = e;
            return 1;
        }
    }
    return 0;
}

void host_force_next_handle(HPROVIDER handle) {
    Broker &b = broker();
    std::lock_guard lock(b.mutex);
    b.forced = handle;
}

}  // extern "C"
