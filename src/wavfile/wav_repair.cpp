#include "wavfile/wav_repair.h"

#include "common/byte_order.h"
#include "output/wav_format.h"
#include "platform/file.h"
#include "platform/process.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

namespace vaskel {

namespace {

constexpr std::size_t kCopyBytes = 4 << 20;
constexpr int kTemporaryNameTries = 100;
constexpr std::string_view kTemporaryMark = ".repair-";

// "<file>.repair-<process id>-<attempt>": no other process makes the same, and a later repair
// knows it again. A single name, made in the file's own directory.
std::filesystem::path temporaryName(const std::filesystem::path& name, int attempt) {
    std::filesystem::path temp = name;
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

std::error_code writeField(platform::File& file, std::uint64_t at, std::uint64_t value,
                           std::size_t bytes) {
    std::array<std::uint8_t, 8> field{};
    storeLittleEndian(std::span(field).first(bytes), value);
    return file.writeAt(at, field.data(), bytes);
}

// Only the size fields change; a partial trailing frame is then cut off.
RepairOutcome repairInPlace(platform::File& file, RepairOutcome outcome) {
    const WavLayout& layout = outcome.before;
    const std::uint64_t data = layout.wholeFrameBytes();
    const bool written = layout.rf64
                             ? !writeField(file, kRf64RiffSizeAt, data + kRf64HeaderSize - 8, 8) &&
                                   !writeField(file, kRf64DataSizeAt, data, 8) &&
                                   !writeField(file, kRf64SampleCountAt, layout.frames, 8)
                             : !writeField(file, kWavRiffSizeAt, riffSize(data), 4) &&
                                   !writeField(file, kWavDataSizeAt, data, 4);
    if (!written) {
        return failed(outcome, "its header could not be written");
    }
    if (layout.partialFrameBytes != 0 && file.setSize(layout.dataOffset + data)) {
        return failed(outcome, "its partial trailing frame could not be cut off");
    }
    outcome.action = RepairAction::InPlace;
    return outcome;
}

bool allZero(const std::uint8_t* data, std::size_t bytes) {
    return std::all_of(data, data + bytes, [](std::uint8_t byte) { return byte == 0; });
}

// Copies the whole frames behind an RF64 header into `out`, new and empty. The holes of a sparse
// original are passed over without reading them, and so are runs of zero bytes where the file
// system keeps no holes: both stay holes in the copy. An original that ends before its last
// frame, or shrinks while it is copied, fails with platform::Error::ShortRead rather than
// putting anything but its own bytes into the copy.
std::error_code writeRf64Copy(const platform::File& in, platform::NewFile& out,
                              const WavLayout& layout, const RepairOptions& options) {
    const std::uint64_t total = layout.wholeFrameBytes();
    const auto header = makeRf64Header(layout.sampleRate, layout.channels, total);
    if (const std::error_code error = out.write(header.data(), header.size())) {
        return error;
    }
    const std::uint64_t start = layout.dataOffset;
    std::vector<std::uint8_t> buffer(kCopyBytes);
    const auto moved = [&](std::uint64_t done) {
        if (options.progress) {
            options.progress(done, total);
        }
    };
    for (std::uint64_t done = 0; done < total;) {
        const platform::ErrorOr<std::uint64_t> data = in.nextData(start + done);
        if (!data) {
            return data.error();
        }
        if (*data < start + done) {
            return platform::Error::ShortRead;
        }
        if (*data > start + done) {
            const std::uint64_t hole = std::min(*data - start, total) - done;
            if (const std::error_code error = out.skip(hole)) {
                return error;
            }
            done += hole;
            moved(done);
            continue;
        }
        const platform::ErrorOr<std::uint64_t> holeAt = in.nextHole(start + done);
        if (!holeAt) {
            return holeAt.error();
        }
        const std::uint64_t runEnd = std::min(*holeAt - std::min(*holeAt, start), total);
        if (runEnd <= done) {
            return platform::Error::ShortRead; // the file ends here
        }
        while (done < runEnd) {
            const std::size_t want =
                static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), runEnd - done));
            const platform::ErrorOr<std::size_t> got = in.readAt(start + done, buffer.data(), want);
            if (!got) {
                return got.error();
            }
            if (*got != want) {
                return platform::Error::ShortRead;
            }
            const std::error_code error =
                allZero(buffer.data(), want) ? out.skip(want) : out.write(buffer.data(), want);
            if (error) {
                return error;
            }
            done += want;
            moved(done);
        }
    }
    // Past the original's end there is nothing to copy, least of all silence.
    const platform::ErrorOr<std::uint64_t> size = in.size();
    if (!size) {
        return size.error();
    }
    if (*size < start + total) {
        return platform::Error::ShortRead;
    }
    // A skipped run of zeros at the end leaves the file short of its length.
    return out.setSize(header.size() + total);
}

// A new file beside `name` in the held `directory`, made exclusively under a name no one else
// uses, kept open and locked until the repair is over: all writing goes through that handle,
// never through a name someone else could replace, and a check or another repair sees the
// repair is still at work on it and never takes it for a leftover.
std::error_code createTemporary(const platform::Directory& directory,
                                const std::filesystem::path& name, std::filesystem::path& temp,
                                platform::NewFile& file) {
    std::error_code error;
    for (int attempt = 0; attempt < kTemporaryNameTries; ++attempt) {
        temp = temporaryName(name, attempt);
        error = file.create(directory, temp);
        if (error != std::errc::file_exists) {
            break;
        }
    }
    if (error) {
        return error;
    }
    if ((error = file.lock())) {
        static_cast<void>(file.close());
        static_cast<void>(directory.remove(temp));
    }
    return error;
}

// Beyond the 32-bit sizes the samples must move behind a longer header. They go to a new file
// in the original's own directory, held since the original was opened, that replaces the
// original only once complete, with its mode (no set-id bit) and time, its owner where this
// process may give one (root), and on disk, so a crash or a full disk meanwhile leaves the
// original as it was.
RepairOutcome repairAsRf64(const platform::Directory& directory, const std::filesystem::path& name,
                           const platform::File& original, RepairOutcome outcome,
                           const platform::FileAttributes& attributes,
                           const RepairOptions& options) {
    std::filesystem::path temp;
    platform::NewFile out;
    if (const std::error_code error = createTemporary(directory, name, temp, out)) {
        return failed(outcome, "the RF64 copy could not be created beside it: " + error.message());
    }
    // The copy is closed, then removed, whatever step it failed at.
    const auto abandon = [&](const std::string& why) {
        static_cast<void>(out.close());
        static_cast<void>(directory.remove(temp));
        return failed(outcome, "the RF64 copy could not be written beside it: " + why);
    };
    if (const std::error_code error = writeRf64Copy(original, out, outcome.before, options)) {
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
    // Moved into place still open and locked, so it is never an unlocked leftover on the way.
    if (out.replace(directory, temp, name)) {
        return abandon("it could not replace the original");
    }
    if (const std::error_code error = out.close()) {
        return failed(outcome, "the RF64 copy could not be closed: " + error.message());
    }
    // Done only if it was the original the copy replaced: one that was moved away meanwhile
    // still has its name, and was not repaired.
    const platform::ErrorOr<bool> named = original.stillNamed();
    if (!named || *named) {
        return failed(outcome, "the file was moved away while it was repaired; the RF64 copy "
                               "now has its name, the original is unchanged");
    }
    outcome.action = RepairAction::Rf64;
    return outcome;
}

// A power cut can leave a file whose size reached the disk before its last pages: they read as
// zeros that were never audio. Past the length the capture recorded as on the disk, a run of
// zeros at the end is cut off (it cannot be told from pages never written); other bytes there
// are kept and counted as unverified. Nothing is changed up to the recorded length. Says why it
// failed, if it did; `outcome.before` then describes the file as it is now.
std::optional<std::string> cutZeroTail(platform::File& file, bool writable,
                                       std::uint64_t durableBytes, RepairOutcome& outcome) {
    const WavLayout& layout = outcome.before;
    const std::uint64_t end = layout.dataOffset + layout.wholeFrameBytes();
    const std::uint64_t align = layout.blockAlign();
    if (layout.state == HeaderState::Finalised || align == 0 || end <= durableBytes) {
        outcome.tail.durableBytes = durableBytes;
        return std::nullopt;
    }
    const platform::ErrorOr<std::uint64_t> zeros =
        zeroRunStart(file, std::max(durableBytes, layout.dataOffset), end);
    if (!zeros) {
        return "its end cannot be read";
    }
    const std::uint64_t keep =
        layout.dataOffset + (*zeros - layout.dataOffset + align - 1) / align * align;
    outcome.tail = unverifiedTail(layout, keep - layout.dataOffset, durableBytes);
    if (keep >= layout.fileSize) {
        return std::nullopt;
    }
    if (!writable) {
        return "cannot be opened for writing";
    }
    if (file.setSize(keep)) {
        return "the zeros past what was on the disk could not be cut off";
    }
    const platform::ErrorOr<WavLayout> head = readStreamHead(file);
    if (!head) {
        return "cannot be read";
    }
    outcome.before = *head;
    return std::nullopt;
}

// A lock someone else holds, whoever it is.
bool heldByAnother(const std::error_code& locked) {
    return locked == platform::Error::LockBusy || locked == platform::Error::LockedByOtherUser;
}

// Why a file that was not opened is left untouched, in words: a link in the stream file's place,
// or a file with other names, is not this repair's to change (replacing it would split the
// names, rewriting it would change what they name), nor is anything but a regular file.
std::optional<std::string> refusal(const std::error_code& opened) {
    if (opened == platform::Error::SymbolicLink) {
        return "it is a symbolic link; repair the file it points to by its own name";
    }
    if (opened == platform::Error::HasOtherLinks) {
        return "it has other hard links; a repair would change the file under every name";
    }
    if (opened == platform::Error::NotRegularFile) {
        return "it is not a regular file";
    }
    return std::nullopt;
}

// Under the stream file's lock, so no capture or other repair can be using them (a list found
// before the lock holds at most names that are gone by now).
// Removed in the held directory, by their names only, whatever the path names by now.
void removeLeftovers(const platform::Directory& directory, const std::filesystem::path& path,
                     const RepairOptions& options, RepairOutcome& outcome) {
    for (const auto& temp :
         options.leftovers ? *options.leftovers : leftoverRepairTemporaries(path)) {
        if (!directory.remove(temp.filename())) {
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
        if (owner.empty() ||
            it->symlink_status(unreadable).type() != std::filesystem::file_type::regular) {
            continue;
        }
        // A repair still at work holds its temporary locked: that one is no leftover.
        platform::File temporary;
        const std::error_code opened = temporary.open(it->path(), platform::File::Access::Read);
        if (!heldByAnother(opened) && (opened || !heldByAnother(temporary.lock()))) {
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
    // One handle for everything that follows: the lock, the reads, the field writes, the
    // truncation and the time. Read only where writing is not allowed: an RF64 repair only
    // reads the original, and an in-place one then says it cannot write.
    // The directory held too: an RF64 copy is made and moved into place in the one the file
    // was found in, whatever its path names by then.
    platform::Directory directory;
    if (const std::error_code error = directory.openParentOf(path)) {
        return error == platform::Error::UntrustedLink
                   ? untouched(outcome, RepairAction::Refused,
                               "its path passes through a link of another user")
                   : failed(outcome,
                            "its directory cannot be opened: " + platform::errorMessage(error));
    }
    const std::filesystem::path name = path.filename();
    platform::File file;
    bool writable = true;
    std::error_code opened = file.open(directory, name, platform::File::Access::ReadWrite);
    if (opened && !refusal(opened) && opened != platform::Error::LockBusy) {
        writable = false;
        opened = file.open(directory, name, platform::File::Access::Read);
    }
    if (const std::optional<std::string> refused = refusal(opened)) {
        return untouched(outcome, RepairAction::Refused, *refused);
    }
    if (opened && opened != platform::Error::LockBusy) {
        return failed(outcome, "cannot be opened: " + platform::errorMessage(opened));
    }
    // Held to the end: a capture cannot start on the file meanwhile, nor another repair.
    if (const std::error_code locked = opened ? opened : file.lock()) {
        if (locked == platform::Error::LockedByOtherUser) {
            return untouched(outcome, RepairAction::BeingWritten,
                             "locked by a process of another user; repair it once that has ended");
        }
        return locked == platform::Error::LockBusy
                   ? untouched(outcome, RepairAction::BeingWritten,
                               "in use by a capture or a repair; repair it once that has ended")
                   : failed(outcome,
                            "its lock could not be taken: " + platform::errorMessage(locked));
    }
    removeLeftovers(directory, path, options, outcome);
    const platform::ErrorOr<WavLayout> head = readStreamHead(file);
    const platform::ErrorOr<platform::FileAttributes> attributes = file.attributes();
    if (!head || !attributes) {
        return failed(outcome, "cannot be read");
    }
    outcome.before = *head;
    const WavLayout& layout = outcome.before;
    if (layout.state == HeaderState::Finalised && layout.partialFrameBytes == 0) {
        outcome.action = RepairAction::LeftFinalised;
        return outcome;
    }
    if (layout.state == HeaderState::Empty) {
        outcome.action = RepairAction::LeftEmpty;
        return outcome;
    }
    if (layout.state == HeaderState::Unrecognised) {
        return untouched(outcome, RepairAction::Refused, layout.reason);
    }
    if (options.durableBytes) {
        if (const std::optional<std::string> why =
                cutZeroTail(file, writable, *options.durableBytes, outcome)) {
            return failed(outcome, *why);
        }
    }
    if (!layout.rf64 && !fitsRiffLimit(layout.wholeFrameBytes())) {
        return repairAsRf64(directory, name, file, outcome, *attributes, options);
    }
    if (!writable) {
        return failed(outcome, "cannot be opened for writing");
    }
    outcome = repairInPlace(file, outcome);
    // The repair changes no sample: the file keeps the time its audio was written (best effort,
    // the samples are readable either way).
    static_cast<void>(file.setModifiedTime(*attributes));
    return outcome;
}

} // namespace vaskel
