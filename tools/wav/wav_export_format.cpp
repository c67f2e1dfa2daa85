// The export formats and the conversion of float samples to integers: the part of export that
// needs no libsndfile.
#include "tools/wav/wav_export.h"

#include <cmath>
#include <iterator>

namespace vaskel::wav_tool {

namespace {

// 16 bits get TPDF dither: their step (-96 dBFS) is loud enough for plain rounding to turn quiet
// fades into distortion that follows the signal. At 24 and 32 bits a step lies at or below
// -144 dBFS, beneath the noise of any converter, so dither would only add noise: plain rounding.
constexpr ExportFormatInfo kFormats[] = {
    {ExportFormat::Wav16, "wav16", ".wav", 16, true, "16-bit PCM WAV, TPDF dither"},
    {ExportFormat::Wav24, "wav24", ".wav", 24, false, "24-bit PCM WAV, rounded"},
    {ExportFormat::Wav32, "wav32", ".wav", 32, false, "32-bit PCM WAV, rounded"},
    {ExportFormat::Float, "float", ".wav", 0, false, "32-bit float WAV, samples unchanged"},
    {ExportFormat::Flac, "flac", ".flac", 24, false, "24-bit FLAC, rounded"},
};

} // namespace

const ExportFormatInfo* exportFormatNamed(std::string_view name) {
    for (const ExportFormatInfo& info : kFormats) {
        if (info.name == name) {
            return &info;
        }
    }
    return nullptr;
}

Quantiser::Quantiser(std::uint32_t bits, bool dither, std::uint64_t seed)
    : shift_(32 - bits), scale_(std::ldexp(1.0, static_cast<int>(bits) - 1)), highest_(scale_ - 1),
      lowest_(-scale_), dither_(dither), state_(seed ^ 0x9E3779B97F4A7C15ull) {}

// splitmix64: cheap, and the same sequence on every platform.
double Quantiser::nextDither() {
    const auto uniform = [this] {
        state_ += 0x9E3779B97F4A7C15ull;
        std::uint64_t z = state_;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        return static_cast<double>(z >> 11) * 0x1.0p-53;
    };
    // The sum of two uniform values: triangular over (-1, 1) steps.
    return uniform() - uniform();
}

std::int32_t Quantiser::operator()(float sample) {
    if (std::isnan(sample)) {
        ++notANumber_;
        return 0;
    }
    double value = static_cast<double>(sample) * scale_;
    if (dither_) {
        value += nextDither();
    }
    value = std::nearbyint(value);
    if (value > highest_) {
        ++clipped_;
        value = highest_;
    } else if (value < lowest_) {
        ++clipped_;
        value = lowest_;
    }
    // Left-aligned: libsndfile keeps the top bits of an int for a narrower format.
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::int64_t>(value))
                                     << shift_);
}

} // namespace vaskel::wav_tool
