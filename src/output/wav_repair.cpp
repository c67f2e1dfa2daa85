#include "output/wav_repair.h"

#include "output/wav_format.h"
#include "platform/platform.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>
#include <vector>

namespace vaskel {

namespace {

constexpr std::size_t kCopyBytes = 4 << 20;

RepairOutcome failed(RepairOutcome outcome, std::string message) {
    outcome.action = RepairAction::Failed;
    outcome.message = std::move(message);
    return outcome;
}

bool writeAt(std::fstream& file, std::uint64_t at, std::uint64_t value, int bytes) {
    std::uint8_t field[8];
    putLittleEndian(field, value, bytes);
    file.seekp(static_cast<std::streamoff>(at));
    file.write(reinterpret_cast<const char*>(field), bytes);
    return file.good();
}

// Only the size fields change; a partial trailing frame is then cut off.
RepairOutcome repairInPlace(const std::filesystem::path& path, RepairOutcome outcome) {
    const WavLayout& layout = outcome.before;
    const std::uint64_t data = layout.wholeFrameBytes();
    {
        std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
        if (!file.is_open()) {
            return failed(outcome, "cannot be opened for writing");
        }
        const bool written = layout.rf64
                                 ? writeAt(file, kRf64RiffSizeAt, data + kRf64HeaderSize - 8, 8) &&
                                       writeAt(file, kRf64DataSizeAt, data, 8) &&
                                       writeAt(file, kRf64SampleCountAt, layout.frames, 8)
                                 : writeAt(file, kWavRiffSizeAt, riffSize(data), 4) &&
                                       writeAt(file, kWavDataSizeAt, data, 4);
        file.flush();
        if (!written || !file.good()) {
            return failed(outcome, "its header could not be written");
        }
    }
    if (layout.partialFrameBytes != 0) {
        std::error_code error;
        std::filesystem::resize_file(path, layout.dataOffset + data, error);
        if (error) {
            return failed(outcome, "its partial trailing frame could not be cut off");
        }
    }
    outcome.action = RepairAction::InPlace;
    return outcome;
}

bool allZero(const std::uint8_t* data, std::size_t bytes) {
    return std::all_of(data, data + bytes, [](std::uint8_t byte) { return byte == 0; });
}

// Copies the whole frames behind an RF64 header into `temp`. Runs of zero bytes are skipped
// with a seek, so holes of a sparse original stay holes.
bool writeRf64Copy(const std::filesystem::path& path, const std::filesystem::path& temp,
                   const WavLayout& layout, const RepairOptions& options) {
    std::ifstream in(path, std::ios::binary);
    std::ofstream out(temp, std::ios::binary | std::ios::out | std::ios::trunc);
    if (!in.is_open() || !out.is_open()) {
        return false;
    }
    const std::uint64_t total = layout.wholeFrameBytes();
    const auto header = makeRf64Header(layout.sampleRate, layout.channels, total);
    out.write(reinterpret_cast<const char*>(header.data()),
              static_cast<std::streamsize>(header.size()));
    in.seekg(static_cast<std::streamoff>(layout.dataOffset));
    std::vector<std::uint8_t> buffer(kCopyBytes);
    std::uint64_t done = 0;
    while (done < total && out.good()) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), total - done));
        in.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(want));
        if (static_cast<std::size_t>(in.gcount()) != want) {
            return false;
        }
        if (allZero(buffer.data(), want)) {
            out.seekp(static_cast<std::streamoff>(want), std::ios::cur);
        } else {
            out.write(reinterpret_cast<const char*>(buffer.data()),
                      static_cast<std::streamsize>(want));
        }
        done += want;
        if (options.testCrashAfterBytes != 0 && done >= options.testCrashAfterBytes) {
            out.flush();
            std::_Exit(3);
        }
        if (options.progress) {
            options.progress(done, total);
        }
    }
    out.flush();
    if (!out.good()) {
        return false;
    }
    out.close();
    // A skipped run of zeros at the end leaves the file short of its length.
    std::error_code error;
    std::filesystem::resize_file(temp, header.size() + total, error);
    return !error && platform::flushFileToDisk(temp);
}

} // namespace

std::filesystem::path repairTempPath(const std::filesystem::path& path) {
    std::filesystem::path temp = path;
    temp += ".repair";
    return temp;
}

RepairOutcome repairStreamFile(const std::filesystem::path& path, const RepairOptions& options) {
    RepairOutcome outcome;
    if (!readStreamHead(path, outcome.before)) {
        return failed(outcome, "cannot be read");
    }
    const WavLayout& layout = outcome.before;
    if (layout.state == HeaderState::Finalised) {
        outcome.action = RepairAction::LeftFinalised;
        return outcome;
    }
    if (layout.state == HeaderState::Unrecognised) {
        outcome.action = RepairAction::Refused;
        outcome.message = layout.reason;
        return outcome;
    }
    std::error_code error;
    const auto modified = std::filesystem::last_write_time(path, error);
    if (error) {
        return failed(outcome, "cannot be read");
    }
    if (layout.rf64 || fitsRiffLimit(layout.wholeFrameBytes())) {
        outcome = repairInPlace(path, outcome);
        // The repair changes no sample: the file keeps the time its audio was written.
        std::filesystem::last_write_time(path, modified, error);
        return outcome;
    }

    // Beyond the 32-bit sizes the samples must move behind a longer header. They go to a new
    // file that replaces the original only once complete and on disk, so a crash or a full
    // disk meanwhile leaves the original as it was.
    const std::filesystem::path temp = repairTempPath(path);
    if (!writeRf64Copy(path, temp, layout, options)) {
        std::filesystem::remove(temp, error);
        return failed(outcome, "the RF64 copy could not be written beside it (is there room "
                               "for a second copy?)");
    }
    std::filesystem::permissions(temp, std::filesystem::status(path, error).permissions(), error);
    std::filesystem::last_write_time(temp, modified, error);
    if (!platform::replaceFileWriteThrough(temp, path)) {
        std::filesystem::remove(temp, error);
        return failed(outcome, "the RF64 copy could not replace it");
    }
    outcome.action = RepairAction::Rf64;
    return outcome;
}

} // namespace vaskel
