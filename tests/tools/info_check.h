// What `tolvane info` and tolvane-info.exe must print for a provider, checked
// line by line against what the provider registered with this process.
#pragma once

#include <cstdint>
#include <string>

#include "host/provider_host.h"

namespace tolvane::tools_test {

// `listing` names the provider, gives record sizes of `sample_size` and
// `driver_size` bytes, and lists both interfaces of `provider` entry by entry,
// with each property's token and type.
void expect_listing(const std::string &listing, const host::Provider &provider,
                    int32_t sample_size, int32_t driver_size);

}  // namespace tolvane::tools_test
