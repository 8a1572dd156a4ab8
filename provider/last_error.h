// The provider-wide last-error text that the host reads through FLT_error.
#pragma once

#include <cstddef>

namespace tolvane {

inline constexpr char MSG_ALREADY_STARTED[] = "Already started";
inline constexpr char MSG_NOT_INITIALIZED[] = "Not initialized";
inline constexpr char MSG_OUT_OF_MEMORY[] = "Out of memory";

// Copies the message with its terminator over the start of the text; the bytes
// behind the terminator stay as they were.
void report_failure(const char *message, std::size_t bytes_with_terminator);

template <std::size_t N>
inline void report_failure(const char (&message)[N]) { report_failure(message, N); }

}  // namespace tolvane
