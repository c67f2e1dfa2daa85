// vaskel_wav export: the float stream files of a capture converted, through libsndfile, into the
// formats editors and listeners want (16/24/32-bit PCM WAV, float WAV, FLAC), one file per stream
// or one multichannel file per take. The capture itself is only read.
#pragma once

#include "platform/text.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace vaskel::wav_tool {

enum class ExportFormat { Wav16, Wav24, Wav32, Float, Flac };

struct ExportFormatInfo {
    ExportFormat format;
    std::string_view name;      // as --format takes it
    std::string_view extension; // of the files written, with its dot
    std::uint32_t bits;         // of an integer sample; 0 for float
    bool dither;                // TPDF dither before rounding
    std::string_view described; // for the report
};

// The format --format names; nothing for any other word.
const ExportFormatInfo* exportFormatNamed(std::string_view name);

// Float samples to integers of `bits` (16, 24 or 32), left-aligned in 32 bits as libsndfile takes
// them. Rounds to the nearest step, after triangular (TPDF) dither of +-1 step when asked; a value
// beyond the format's range is clipped and counted, a NaN written as 0 and counted. The dither is
// seeded, so one export of the same capture always writes the same bytes.
class Quantiser {
public:
    Quantiser(std::uint32_t bits, bool dither, std::uint64_t seed);
    std::int32_t operator()(float sample);
    std::uint64_t clipped() const { return clipped_; }
    std::uint64_t notANumber() const { return notANumber_; }

private:
    double nextDither();

    std::uint32_t shift_;
    double scale_;
    double highest_;
    double lowest_;
    bool dither_;
    std::uint64_t state_;
    std::uint64_t clipped_ = 0;
    std::uint64_t notANumber_ = 0;
};

// False when this vaskel_wav was built without libsndfile: export then refuses to run.
bool exportAvailable();

// `arguments` are the words after "export"; `say` takes each piece of the report for standard
// output. Returns the exit code.
int runExport(const std::vector<platform::NativeString>& arguments,
              const std::function<void(const std::string&)>& say, std::ostream& err);

} // namespace vaskel::wav_tool
