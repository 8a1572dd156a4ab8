// `tolvane synth`: a short music-like test signal (pads, bass, a plucked
// arpeggio, drums and noise bursts), made here so demos need no downloads.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace tolvane::tools {

// `seconds` of the signal at `rate`, interleaved stereo.
std::vector<int16_t> demo_signal(double seconds, int rate);

// Writes `seconds` of stereo 16-bit WAV at `rate`, peaking at -6 dBFS so that
// boosts have headroom. The same arguments always give the same file.
void write_demo_signal(const std::filesystem::path &path, double seconds, int rate, bool force);

}  // namespace tolvane::tools
