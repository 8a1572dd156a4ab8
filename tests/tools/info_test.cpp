// `tolvane info` lists what the provider registers, as the broker saw it.
#include "host/provider_host.h"
#include "tests/tools/tool_fixture.h"

namespace tolvane::tools_test {
namespace {

using Info = ToolTest;

TEST_F(Info, ListsEveryEntryWithTokensTypesAndRecordSizes) {
    const ToolRun run = tolvane({"info"});
    ASSERT_EQ(run.status, 0) << run.err;

    host::Provider provider;
    const char *name = nullptr;
    provider.fn().provider_property(TOKEN_NAME, &name, nullptr, nullptr);
    EXPECT_NE(run.out.find("name      " + std::string(name) + "\n"), std::string::npos);
    EXPECT_NE(run.out.find("records   sample state " + std::to_string(provider.sample_state_size()) +
                           " bytes, driver " + std::to_string(provider.driver_state_size()) +
                           " bytes\n"),
              std::string::npos)
        << run.out;

    const std::pair<uint32_t, const char *> types[] = {
        {SUBTYPE_FLOAT, "float"},
        {SUBTYPE_INTEGER, "integer"},
        {SUBTYPE_BOOLEAN, "boolean"},
        {SUBTYPE_PROVIDER_INTEGER, "provider integer"},
        {SUBTYPE_PROVIDER_TEXT, "provider text"}};
    for (const char *interface_name : {INTERFACE_FILTER, INTERFACE_SAMPLE}) {
        const auto entries = provider.entries(interface_name);
        EXPECT_NE(run.out.find("interface \"" + std::string(interface_name) + "\": " +
                               std::to_string(entries.size()) + " entries\n"),
                  std::string::npos);
        for (const InterfaceEntry &entry : entries) {
            std::string line;
            if (entry.kind == ENTRY_FUNCTION) {
                line = "  function  " + std::string(entry.name) + "\n";
            } else {
                char text[128];
                const auto type = std::find_if(std::begin(types), std::end(types),
                                               [&](auto t) { return t.first == entry.subtype; });
                ASSERT_NE(type, std::end(types)) << entry.name;
                std::snprintf(text, sizeof text, "  property  %-20s token %4ld  %s\n",
                              entry.name, static_cast<long>(entry.value), type->second);
                line = text;
            }
            EXPECT_NE(run.out.find(line), std::string::npos) << line;
        }
    }
}

}  // namespace
}  // namespace tolvane::tools_test
