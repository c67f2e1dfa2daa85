// Checks a finished capture against the signal that was published: every stream file's header
// and sample bytes, and the final progress file.
#pragma once

#include "tools/producer/producer_options.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace vaskel::producer_tool {

struct FileVerdict {
    std::string name; // "stream-3.wav", "render-progress.json"
    bool ok = false;
    std::string detail; // what matched, or the first difference found
};

struct VerifyReport {
    std::vector<FileVerdict> streams;
    FileVerdict progress;
    bool ok() const;
};

// The 44 header bytes a completed stream file must start with, built here independently of the
// renderer's own writer.
std::array<unsigned char, 44> expectedWavHeader(std::uint32_t sampleRate, std::uint32_t channels,
                                                std::uint64_t dataBytes);

// The exact content of render-progress.json after a completed capture of `signal`.
std::string expectedProgress(const SignalSettings& signal);

VerifyReport verifyCapture(const std::filesystem::path& root, const SignalSettings& signal);

// One line per file, then a closing "verify: ..." line.
void printReport(const VerifyReport& report, std::ostream& out);

} // namespace vaskel::producer_tool
