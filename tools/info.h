// `tolvane info`: what a provider file registers, as a host sees it.
#pragma once

#include <string>

namespace tolvane::tools {

// Loads and attaches the provider and prints its attributes, record sizes,
// interfaces and entries to standard output. Throws ToolError if the file
// cannot be loaded as a provider.
void print_info(const std::string &provider_path);

}  // namespace tolvane::tools
