#include "tools/info.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "host/provider_host.h"
#include "tools/tool_error.h"

namespace tolvane::tools {

namespace {

std::string subtype_name(uint32_t subtype) {
    switch (subtype) {
    case SUBTYPE_INTEGER:
        return "integer";
    case SUBTYPE_FLOAT:
        return "float";
    case SUBTYPE_BOOLEAN:
        return "boolean";
    case SUBTYPE_PROVIDER_INTEGER:
        return "provider integer";
    case SUBTYPE_PROVIDER_TEXT:
        return "provider text";
    default: {
        char text[32];
        std::snprintf(text, sizeof text, "subtype 0x%x", subtype);
        return text;
    }
    }
}

void print_interface(const host::Provider &provider, const char *name) {
    const std::vector<InterfaceEntry> entries = provider.entries(name);
    std::printf("\ninterface \"%s\": %zu entries\n", name, entries.size());
    for (const InterfaceEntry &entry : entries) {
        if (entry.kind == ENTRY_FUNCTION) {
            std::printf("  function  %s\n", entry.name);
        } else {
            std::printf("  property  %-20s token %4ld  %s\n", entry.name,
                        static_cast<long>(entry.value), subtype_name(entry.subtype).c_str());
        }
    }
}

#ifdef _WIN32
// The version resource Windows shows in the file's properties, read back with
// the Windows API, as "FileVersion 1.3.0.0, ProductName tolvane, ...".
std::string version_resource(const std::string &path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    std::vector<char> data(size);
    if (size == 0 || !GetFileVersionInfoA(path.c_str(), 0, size, data.data())) {
        return "none";
    }
    std::string text;
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    if (VerQueryValueA(data.data(), "\\", reinterpret_cast<void **>(&fixed), &length) &&
        fixed != nullptr) {
        char numbers[64];
        std::snprintf(numbers, sizeof numbers, "FileVersion %lu.%lu.%lu.%lu",
                      fixed->dwFileVersionMS >> 16, fixed->dwFileVersionMS & 0xffff,
                      fixed->dwFileVersionLS >> 16, fixed->dwFileVersionLS & 0xffff);
        text = numbers;
    }
    for (const char *key : {"ProductName", "ProductVersion", "FileDescription", "OriginalFilename"}) {
        char *value = nullptr;
        const std::string query = std::string("\\StringFileInfo\\040904b0\\") + key;
        if (VerQueryValueA(data.data(), query.c_str(), reinterpret_cast<void **>(&value), &length) &&
            value != nullptr) {
            text += (text.empty() ? "" : ", ") + std::string(key) + " " + value;
        }
    }
    return text;
}
#endif

}  // namespace

std::string windows_build(const std::string &path) {
    // A DOS header ("MZ", the PE header's offset at 0x3c), then "PE\0\0" and
    // the machine the code is for.
    unsigned char dos[64] = {};
    std::ifstream file(path, std::ios::binary);
    file.read(reinterpret_cast<char *>(dos), sizeof dos);
    if (file.gcount() < 2 || dos[0] != 'M' || dos[1] != 'Z') {
        return "";
    }
    unsigned char pe[6] = {};
    const uint32_t offset = static_cast<uint32_t>(dos[0x3c] | dos[0x3d] << 8 | dos[0x3e] << 16) |
                            static_cast<uint32_t>(dos[0x3f]) << 24;
    file.clear();
    file.seekg(offset);
    file.read(reinterpret_cast<char *>(pe), sizeof pe);
    if (file.gcount() < static_cast<std::streamsize>(sizeof pe) ||
        std::memcmp(pe, "PE\0\0", 4) != 0) {
        throw ToolError(path + ": starts as a Windows program does, but has no PE header");
    }
    const unsigned machine = pe[4] | pe[5] << 8;
    if (machine == 0x14c) {
        return "win32";
    }
    if (machine == 0x8664) {
        return "win64";
    }
    char text[160];
    std::snprintf(text, sizeof text,
                  ": a Windows program for machine 0x%x; the Windows builds are for x86 "
                  "(0x14c) and x86-64 (0x8664)",
                  machine);
    throw ToolError(path + text);
}

void print_info(const std::string &path) {
    const size_t first_call = host_call_count();
    const host::Provider provider(path);
    const auto &fn = provider.fn();

    // The interfaces as the attach registered them, in the order of its calls.
    std::vector<std::string> interfaces;
    size_t calls = 0;
    for (size_t i = first_call; i < host_call_count(); ++i) {
        BrokerCall call;
        if (host_call(i, &call) && call.kind == BROKER_REGISTER &&
            call.handle == provider.handle()) {
            ++calls;
            if (std::find(interfaces.begin(), interfaces.end(), call.interface_name) ==
                interfaces.end()) {
                interfaces.emplace_back(call.interface_name);
            }
        }
    }

    const char *name = nullptr;
    int32_t version = 0, flags = 0;
    fn.provider_property(TOKEN_NAME, &name, nullptr, nullptr);
    fn.provider_property(TOKEN_VERSION, &version, nullptr, nullptr);
    fn.provider_property(TOKEN_FLAGS, &flags, nullptr, nullptr);

    std::printf("provider  %s\n", provider.path().c_str());
    std::printf("name      %s\n", name != nullptr ? name : "(none)");
    std::printf("version   0x%x (%d)\n", static_cast<unsigned>(version), version);
#ifdef _WIN32
    std::printf("resource  %s\n", version_resource(provider.path()).c_str());
#endif
    std::printf("flags     %d\n", flags);
    std::printf("records   sample state %d bytes, driver %d bytes\n",
                provider.sample_state_size(), provider.driver_state_size());
    std::printf("attach    %zu registration calls\n", calls);
    for (const std::string &interface_name : interfaces) {
        print_interface(provider, interface_name.c_str());
    }
}

}  // namespace tolvane::tools
