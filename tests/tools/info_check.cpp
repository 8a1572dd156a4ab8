#include "tests/tools/info_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <utility>
#include <vector>

namespace tolvane::tools_test {

void expect_listing(const std::string &listing, const host::Provider &provider,
                    int32_t sample_size, int32_t driver_size) {
    const char *name = nullptr;
    provider.fn().provider_property(TOKEN_NAME, &name, nullptr, nullptr);
    ASSERT_NE(name, nullptr);
    EXPECT_NE(listing.find("name      " + std::string(name) + "\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("records   sample state " + std::to_string(sample_size) +
                           " bytes, driver " + std::to_string(driver_size) + " bytes\n"),
              std::string::npos)
        << listing;

    const std::pair<uint32_t, const char *> types[] = {
        {SUBTYPE_FLOAT, "float"},
        {SUBTYPE_INTEGER, "integer"},
        {SUBTYPE_BOOLEAN, "boolean"},
        {SUBTYPE_PROVIDER_INTEGER, "provider integer"},
        {SUBTYPE_PROVIDER_TEXT, "provider text"}};
    for (const char *interface_name : {INTERFACE_FILTER, INTERFACE_SAMPLE}) {
        const auto entries = provider.entries(interface_name);
        EXPECT_NE(listing.find("interface \"" + std::string(interface_name) + "\": " +
                               std::to_string(entries.size()) + " entries\n"),
                  std::string::npos)
            << listing;
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
            EXPECT_NE(listing.find(line), std::string::npos) << line;
        }
    }
}

}  // namespace tolvane::tools_test
