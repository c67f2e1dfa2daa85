#include "wavfile/wav_repair.h"

#include "common/byte_order.h"
#include "output/wav_format.h"
#include "platform/file.h"
#include "platform/process.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fstream>
#include <string_view>
#include <system_error>
#include <vector>

namespace vaskel {

namespace {

constexpr std::size_t kCopyBytes = 4 << 20;
constexpr int kTemporaryNameTries = 100;
constexpr std::string_view kTemporaryMark = ".repair-";

// "<file>.repair-<process id>-<attempt>": no other process makes the same, and a later repair
// knows it again.
std::filesystem::path temporaryPath(const std::filesystem::path& path, int attempt) {
    std::filesystem::path temp = path;
    temp += std::string(kTemporaryMark) + std::to_string(platform::currentProcessId()) + "-" +
            std::to_string(attempt);
    return temp;
}

using NativeName = std::filesystem::path::string_type;

bool allDigits(const NativeName& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](auto c) { return c >= '0' && c <= '9'; });
}

// The name of the file a temporary named so was made for; empty for any other name, so a file
// of the user's named like one ("stream-0.wav.repaired.wav") is never taken for a leftover.
std::filesystem::path temporaryOwner(const NativeName& name) {
    const NativeName mark = std::filesystem::path(kTemporaryMark).native();
    const std::size_t at = name.rfind(mark);
    if (at == NativeName::npos || at == 0) {
        return {};
    }
    const NativeName unique = name.substr(at + mark.size());
    const std::size_t dash = unique.find('-');
    return dash != NativeName::npos && allDigits(unique.substr(0, dash)) &&
                   allDigits(unique.substr(dash + 1))
               ? std::filesystem::path(name.substr(0, at))
               : std::filesystem::path();
}

RepairOutcome failed(RepairOutcome outcome, std::string message) {
    outcome.action = RepairAction::Failed;
    outcome.message = std::move(message);
    return outcome;
}

RepairOutcome untouched(RepairOutcome outcome, RepairAction action, std::string message) {
    outcome.action = action;
    outcome.message = std::move(message);
    return outcome;
}

bool writeAt(std::fstream& file, std::uint64_t at, std::uint64_t value, std::size_t bytes) {
    std::array<std::uint8_t, 8> field{};
    storeLittleEndian(std::span(field).first(bytes), value);
    file.seekp(static_cast<std::streamoff>(at));
    file.write(reinterpret_cast<const char*>(field.data()), static_cast<std::streamsize>(bytes));
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

// Copies the whole frames behind an RF64 header into `out`, new and empty. Runs of zero bytes
// are skipped by moving the position, so holes of a sparse original stay holes. A short read of
// the original fails with platform::Error::ShortRead.
std::error_code writeRf64Copy(const std::filesystem::path& path, platform::NewFile& out,
                              const WavLayout& layout, const RepairOptions& options) {
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) {
        return {errno != 0 ? errno : EIO, std::generic_category()};
    }
    const std::uint64_t total = layout.wholeFrameBytes();
    const auto header = makeRf64Header(layout.sampleRate, layout.channels, total);
    if (const std::error_code error = out.write(header.data(), header.size())) {
        return error;
    }
    in.seekg(static_cast<std::streamoff>(layout.dataOffset));
    std::vector<std::uint8_t> buffer(kCopyBytes);
    for (std::uint64_t done = 0; done < total;) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), total - done));
        in.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(want));
        if (static_cast<std::size_t>(in.gcount()) != want) {
            return platform::Error::ShortRead;
        }
        const std::error_code error =
            allZero(buffer.data(), want) ? out.skip(want) : out.write(buffer.data(), want);
        if (error) {
            return error;
        }
        done += want;
        if (options.progress) {
            options.progress(done, total);
        }
    }
    // A skipped run of zeros at the end leaves the file short of its length.
    return out.setSize(header.size() + total);
}

// A new file beside `path`, made exclusively under a name no one else uses and kept open: all
// writing goes through that handle, never through the name someone else could replace.
std::error_code createTemporary(const std::filesystem::path& path, std::filesystem::path& temp,
                                platform::NewFile& file) {
    std::error_code error;
    for (int attempt = 0; attempt < kTemporaryNameTries; ++attempt) {
        temp = temporaryPath(path, attempt);
        error = file.create(temp);
        if (error != std::errc::file_exists) {
            return error;
        }
    }
    return error;
}

// Beyond the 32-bit sizes the samples must move behind a longer header. They go to a new file
// that replaces the original only once complete, with the original's owner, mode and time, and
// on disk, so a crash or a full disk meanwhile leaves the original as it was.
RepairOutcome repairAsRf64(const std::filesystem::path& path, RepairOutcome outcome,
                           const platform::FileAttributes& attributes,
                           const RepairOptions& options) {
    std::filesystem::path temp;
    platform::NewFile out;
    if (const std::error_code error = createTemporary(path, temp, out)) {
        return failed(outcome, "the RF64 copy could not be created beside it: " + error.message());
    }
    // The copy is closed, then removed, whatever step it failed at.
    const auto abandon = [&](const std::string& why) {
        static_cast<void>(out.close());
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        return failed(outcome, "the RF64 copy could not be written beside it: " + why);
    };
    if (const std::error_code error = writeRf64Copy(path, out, outcome.before, options)) {
        return abandon(error == platform::Error::ShortRead
                           ? "the original could not be read to its end"
                           : error.message());
    }
    if (out.applyAttributes(attributes)) {
        return abandon("the original's owner, mode and time could not be given to it");
    }
    if (out.sync()) {
        return abandon("it could not be flushed to disk");
    }
    if (const std::error_code error = out.close()) {
        return abandon(error.message());
    }
    if (platform::replaceFileWriteThrough(temp, path)) {
        return abandon("it could not replace the original");
    }
    outcome.action = RepairAction::Rf64;
    return outcome;
}

// A link in the stream file's place, or a file with other names, is not this repair's to
// change: replacing it would split the names, rewriting it would change what they name.
std::error_code standsAlone(const std::filesystem::path& path) {
    std::error_code error;
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(path, error))) {
        return platform::Error::SymbolicLink;
    }
    const auto links = std::filesystem::hard_link_count(path, error);
    return !error && links > 1 ? platform::Error::HasOtherLinks : std::error_code();
}

// Why a file that does not stand alone is left untouched, in words.
std::string linkRefusal(const std::filesystem::path& path, const std::error_code& linked) {
    if (linked == platform::Error::SymbolicLink) {
        return "it is a symbolic link; repair the file it points to by its own name";
    }
    std::error_code error;
    return "it has " + std::to_string(std::filesystem::hard_link_count(path, error)) +
           " hard links; a repair would change the file under every name";
}

// Under the stream file's lock, so no capture or other repair can be using them (a list found
// before the lock holds at most names that are gone by now).
void removeLeftovers(const std::filesystem::path& path, const RepairOptions& options,
                     RepairOutcome& outcome) {
    for (const auto& temp :
         options.leftovers ? *options.leftovers : leftoverRepairTemporaries(path)) {
        std::error_code error;
        if (std::filesystem::remove(temp, error)) {
            outcome.removedTemporaries.push_back(temp);
        }
    }
}

} // namespace

std::vector<std::filesystem::path> leftoverRepairTemporaries(const std::filesystem::path& path) {
    auto all = leftoverRepairTemporariesIn(path.has_parent_path() ? path.parent_path()
                                                                  : std::filesystem::path("."));
    return std::move(all[path.filename()]);
}

std::map<std::filesystem::path, std::vector<std::filesystem::path>>
leftoverRepairTemporariesIn(const std::filesystem::path& directory) {
    std::map<std::filesystem::path, std::vector<std::filesystem::path>> found;
    std::error_code error;
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        const std::filesystem::path owner = temporaryOwner(it->path().filename().native());
        std::error_code unreadable; // one entry gone meanwhile ends no listing
        if (!owner.empty() &&
            it->symlink_status(unreadable).type() == std::filesystem::file_type::regular) {
            found[owner].push_back(it->path());
        }
    }
    for (auto& [owner, temporaries] : found) {
        std::sort(temporaries.begin(), temporaries.end());
    }
    return found;
}

RepairOutcome repairStreamFile(const std::filesystem::path& path, const RepairOptions& options) {
    RepairOutcome outcome;
    if (const std::error_code linked = standsAlone(path)) {
        return untouched(outcome, RepairAction::Refused, linkRefusal(path, linked));
    }
    // Held to the end: a capture cannot start on the file meanwhile, nor another repair. A file
    // that cannot be opened fails below, when it is read.
    platform::FileLock lock;
    if (lock.acquire(path, false) == platform::Error::LockBusy) {
        return untouched(outcome, RepairAction::BeingWritten,
                         "a capture is still writing it; repair it once the capture has ended");
    }
    removeLeftovers(path, options, outcome);
    const platform::ErrorOr<WavLayout> head = readStreamHead(path);
    if (!head) {
        return failed(outcome, "cannot be read");
    }
    outcome.before = *head;
    const platform::ErrorOr<platform::FileAttributes> attributes =
        platform::readFileAttributes(path);
    if (!attributes) {
        return failed(outcome, "cannot be read");
    }
    const WavLayout& layout = outcome.before;
    if (layout.state == HeaderState::Finalised && layout.partialFrameBytes == 0) {
        outcome.action = RepairAction::LeftFinalised;
        return outcome;
    }
    if (layout.state == HeaderState::Unrecognised) {
        return untouched(outcome, RepairAction::Refused, layout.reason);
    }
    if (!layout.rf64 && !fitsRiffLimit(layout.wholeFrameBytes())) {
        return repairAsRf64(path, outcome, *attributes, options);
    }
    outcome = repairInPlace(path, outcome);
    // The repair changes no sample: the file keeps the time its audio was written (best effort,
    // the samples are readable either way).
    static_cast<void>(platform::applyFileAttributes(path, *attributes));
    return outcome;
}

} // namespace vaskel
