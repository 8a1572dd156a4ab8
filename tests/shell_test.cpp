// The provider shell through the loaded artifact: registration with the
// broker, the provider properties, start-up accounting, the last-error text
// and the driver record.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/provider_host.h"

using tolvane::host::Provider;

namespace {

struct ExpectedEntry {
    int32_t kind;
    const char *name;
    intptr_t token;  // properties only
    uint32_t subtype;
};

constexpr int32_t F = ENTRY_FUNCTION, P = ENTRY_PROPERTY;

// The two interfaces, call by call, as the host must see them.
const std::vector<std::vector<ExpectedEntry>> FILTER_CALLS = {
    {{F, "PROVIDER_property", 0, 0},
     {P, "Name", -100, SUBTYPE_PROVIDER_TEXT},
     {P, "Version", -101, SUBTYPE_PROVIDER_INTEGER},
     {P, "Flags", 0, SUBTYPE_PROVIDER_INTEGER}},
    {{F, "FLT_startup", 0, 0}, {F, "FLT_error", 0, 0}, {F, "FLT_shutdown", 0, 0},
     {F, "FLT_open_driver", 0, 0}},
    {{F, "FLT_close_driver", 0, 0}, {F, "FLT_premix_process", 0, 0},
     {F, "FLT_postmix_process", 0, 0}},
};

std::vector<std::vector<ExpectedEntry>> sample_calls() {
    std::vector<std::vector<ExpectedEntry>> calls = {
        {{F, "FLTSMP_open_sample", 0, 0},
         {F, "FLTSMP_close_sample", 0, 0},
         {F, "FLTSMP_sample_process", 0, 0},
         {F, "FLTSMP_sample_property", 0, 0},
         {P, "Lerp", 3, SUBTYPE_FLOAT}}};
    static std::vector<std::string> names;  // keeps the c_str()s alive
    names.clear();
    names.reserve(30);
    const char *words[5] = {"Freq", "Q", "Gain", "Type", "Enable"};
    const uint32_t types[5] = {SUBTYPE_FLOAT, SUBTYPE_FLOAT, SUBTYPE_FLOAT, SUBTYPE_INTEGER,
                               SUBTYPE_BOOLEAN};
    int32_t token = 4;
    for (int preset = 0; preset < 2; ++preset) {
        for (int band = 0; band < 3; ++band) {
            std::vector<ExpectedEntry> call;
            for (int k = 0; k < 5; ++k) {
                names.push_back(std::to_string(preset) + " " + words[k] + " " +
                                std::to_string(band));
                call.push_back({P, names.back().c_str(), token++, types[k]});
            }
            calls.push_back(call);
        }
    }
    return calls;
}

std::vector<BrokerCall> calls_since(size_t first) {
    std::vector<BrokerCall> calls;
    for (size_t i = first; i < host_call_count(); ++i) {
        BrokerCall call;
        host_call(i, &call);
        calls.push_back(call);
    }
    return calls;
}

// A fresh instance of the library for every test: provider-wide state (the
// start-up count, the last-error text) starts as at load.
class Shell : public testing::Test {
protected:
    Provider provider{tolvane::host::default_provider_path(), true};
    const tolvane::host::ProviderEntries &fn = provider.fn();
};

TEST(Registration, AttachMakesTenCallsInOrderWithEveryEntry) {
    Provider provider(tolvane::host::default_provider_path(), true, false);
    const size_t first = host_call_count();
    EXPECT_EQ(provider.rib_main()(0, 1, 0, 0, 0), 1);
    const std::vector<BrokerCall> calls = calls_since(first);
    ASSERT_EQ(calls.size(), 11u) << "one handle, ten registrations";
    EXPECT_EQ(calls[0].kind, BROKER_ALLOC);
    const HPROVIDER handle = calls[0].handle;

    std::vector<std::vector<ExpectedEntry>> expected = FILTER_CALLS;
    for (auto &call : sample_calls()) {
        expected.push_back(call);
    }
    ASSERT_EQ(expected.size(), 10u);
    for (size_t c = 0; c < expected.size(); ++c) {
        SCOPED_TRACE("registration call " + std::to_string(c + 1));
        const BrokerCall &call = calls[c + 1];
        EXPECT_EQ(call.kind, BROKER_REGISTER);
        EXPECT_EQ(call.handle, handle);
        EXPECT_STREQ(call.interface_name, c < 3 ? "MSS pipeline filter"
                                                : "Pipeline filter sample services");
        ASSERT_EQ(call.entry_count, static_cast<int32_t>(expected[c].size()));
        for (size_t i = 0; i < expected[c].size(); ++i) {
            const InterfaceEntry &got = call.entries[i];
            const ExpectedEntry &want = expected[c][i];
            SCOPED_TRACE(want.name);
            EXPECT_EQ(got.kind, want.kind);
            EXPECT_STREQ(got.name, want.name);
            EXPECT_EQ(got.subtype, want.subtype);
            if (want.kind == ENTRY_PROPERTY) {
                EXPECT_EQ(got.value, want.token);
            } else {
                EXPECT_NE(got.value, 0);
            }
        }
    }
    provider.detach();
}

TEST(Registration, OneRoutineServesBothCloseEntriesAndNoOther) {
    Provider provider(tolvane::host::default_provider_path(), true);
    std::vector<InterfaceEntry> functions;
    for (const char *interface_name : {INTERFACE_FILTER, INTERFACE_SAMPLE}) {
        for (const InterfaceEntry &e : provider.entries(interface_name)) {
            if (e.kind == ENTRY_FUNCTION) {
                functions.push_back(e);
            }
        }
    }
    ASSERT_EQ(functions.size(), 12u);
    for (size_t i = 0; i < functions.size(); ++i) {
        for (size_t j = i + 1; j < functions.size(); ++j) {
            const bool close_pair = std::string(functions[i].name) == "FLT_close_driver" &&
                                    std::string(functions[j].name) == "FLTSMP_close_sample";
            EXPECT_EQ(functions[i].value == functions[j].value, close_pair)
                << functions[i].name << " and " << functions[j].name;
        }
    }
}

TEST(Registration, AttachFlagIsAnyNonzeroValue) {
    for (int32_t flag : {1, 2, -1}) {
        Provider provider(tolvane::host::default_provider_path(), true, false);
        const size_t first = host_call_count();
        EXPECT_EQ(provider.rib_main()(0, flag, 0, 0, 0), 1);
        const std::vector<BrokerCall> calls = calls_since(first);
        ASSERT_EQ(calls.size(), 11u) << "flag " << flag;
        EXPECT_EQ(provider.entries(INTERFACE_SAMPLE).size(), 0u) << "nothing resolved yet";
        provider.attach(flag);
        EXPECT_EQ(provider.entries(INTERFACE_FILTER).size(), 11u);
        EXPECT_EQ(provider.entries(INTERFACE_SAMPLE).size(), 35u);
    }
}

TEST(Registration, DetachBeforeAnyAttachUnregistersHandleZero) {
    Provider provider(tolvane::host::default_provider_path(), true, false);
    const size_t first = host_call_count();
    EXPECT_EQ(provider.rib_main()(7, 0, 1, 2, 3), 1);
    const std::vector<BrokerCall> calls = calls_since(first);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, BROKER_UNREGISTER);
    EXPECT_EQ(calls[0].handle, 0u);
    EXPECT_EQ(calls[0].interface_arg, 0u);
    EXPECT_EQ(calls[0].entry_count, 0);
    EXPECT_EQ(calls[0].entries_arg, 0u);
}

TEST(Registration, HandleZeroFromTheBrokerIsUsedUnchecked) {
    Provider provider(tolvane::host::default_provider_path(), true, false);
    host_force_next_handle(0);
    const size_t first = host_call_count();
    EXPECT_EQ(provider.rib_main()(0, 1, 0, 0, 0), 1);
    const std::vector<BrokerCall> calls = calls_since(first);
    ASSERT_EQ(calls.size(), 11u);
    for (const BrokerCall &call : calls) {
        EXPECT_EQ(call.handle, 0u);
    }
    provider.rib_main()(0, 0, 0, 0, 0);
}

TEST(Registration, ReattachReplacesTheHandleAndDetachWithdrawsOnlyTheLatest) {
    Provider provider(tolvane::host::default_provider_path(), true, false);
    const size_t first = host_call_count();
    provider.rib_main()(0, 1, 0, 0, 0);
    provider.rib_main()(0, 1, 0, 0, 0);
    provider.rib_main()(0, 0, 0, 0, 0);
    const std::vector<BrokerCall> calls = calls_since(first);
    ASSERT_EQ(calls.size(), 23u);
    const HPROVIDER first_handle = calls[0].handle;
    const HPROVIDER second_handle = calls[11].handle;
    EXPECT_EQ(calls[11].kind, BROKER_ALLOC);
    EXPECT_NE(first_handle, second_handle);
    EXPECT_EQ(calls[22].kind, BROKER_UNREGISTER);
    EXPECT_EQ(calls[22].handle, second_handle);
    // The first handle's interfaces were never withdrawn.
    EXPECT_EQ(host_entries(first_handle, INTERFACE_SAMPLE, nullptr, 0), 35u);
    EXPECT_EQ(host_entries(second_handle, INTERFACE_SAMPLE, nullptr, 0), 0u);
    // A second detach unregisters the same handle again.
    provider.rib_main()(0, 0, 0, 0, 0);
    BrokerCall last;
    host_call(host_call_count() - 1, &last);
    EXPECT_EQ(last.handle, second_handle);
}

TEST_F(Shell, ProviderPropertiesWriteTheirValues) {
    const int32_t sample_size = sizeof(void *) == 4 ? 448 : 456;
    const int32_t driver_size = sizeof(void *) == 4 ? 16 : 32;
    struct Case {
        int32_t token;
        int32_t value;
    } cases[] = {{0, 1}, {1, sample_size}, {2, driver_size}, {-101, 0x130}};
    for (const Case &c : cases) {
        int32_t slot[2] = {-7, -7};
        EXPECT_EQ(fn.provider_property(c.token, slot, nullptr, nullptr), 1) << c.token;
        EXPECT_EQ(slot[0], c.value) << c.token;
        EXPECT_EQ(slot[1], -7) << "token " << c.token << " writes 4 bytes";
    }
    const char *name = nullptr;
    EXPECT_EQ(fn.provider_property(-100, &name, nullptr, nullptr), 1);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "3 Zuvo Vezi Do");
}

TEST_F(Shell, ProviderPropertiesRefuseUnknownTokensAndNullSlots) {
    for (int32_t token : {3, -1, 4, 33, 34, -99, -102, 1000}) {
        int32_t slot = -7;
        EXPECT_EQ(fn.provider_property(token, &slot, nullptr, nullptr), 0) << token;
        EXPECT_EQ(slot, -7) << token;
    }
    for (int32_t token : {0, 1, 2, -100, -101}) {
        EXPECT_EQ(fn.provider_property(token, nullptr, nullptr, nullptr), 0) << token;
    }
}

TEST_F(Shell, StartupNestsAndReportsMisuse) {
    EXPECT_EQ(fn.error(), nullptr) << "nothing has failed yet";
    EXPECT_EQ(fn.startup(), RESULT_OK);
    EXPECT_EQ(fn.error(), nullptr);
    EXPECT_EQ(fn.startup(), RESULT_ALREADY_STARTED);
    ASSERT_NE(fn.error(), nullptr);
    EXPECT_EQ(std::memcmp(fn.error(), "Already started", 16), 0);
    EXPECT_EQ(fn.shutdown(), RESULT_OK);
    EXPECT_EQ(fn.shutdown(), RESULT_OK) << "the refused start-up still counted";
    EXPECT_STREQ(fn.error(), "Already started") << "success leaves the message";
    EXPECT_EQ(fn.shutdown(), RESULT_NOT_INITIALIZED);
    EXPECT_EQ(std::memcmp(fn.error(), "Not initialized", 16), 0);
    EXPECT_EQ(fn.shutdown(), RESULT_NOT_INITIALIZED) << "the count stays at zero";
    EXPECT_EQ(fn.startup(), RESULT_OK);
    EXPECT_EQ(fn.error(), nullptr) << "a first start-up empties the text";
}

TEST_F(Shell, ShutdownFirstThenStartupClearsTheMessage) {
    EXPECT_EQ(fn.shutdown(), RESULT_NOT_INITIALIZED);
    EXPECT_STREQ(fn.error(), "Not initialized");
    EXPECT_EQ(fn.startup(), RESULT_OK);
    EXPECT_EQ(fn.error(), nullptr);
    EXPECT_EQ(fn.shutdown(), RESULT_OK);
    EXPECT_EQ(fn.shutdown(), RESULT_NOT_INITIALIZED) << "one start-up, one shutdown";
}

TEST_F(Shell, ShorterMessageCarriesItsOwnTerminator) {
    fn.startup();
    fn.startup();
    EXPECT_EQ(fn.open_driver(1, 2, 3, nullptr, nullptr), nullptr);
    const char *text = fn.error();
    ASSERT_NE(text, nullptr);
    // "Out of memory" and its terminator over "Already started": the two bytes
    // behind stay as they were.
    EXPECT_EQ(std::memcmp(text, "Out of memory\0d\0", 16), 0);
    EXPECT_EQ(fn.shutdown(), RESULT_OK);
    EXPECT_STREQ(fn.error(), "Out of memory");
}

TEST_F(Shell, OpenDriverStoresItsArgumentsInFieldOrder) {
    fn.shutdown();  // leaves "Not initialized" to see that success keeps it
    const uintptr_t a = 0x11111111, b = 0x22222222, c = 0x33333333;
    unsigned char host_driver[32] = {};
    uintptr_t memory[5] = {9, 9, 9, 9, 0xfeedu};
    EXPECT_EQ(fn.open_driver(a, b, c, host_driver, memory), memory);
    EXPECT_EQ(memory[0], reinterpret_cast<uintptr_t>(host_driver));
    EXPECT_EQ(memory[1], a);
    EXPECT_EQ(memory[2], b);
    EXPECT_EQ(memory[3], c);
    EXPECT_EQ(memory[4], 0xfeedu) << "nothing written past the record";
    EXPECT_STREQ(fn.error(), "Not initialized");
    EXPECT_EQ(fn.close_driver(memory), 0);
    EXPECT_EQ(memory[1], a) << "closing changes nothing";
}

TEST_F(Shell, HooksDoNothing) {
    unsigned char bytes[16];
    std::memset(bytes, 0x5a, sizeof bytes);
    EXPECT_EQ(fn.close_driver(nullptr), 0);
    EXPECT_EQ(fn.close_sample(bytes), 0);
    fn.premix_process(bytes);
    EXPECT_EQ(fn.postmix_process(bytes, nullptr), 0);
    for (unsigned char byte : bytes) {
        EXPECT_EQ(byte, 0x5a);
    }
    EXPECT_EQ(fn.error(), nullptr);
}

}  // namespace
