// vaskel_wav: reads stream files back (check) and makes those of a stopped capture readable
// (repair). The command line and the report texts; the WAV knowledge is in src/wavfile.
#pragma once

#include "platform/text.h"
#include "wavfile/wav_repair.h"

#include <ostream>
#include <vector>

namespace vaskel::wav_tool {

inline constexpr int kExitOk = 0;
inline constexpr int kExitAttention = 1;
// A bad command line, a path that cannot be read, or a report that could not be written.
inline constexpr int kExitTrouble = 2;

struct ToolSettings {
    // Draw a progress bar on `err` for a file that takes longer than a second.
    bool progressBar = false;
};

// `arguments` are the words after the program name; returns the exit code.
int wavToolMain(const std::vector<platform::NativeString>& arguments, std::ostream& out,
                std::ostream& err, const ToolSettings& settings = {});

} // namespace vaskel::wav_tool
