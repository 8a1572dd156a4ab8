// A failure the user can act on: the message says what and where, and the
// program stops with it.
#pragma once

#include <stdexcept>

namespace tolvane::tools {

struct ToolError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace tolvane::tools
