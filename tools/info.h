// `tolvane info`: what a provider file registers, as a host sees it. Nothing
// here needs more than the stand-in host, so the Windows builds make the same
// listing as tolvane-info.exe.
#pragma once

#include <string>

namespace tolvane::tools {

// Loads and attaches the provider and prints its attributes, record sizes,
// interfaces and entries to standard output. Throws ToolError if the file
// cannot be loaded as a provider.
void print_info(const std::string &provider_path);

// The build a Windows file is for, from its PE header: "win32" (x86) or
// "win64" (x86-64); "" for a file that is not a Windows program. Throws
// ToolError for a Windows file that none of the builds could load.
std::string windows_build(const std::string &path);

// For a Windows DLL of `build`: runs that build's tolvane-info.exe, found
// beside this program's build folder, on it under Wine, and returns its exit
// status. Throws ToolError saying what is missing if it cannot. Native only.
int print_windows_info(const std::string &path, const std::string &build);

}  // namespace tolvane::tools
