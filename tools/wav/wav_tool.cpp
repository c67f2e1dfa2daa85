#include "tools/wav/wav_tool.h"

#include "common/json_text.h"
#include "output/durable_record.h"
#include "output/output_paths.h"
#include "output/progress_file.h"
#include "platform/file.h"
#include "platform/time.h"
#include "tools/wav/wav_export.h"
#include "wavfile/take_sheet.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vaskel/version.h>
#include <vector>

namespace vaskel::wav_tool {

namespace {

constexpr const char* kUsage =
    "usage: vaskel_wav check <output-root | file.wav>... [--json]\n"
    "       vaskel_wav repair <output-root | file.wav>...\n"
    "       vaskel_wav export <output-root | file.wav> <dest> --format FORMAT [--merge]\n";
// The answer to --help; the man page is made from it.
constexpr const char* kHelp =
    "\n"
    "Checks the stream files of a capture (check) and makes those of a stopped capture\n"
    "readable (repair). A path is an output root (every stream-<i>.wav in it, its\n"
    "render-progress.json and, where vaskel_jack recorded, its take sheet streams.json) or\n"
    "a single WAV file (a stream-<i>.wav is read with its directory's take sheet).\n"
    "\n"
    "Commands:\n"
    "  check   report each file's header, length and samples, and the ports the take sheet\n"
    "          names for it and what it recorded of it (xruns, disconnections); --json for\n"
    "          one JSON document on all of them\n"
    "  repair  finalise the header of a file a stopped capture left open, cut a partial\n"
    "          trailing frame, and turn a file past 4 GiB into RF64\n"
    "  export  write the streams in another format into the folder <dest> (same names, the\n"
    "          format's extension), or with --merge into the one multichannel file <dest>,\n"
    "          channels in the take sheet's order (else the streams'); the capture is only\n"
    "          read, a file not finalised is refused (repair it first), no file is replaced\n"
    "  help    print this text (also --help)\n"
    "\n"
    "Options:\n"
    "  --json     with check: machine-readable output\n"
    "  --format   with export: wav16 (16-bit PCM, TPDF dither), wav24, wav32 (24- and 32-bit\n"
    "             PCM, rounded), float (32-bit float), flac (24-bit FLAC, rounded, at most 8\n"
    "             channels); samples beyond full scale are clipped and counted\n"
    "  --merge    with export: one file of all streams (WAVE_FORMAT_EXTENSIBLE beyond 2\n"
    "             channels, RF64 beyond 4 GiB)\n"
    "  --help     print this text\n"
    "  --version  print the version\n"
    "\n"
    "Exit status: 0 all is well, 1 a file needs attention, was not repaired or was not\n"
    "exported (an export that stops removes what it had begun), 2 bad command line, a path\n"
    "that cannot be read, or a report that could not be written (after any repair is done),\n"
    "130 an export stopped by Ctrl-C (the file it was writing removed).\n";
constexpr std::int64_t kBarDelayNs = platform::kNanosecondsPerSecond;
constexpr std::int64_t kBarRedrawNs = 100000000;
constexpr int kBarWidth = 30;

std::string shown(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string seconds(const WavLayout& layout) {
    return fixed(static_cast<double>(layout.frames) / layout.sampleRate, 3);
}

// One stream file an argument names.
struct TargetFile {
    std::filesystem::path path;
    std::optional<std::uint32_t> index;           // its stream index, when a directory was named
    std::vector<std::filesystem::path> leftovers; // temporaries of a repair that stopped
};

// What one argument names: stream files, and for a directory its progress file.
struct Target {
    std::filesystem::path argument;
    bool directory = false;
    std::vector<TargetFile> files;
};

// The leftover temporaries of every directory the arguments reach, each directory read once
// however many of its files are named: a reading per file would make a run quadratic.
class LeftoverIndex {
public:
    std::vector<std::filesystem::path> of(const std::filesystem::path& file) {
        const std::filesystem::path directory =
            file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
        auto known = byDirectory_.find(directory);
        if (known == byDirectory_.end()) {
            known = byDirectory_.emplace(directory, leftoverRepairTemporariesIn(directory)).first;
        }
        const auto found = known->second.find(file.filename());
        return found != known->second.end() ? found->second : std::vector<std::filesystem::path>();
    }

private:
    std::map<std::filesystem::path,
             std::map<std::filesystem::path, std::vector<std::filesystem::path>>>
        byDirectory_;
};

// Resolves every argument before anything is read or changed; false (with a message) for a
// path that cannot be read.
bool resolveTargets(const std::vector<std::filesystem::path>& paths, std::vector<Target>& targets,
                    std::ostream& err) {
    LeftoverIndex leftovers;
    for (const auto& path : paths) {
        Target target;
        target.argument = path;
        std::error_code error;
        // A directory named through a link is the user's choice; a stream file in its place is
        // not, and is refused with the reason when it is read.
        const auto status = std::filesystem::status(path, error);
        const auto itself = std::filesystem::symlink_status(path, error);
        if (status.type() == std::filesystem::file_type::directory) {
            // Walked as its stream files are opened: through no link of another user.
            platform::Directory walked;
            if (const std::error_code refused = walked.openParentOf(path / streamFileName(0))) {
                err << "vaskel_wav: cannot read the directory " << shown(path) << ": "
                    << platform::errorMessage(refused) << '\n';
                return false;
            }
            target.directory = true;
            std::map<std::uint32_t, std::filesystem::path> byIndex;
            for (std::filesystem::directory_iterator it(path, error), end; !error && it != end;
                 it.increment(error)) {
                const auto index = streamFileIndex(it->path().filename());
                if (index && !it->is_directory(error)) {
                    byIndex[*index] = it->path();
                }
            }
            if (error) {
                err << "vaskel_wav: cannot read the directory " << shown(path) << '\n';
                return false;
            }
            for (auto& [index, file] : byIndex) {
                target.files.push_back({file, index, leftovers.of(file)});
            }
        } else if (itself.type() != std::filesystem::file_type::not_found &&
                   itself.type() != std::filesystem::file_type::none) {
            // Opened as check and repair open it; only a file that cannot be opened at all is a
            // path that cannot be read.
            platform::File file;
            const std::error_code opened = file.open(path, platform::File::Access::Read);
            if (opened && opened.category() != platform::errorCategory()) {
                err << "vaskel_wav: cannot read " << shown(path) << ": "
                    << platform::errorMessage(opened) << '\n';
                return false;
            }
            target.files.push_back({path, std::nullopt, leftovers.of(path)});
        } else {
            err << "vaskel_wav: cannot read " << shown(path) << ": no such file or directory\n";
            return false;
        }
        targets.push_back(std::move(target));
    }
    return true;
}

// A bar on the terminal for a file that takes longer than a second; nothing otherwise.
class ProgressBar {
public:
    ProgressBar(std::ostream& err, bool enabled, const std::filesystem::path& path)
        : err_(err), enabled_(enabled), name_(shown(path.filename())),
          start_(platform::SteadyClock::now()) {}
    ~ProgressBar() {
        if (drawn_) {
            err_ << '\r' << std::string(name_.size() + kBarWidth + 10, ' ') << '\r' << std::flush;
        }
    }
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    ReadProgress callback() {
        if (!enabled_) {
            return {};
        }
        return [this](std::uint64_t done, std::uint64_t total) { update(done, total); };
    }

private:
    void update(std::uint64_t done, std::uint64_t total) {
        const std::int64_t now = platform::SteadyClock::now();
        if (now - start_ < kBarDelayNs || now - lastDraw_ < kBarRedrawNs || total == 0) {
            return;
        }
        lastDraw_ = now;
        drawn_ = true;
        const int filled = static_cast<int>(done * kBarWidth / total);
        err_ << '\r' << name_ << " [" << std::string(filled, '#')
             << std::string(kBarWidth - filled, '.') << "] " << done * 100 / total << '%'
             << std::flush;
    }

    std::ostream& err_;
    bool enabled_;
    std::string name_;
    std::int64_t start_;
    std::int64_t lastDraw_ = 0;
    bool drawn_ = false;
};

// The report on standard output: each piece flushed once complete, so a reader sees it as it
// comes, and the first write that failed kept with the system's reason.
class Report {
public:
    explicit Report(std::ostream& out) : out_(out) {}

    template <typename Print> void piece(const Print& print) {
        errno = 0;
        print(out_);
        out_.flush();
        if (!out_.good() && !failure_) {
            failure_ = std::error_code(errno != 0 ? errno : EIO, std::generic_category());
        }
    }

    const std::error_code& failure() const { return failure_; }

private:
    std::ostream& out_;
    std::error_code failure_;
};

// --- check -------------------------------------------------------------------------------------

// A progress snapshot is under 1 KiB; anything far larger is not one of ours.
constexpr std::size_t kProgressFileLimit = 64 << 10;

// Why a small file beside the stream files, there but not read, was not read, in words.
std::string unreadReason(const std::error_code& error, const char* tooLarge) {
    return error == platform::Error::NotRegularFile ? "not a regular file"
           : error == platform::Error::TooLarge     ? tooLarge
                                                    : "cannot be read";
}

struct ProgressReport {
    std::filesystem::path path;
    std::string state;  // "capturing", "complete", "missing", "unreadable"
    std::string reason; // why unreadable, in words
    std::optional<ProgressSnapshot> snapshot;
};

ProgressReport readProgressReport(const std::filesystem::path& directory) {
    ProgressReport report;
    report.path = directory / kProgressFileName;
    const platform::ErrorOr<std::string> text =
        platform::readSmallRegularFile(report.path, kProgressFileLimit);
    const std::error_code error = text.error();
    if (text) {
        report.snapshot = parseProgress(*text);
        report.reason = "not a progress file of ours";
    } else if (error == std::errc::no_such_file_or_directory) {
        report.state = "missing";
        return report;
    } else {
        report.reason = unreadReason(error, "larger than a progress file can be");
    }
    report.state = !report.snapshot            ? "unreadable"
                   : report.snapshot->complete ? "complete"
                                               : "capturing";
    return report;
}

// The take sheet of a directory that has one (vaskel_jack wrote it): read as the progress file
// is, once however many of the directory's files are named.
struct SheetReport {
    std::filesystem::path path;
    std::string reason; // why it was not read
    std::optional<TakeSheetRecord> sheet;
};

std::optional<SheetReport> readSheetReport(const std::filesystem::path& directory) {
    SheetReport report;
    report.path = directory / kTakeSheetName;
    const platform::ErrorOr<std::string> text =
        platform::readSmallRegularFile(report.path, kTakeSheetLimit);
    if (text) {
        report.sheet = parseTakeSheet(*text);
        report.reason = "not a take sheet of ours";
    } else if (text.error() == std::errc::no_such_file_or_directory) {
        return std::nullopt; // only a capture vaskel_jack ran has one
    } else {
        report.reason = unreadReason(text.error(), "larger than a take sheet can be");
    }
    return report;
}

// The lengths a capture recorded as on the disk, per stream index, from the record it keeps in
// its output root; empty without a whole one (a finished capture of an older renderer, a RAM
// file system, or none at all).
std::optional<DurableLengths> readDurableLengths(const Target& target) {
    if (!target.directory) {
        return std::nullopt;
    }
    const platform::ErrorOr<std::string> bytes =
        platform::readSmallRegularFile(target.argument / kDurableFileName, kDurableFileBytes);
    if (!bytes) {
        return std::nullopt;
    }
    return parseDurableRecord(
        std::span(reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size()));
}

std::optional<std::uint64_t> durableLengthOf(const std::optional<DurableLengths>& record,
                                             const TargetFile& entry) {
    if (!record || !entry.index || *entry.index >= record->lengths.size()) {
        return std::nullopt;
    }
    return record->lengths[*entry.index];
}

// One stream file as check sees it.
struct CheckedFile {
    StreamFileReport report;
    std::vector<std::filesystem::path> leftovers; // temporaries of a repair that stopped
    // Whether the progress file's streams reach its index; unknown without a progress file.
    std::optional<bool> partOfCapture;
    std::uint32_t captureStreams = 0; // the progress file's stream count, when known
    // The source port of each channel, as the take sheet names them; none without one.
    std::optional<std::vector<SheetPort>> ports;
    // What the take sheet says of the file that its header contradicts ("48000 Hz").
    std::string sheetConflict;
    // Past the length the capture recorded as on the disk, when it left a record.
    std::optional<UnverifiedTail> tail;
    // What the take sheet recorded of this stream while it was captured, in order.
    std::vector<TakeSheetEvent> events;
};

// The file's ports from the sheet, and what the sheet says that its header does not: a sheet
// left by an earlier capture into the same folder, or a file put there since.
void compareWithSheet(CheckedFile& file, const TakeSheetRecord* sheet) {
    const auto index = streamFileIndex(file.report.path.filename());
    const TakeSheetStream* stream = sheet && index ? sheet->stream(*index) : nullptr;
    if (stream == nullptr) {
        return;
    }
    file.ports = stream->ports;
    std::copy_if(sheet->events.begin(), sheet->events.end(), std::back_inserter(file.events),
                 [&](const TakeSheetEvent& event) { return event.stream == index; });
    const WavLayout& layout = file.report.layout;
    if (!file.report.error.empty() || layout.state == HeaderState::Unrecognised) {
        return;
    }
    const auto says = [&file](const std::string& item) {
        file.sheetConflict += (file.sheetConflict.empty() ? "" : ", ") + item;
    };
    if (layout.sampleRate != sheet->sampleRate) {
        says(std::to_string(sheet->sampleRate) + " Hz");
    }
    if (layout.channels != sheet->channels) {
        says(std::to_string(sheet->channels) + (sheet->channels == 1 ? " channel" : " channels"));
    }
    // Every file of a completed capture holds the frames the sheet names.
    if (sheet->state == "complete" && sheet->framesPerStream &&
        layout.frames != *sheet->framesPerStream) {
        says(std::to_string(*sheet->framesPerStream) + " frames");
    }
}

bool needsAttention(const CheckedFile& file) {
    const StreamFileReport& report = file.report;
    return !report.error.empty() || report.beingWritten || !file.leftovers.empty() ||
           !file.sheetConflict.empty() || file.partOfCapture == false ||
           report.layout.state != HeaderState::Finalised || report.layout.partialFrameBytes != 0 ||
           !report.samples || report.samples->nanCount != 0 || report.samples->infiniteCount != 0;
}

std::string headerVerdict(const StreamFileReport& report) {
    const WavLayout& layout = report.layout;
    if (!report.error.empty()) {
        return report.error;
    }
    if (report.beingWritten) {
        return "in use by a capture or a repair: check it again once that has ended";
    }
    switch (layout.state) {
    case HeaderState::Finalised:
        return layout.rf64 ? "finalised (RF64)" : "finalised";
    case HeaderState::Placeholder:
        return "placeholder header (data size 0) from a stopped capture: run repair";
    case HeaderState::SizeMismatch:
        return "header sizes disagree with the file length (" +
               std::to_string(layout.headerDataSize) + " data bytes in the header, " +
               std::to_string(layout.fileSize - layout.dataOffset) + " on disk): run repair";
    case HeaderState::Empty:
        return "empty: the capture stopped before this stream's header reached the disk; "
               "nothing to recover";
    case HeaderState::Unrecognised:
        break;
    }
    return "not a stream file of ours: " + layout.reason;
}

std::string firstFrame(const std::optional<std::uint64_t>& frame) {
    return frame ? ", first at frame " + std::to_string(*frame) : "";
}

// Text from a file for a line of the report: a control character (C0, DEL or C1, which a
// terminal would obey) or a byte that is not UTF-8 as '?'.
std::string terminalText(std::string_view from) {
    std::string text;
    for (std::size_t at = 0; at < from.size();) {
        const auto lead = static_cast<unsigned char>(from[at]);
        const std::size_t length = utf8Length(from, at);
        const bool control =
            lead < 0x20 || lead == 0x7F ||
            (length == 2 && lead == 0xC2 && static_cast<unsigned char>(from[at + 1]) < 0xA0);
        if (length == 0 || control) {
            text += '?';
            at += std::max<std::size_t>(length, 1);
        } else {
            text.append(from, at, length);
            at += length;
        }
    }
    return text;
}

std::string portText(const SheetPort& port) {
    return port ? terminalText(*port) : "(unconnected)";
}

// "xrun at frame 1024: 3", one line of the events the take sheet recorded.
std::string eventText(const TakeSheetEvent& event) {
    return terminalText(event.kind) + " at frame " + std::to_string(event.frame) +
           (event.detail.empty() ? "" : ": " + terminalText(event.detail));
}

void printCheckText(const CheckedFile& file, std::ostream& out) {
    const StreamFileReport& report = file.report;
    out << shown(report.path) << ": " << headerVerdict(report) << '\n';
    if (file.ports) {
        out << "  ports:";
        for (std::size_t i = 0; i < file.ports->size(); ++i) {
            out << (i == 0 ? " " : " + ") << portText((*file.ports)[i]);
        }
        out << '\n';
    }
    for (const TakeSheetEvent& event : file.events) {
        out << "  " << eventText(event) << '\n';
    }
    if (!file.sheetConflict.empty()) {
        out << "  the take sheet says " << file.sheetConflict << ", unlike this file\n";
    }
    if (file.partOfCapture == false) {
        out << "  not part of this capture: " << kProgressFileName << " names "
            << file.captureStreams
            << " streams (a file of an earlier capture into the same folder)\n";
    }
    for (const auto& leftover : file.leftovers) {
        out << "  leftover temporary of a repair that stopped: " << shown(leftover.filename())
            << " (repair removes it)\n";
    }
    if (!report.samples) {
        return;
    }
    const WavLayout& layout = report.layout;
    const SampleStats& stats = *report.samples;
    out << "  " << layout.channels << (layout.channels == 1 ? " channel, " : " channels, ")
        << layout.sampleRate << " Hz, " << layout.frames << " frames, " << seconds(layout)
        << " s on disk\n";
    if (layout.partialFrameBytes != 0) {
        out << "  partial trailing frame: " << layout.partialFrameBytes
            << " bytes (a write cut short; repair cuts it off)\n";
    }
    if (file.tail && (file.tail->zeroBytes != 0 || file.tail->unverifiedBytes != 0)) {
        out << "  past the " << file.tail->durableBytes
            << " bytes the capture knew to be on the disk: " << file.tail->zeroBytes
            << " bytes of zeros, never known as audio (repair cuts them off), and "
            << file.tail->unverifiedBytes << " bytes unverified (repair keeps them)\n";
    }
    const auto peak = peakDbfs(stats.peak);
    out << "  peak " << (peak ? fixed(*peak, 2) + " dBFS" : std::string("-inf dBFS (silence)"))
        << ", " << stats.beyondFullScale << " samples beyond full scale\n";
    if (stats.nanCount != 0 || stats.infiniteCount != 0) {
        out << "  NaN: " << stats.nanCount << " samples" << firstFrame(stats.firstNanFrame)
            << "; infinite: " << stats.infiniteCount << " samples"
            << firstFrame(stats.firstInfiniteFrame) << '\n';
    }
    out << "  data md5 " << stats.dataMd5 << '\n';
}

void printSheetText(const SheetReport& report, std::ostream& out) {
    out << shown(report.path) << ": ";
    if (!report.sheet) {
        out << report.reason << '\n';
        return;
    }
    const TakeSheetRecord& sheet = *report.sheet;
    out << "take sheet of " << portText(sheet.client) << ", " << sheet.state << ": "
        << sheet.streams.size() << (sheet.streams.size() == 1 ? " stream" : " streams") << " of "
        << sheet.channels << (sheet.channels == 1 ? " channel, " : " channels, ")
        << sheet.sampleRate << " Hz, " << sheet.framesPerChunk << " frames per chunk, "
        << (sheet.startTime ? "started " + *sheet.startTime : std::string("not started")) << '\n';
    // The events of a stream are shown beside its file; these touched the take as a whole.
    for (const TakeSheetEvent& event : sheet.events) {
        if (!event.stream) {
            out << "  " << eventText(event) << '\n';
        }
    }
}

void printProgressText(const ProgressReport& report, std::ostream& out) {
    out << shown(report.path) << ": ";
    if (!report.snapshot) {
        out << (report.state == "missing" ? "missing" : report.reason) << '\n';
        return;
    }
    const ProgressCounts& counts = report.snapshot->counts;
    out << report.state << ", " << counts.writtenFrames << " frames written of "
        << counts.totalFrames << " declared, " << counts.streamCount << " streams"
        << (report.snapshot->complete ? "" : " (the last snapshot before the capture stopped)")
        << '\n';
}

std::string jsonOptional(const std::optional<std::uint64_t>& value) {
    return value ? std::to_string(*value) : "null";
}

std::string leftoversJson(const CheckedFile& file) {
    std::string json = ",\"leftoverTemporaries\":[";
    for (std::size_t i = 0; i < file.leftovers.size(); ++i) {
        // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) on a literal + temporary.
        if (i != 0) {
            json += ',';
        }
        json += jsonString(shown(file.leftovers[i]));
    }
    return json + "]";
}

std::string jsonOrNull(const std::optional<std::string>& text) {
    return text ? jsonString(*text) : "null";
}

std::string portsJson(const CheckedFile& file) {
    if (!file.ports) {
        return "null";
    }
    std::string json = "[";
    for (const SheetPort& port : *file.ports) {
        json += (json.size() == 1 ? "" : ",") + jsonOrNull(port);
    }
    return json + "]";
}

std::string eventsJson(const std::vector<TakeSheetEvent>& events) {
    std::string json = "[";
    for (const TakeSheetEvent& event : events) {
        if (json.size() != 1) {
            json += ',';
        }
        json += "{\"frame\":" + std::to_string(event.frame) + ",\"kind\":" + jsonString(event.kind);
        json += ",\"stream\":" + (event.stream ? std::to_string(*event.stream) : "null");
        json += ",\"detail\":" + jsonString(event.detail) + "}";
    }
    return json + "]";
}

std::string checkJson(const CheckedFile& file) {
    const StreamFileReport& report = file.report;
    const WavLayout& layout = report.layout;
    std::string json = "{\"path\":" + jsonString(shown(report.path));
    json += ",\"partOfCapture\":" + std::string(!file.partOfCapture   ? "null"
                                                : *file.partOfCapture ? "true"
                                                                      : "false");
    json += ",\"ports\":" + portsJson(file);
    json += ",\"takeSheetConflict\":" +
            (file.sheetConflict.empty() ? std::string("null") : jsonString(file.sheetConflict));
    json += ",\"events\":" + (file.ports ? eventsJson(file.events) : std::string("null"));
    json += leftoversJson(file);
    json += std::string(",\"beingWritten\":") + (report.beingWritten ? "true" : "false");
    if (!report.error.empty()) {
        return json + ",\"header\":null,\"error\":" + jsonString(report.error) + "}";
    }
    json += ",\"header\":\"" + std::string(headerStateName(layout.state)) + "\"";
    json += ",\"durableBytes\":" +
            (file.tail ? std::to_string(file.tail->durableBytes) : std::string("null"));
    json += ",\"zeroTailBytes\":" +
            (file.tail ? std::to_string(file.tail->zeroBytes) : std::string("null"));
    json += ",\"unverifiedBytes\":" +
            (file.tail ? std::to_string(file.tail->unverifiedBytes) : std::string("null"));
    if (layout.state == HeaderState::Empty) {
        return json + "}";
    }
    if (layout.state == HeaderState::Unrecognised) {
        return json + ",\"reason\":" + jsonString(layout.reason) + "}";
    }
    json += ",\"container\":\"" + std::string(layout.rf64 ? "RF64" : "RIFF") + "\"";
    json += ",\"channels\":" + std::to_string(layout.channels);
    json += ",\"sampleRate\":" + std::to_string(layout.sampleRate);
    json += ",\"frames\":" + std::to_string(layout.frames);
    json += ",\"durationSeconds\":" + seconds(layout);
    json += ",\"headerDataBytes\":" + std::to_string(layout.headerDataSize);
    json += ",\"dataBytesOnDisk\":" + std::to_string(layout.fileSize - layout.dataOffset);
    json += ",\"partialFrameBytes\":" + std::to_string(layout.partialFrameBytes);
    if (report.samples) {
        const SampleStats& stats = *report.samples;
        const auto peak = peakDbfs(stats.peak);
        json += ",\"peakDbfs\":" + (peak ? fixed(*peak, 2) : std::string("null"));
        json += ",\"beyondFullScale\":" + std::to_string(stats.beyondFullScale);
        json += ",\"nan\":{\"count\":" + std::to_string(stats.nanCount) +
                ",\"firstFrame\":" + jsonOptional(stats.firstNanFrame) + "}";
        json += ",\"infinite\":{\"count\":" + std::to_string(stats.infiniteCount) +
                ",\"firstFrame\":" + jsonOptional(stats.firstInfiniteFrame) + "}";
        json += ",\"dataMd5\":\"" + stats.dataMd5 + "\"";
    }
    return json + "}";
}

std::string sheetJson(const SheetReport& report) {
    std::string json = "{\"path\":" + jsonString(shown(report.path));
    if (!report.sheet) {
        return json + ",\"state\":\"unreadable\",\"reason\":" + jsonString(report.reason) + "}";
    }
    const TakeSheetRecord& sheet = *report.sheet;
    json += ",\"state\":" + jsonString(sheet.state) + ",\"client\":" + jsonString(sheet.client);
    json += ",\"mapping\":" + jsonString(sheet.mapping);
    json += ",\"sampleRate\":" + std::to_string(sheet.sampleRate);
    json += ",\"framesPerChunk\":" + std::to_string(sheet.framesPerChunk);
    json += ",\"channels\":" + std::to_string(sheet.channels);
    json += ",\"startTime\":" + jsonOrNull(sheet.startTime);
    json += ",\"framesPerStream\":" +
            (sheet.framesPerStream ? std::to_string(*sheet.framesPerStream) : "null");
    json += ",\"verdict\":" + jsonOrNull(sheet.verdict);
    json += ",\"streams\":" + std::to_string(sheet.streams.size());
    return json + ",\"events\":" + eventsJson(sheet.events) + "}";
}

std::string progressJson(const ProgressReport& report) {
    std::string json =
        "{\"path\":" + jsonString(shown(report.path)) + ",\"state\":\"" + report.state + "\"";
    if (report.snapshot) {
        const ProgressCounts& counts = report.snapshot->counts;
        json += ",\"streamCount\":" + std::to_string(counts.streamCount) +
                ",\"writtenFrames\":" + std::to_string(counts.writtenFrames) +
                ",\"totalFrames\":" + std::to_string(counts.totalFrames);
    }
    return json + "}";
}

// What one check run has seen so far, and its output.
class CheckRun {
public:
    CheckRun(bool json, Report& out, std::ostream& err, const ToolSettings& settings)
        : json_(json), out_(out), err_(err), settings_(settings) {}

    void checkTarget(const Target& target) {
        if (target.directory && target.files.empty()) {
            emptyDirectory_ = true;
            err_ << "vaskel_wav: no stream files (stream-<i>.wav) in " << shown(target.argument)
                 << '\n';
        }
        // Read first, so each stream file is seen against the capture it names.
        std::optional<ProgressReport> progress;
        std::optional<std::uint32_t> captureStreams;
        if (target.directory) {
            progress = readProgressReport(target.argument);
            if (progress->snapshot) {
                captureStreams = progress->snapshot->counts.streamCount;
            }
        }
        durable_ = readDurableLengths(target);
        const auto [sheetReport, firstSight] = sheetOf(target);
        const TakeSheetRecord* sheet =
            sheetReport && sheetReport->sheet ? &*sheetReport->sheet : nullptr;
        std::set<std::uint32_t> present;
        for (const TargetFile& entry : target.files) {
            CheckedFile file;
            {
                ProgressBar bar(err_, settings_.progressBar, entry.path);
                file.report = inspectStreamFile(entry.path, bar.callback());
            }
            file.leftovers = entry.leftovers;
            if (const auto durable = durableLengthOf(durable_, entry);
                durable && file.report.samples) {
                file.tail =
                    unverifiedTail(file.report.layout, file.report.samples->nonZeroBytes, *durable);
            }
            if (entry.index) {
                present.insert(*entry.index);
            }
            if (entry.index && captureStreams) {
                file.partOfCapture = *entry.index < *captureStreams;
                file.captureStreams = *captureStreams;
            }
            compareWithSheet(file, sheet);
            add(file);
        }
        if (progress) {
            reportMissing(target.argument, present, captureStreams.value_or(0), sheet);
            if (json_) {
                progressJson_.push_back(progressJson(*progress));
            } else {
                out_.piece([&](std::ostream& out) { printProgressText(*progress, out); });
            }
        }
        if (sheetReport && firstSight) {
            if (json_) {
                sheetJson_.push_back(sheetJson(*sheetReport));
            } else {
                const auto& report = *sheetReport;
                out_.piece([&](std::ostream& out) { printSheetText(report, out); });
            }
        }
    }

    int finish() {
        const int exitCode = attention_ != 0 || emptyDirectory_ ? kExitAttention : kExitOk;
        out_.piece([&](std::ostream& out) {
            if (json_) {
                out << "{\"files\":[" << joined(fileJson_) << "],\"progress\":["
                    << joined(progressJson_) << "],\"takeSheets\":[" << joined(sheetJson_)
                    << "],\"filesNeedingAttention\":" << attention_ << ",\"exitCode\":" << exitCode
                    << "}\n";
            } else {
                out << "check: " << files_ << (files_ == 1 ? " file, " : " files, ") << attention_
                    << " need" << (attention_ == 1 ? "s" : "") << " repair or attention\n";
            }
        });
        return exitCode;
    }

private:
    void add(const CheckedFile& file) {
        ++files_;
        attention_ += needsAttention(file) ? 1 : 0;
        if (json_) {
            fileJson_.push_back(checkJson(file));
        } else {
            out_.piece([&](std::ostream& out) { printCheckText(file, out); });
        }
    }

    // The take sheet beside a target's files, and whether this run sees it for the first time:
    // a directory's, or a stream file's directory's (a file of another name has none).
    std::pair<const SheetReport*, bool> sheetOf(const Target& target) {
        std::filesystem::path directory = target.argument;
        if (!target.directory) {
            if (!streamFileIndex(target.argument.filename())) {
                return {nullptr, false};
            }
            directory = target.argument.has_parent_path() ? target.argument.parent_path()
                                                          : std::filesystem::path(".");
        }
        const std::filesystem::path key = (directory / "").lexically_normal();
        auto known = sheets_.find(key);
        const bool firstSight = known == sheets_.end();
        if (firstSight) {
            known = sheets_.emplace(key, readSheetReport(directory)).first;
        }
        return {known->second ? &*known->second : nullptr, firstSight};
    }

    // Every stream file the progress file names that the directory lacks.
    void reportMissing(const std::filesystem::path& directory,
                       const std::set<std::uint32_t>& present, std::uint32_t named,
                       const TakeSheetRecord* sheet) {
        for (std::uint32_t i = 0; i < named; ++i) {
            if (!present.contains(i)) {
                CheckedFile missing;
                missing.report.path = streamFilePath(directory, i);
                missing.report.error = "missing, though " + std::string(kProgressFileName) +
                                       " names " + std::to_string(named) + " streams";
                compareWithSheet(missing, sheet);
                add(missing);
            }
        }
    }

    static std::string joined(const std::vector<std::string>& items) {
        std::string text;
        for (const auto& item : items) {
            text += (text.empty() ? "" : ",") + item;
        }
        return text;
    }

    bool json_;
    Report& out_;
    std::ostream& err_;
    const ToolSettings& settings_;
    std::vector<std::string> fileJson_;
    std::vector<std::string> progressJson_;
    std::vector<std::string> sheetJson_;
    std::map<std::filesystem::path, std::optional<SheetReport>> sheets_; // by directory
    std::size_t files_ = 0;
    std::size_t attention_ = 0;
    bool emptyDirectory_ = false;
    std::optional<DurableLengths> durable_; // of the directory being checked
};

int runCheck(const std::vector<Target>& targets, bool json, Report& out, std::ostream& err,
             const ToolSettings& settings) {
    CheckRun run(json, out, err, settings);
    for (const Target& target : targets) {
        run.checkTarget(target);
    }
    return run.finish();
}

// --- repair ------------------------------------------------------------------------------------

void printRepair(const std::filesystem::path& path, const RepairOutcome& outcome,
                 std::ostream& out) {
    const WavLayout& layout = outcome.before;
    for (const auto& temporary : outcome.removedTemporaries) {
        out << shown(temporary) << ": a leftover temporary of a repair that stopped, removed\n";
    }
    out << shown(path) << ": ";
    switch (outcome.action) {
    case RepairAction::LeftFinalised:
        out << "finalised, left as it is\n";
        return;
    case RepairAction::LeftEmpty:
        out << "empty: the capture stopped before this stream's header reached the disk; "
               "nothing to recover, left as it is\n";
        return;
    case RepairAction::Refused:
        out << "refused, left untouched: not a stream file of ours: " << outcome.message << '\n';
        return;
    case RepairAction::Failed:
    case RepairAction::BeingWritten:
        out << "not repaired, left as it was: " << outcome.message << '\n';
        return;
    case RepairAction::InPlace:
    case RepairAction::Rf64:
        break;
    }
    out << (outcome.action == RepairAction::Rf64 ? "rewritten as RF64: " : "repaired in place: ")
        << layout.frames << " frames, " << seconds(layout) << " s, " << layout.wholeFrameBytes()
        << " data bytes";
    if (layout.partialFrameBytes != 0) {
        out << "; a partial trailing frame of " << layout.partialFrameBytes << " bytes cut off";
    }
    if (outcome.tail.zeroBytes != 0) {
        out << "; " << outcome.tail.zeroBytes
            << " bytes of zeros past what the capture knew to be on the disk cut off";
    }
    if (outcome.tail.unverifiedBytes != 0) {
        out << "; " << outcome.tail.unverifiedBytes
            << " bytes past what the capture knew to be on the disk kept, unverified";
    }
    out << '\n';
}

// Every file is repaired whatever becomes of the report: a report that cannot be written
// fails the run only at its end.
int runRepair(const std::vector<Target>& targets, Report& out, std::ostream& err,
              const ToolSettings& settings) {
    std::size_t repaired = 0, finalised = 0, empty = 0, notRepaired = 0;
    for (const Target& target : targets) {
        // A capture stopped before its first stream file was made has nothing to recover.
        if (target.directory && target.files.empty()) {
            err << "vaskel_wav: no stream files (stream-<i>.wav) in " << shown(target.argument)
                << ": nothing to recover, nothing changed\n";
        }
        const std::optional<DurableLengths> durable = readDurableLengths(target);
        for (const TargetFile& entry : target.files) {
            RepairOutcome outcome;
            {
                ProgressBar bar(err, settings.progressBar, entry.path);
                RepairOptions options;
                options.progress = bar.callback();
                options.leftovers = entry.leftovers;
                options.durableBytes = durableLengthOf(durable, entry);
                outcome = repairStreamFile(entry.path, options);
            }
            out.piece([&](std::ostream& stream) { printRepair(entry.path, outcome, stream); });
            switch (outcome.action) {
            case RepairAction::InPlace:
            case RepairAction::Rf64:
                ++repaired;
                break;
            case RepairAction::LeftFinalised:
                ++finalised;
                break;
            case RepairAction::LeftEmpty:
                ++empty;
                break;
            case RepairAction::Refused:
            case RepairAction::BeingWritten:
            case RepairAction::Failed:
                ++notRepaired;
                break;
            }
        }
    }
    out.piece([&](std::ostream& stream) {
        stream << "repair: " << repaired << " repaired, " << finalised << " already finalised, "
               << (empty != 0 ? std::to_string(empty) + " empty, " : std::string()) << notRepaired
               << " not repaired\n";
    });
    return notRepaired != 0 ? kExitAttention : kExitOk;
}

int runCommand(const std::vector<platform::NativeString>& arguments, Report& out, std::ostream& err,
               const ToolSettings& settings) {
    const auto usage = [&err](const std::string& problem) {
        if (!problem.empty()) {
            err << "vaskel_wav: " << problem << '\n';
        }
        err << kUsage;
        return kExitTrouble;
    };
    if (arguments.empty()) {
        return usage("");
    }
    const platform::NativeString command = arguments[0];
    if (arguments.size() == 1 && (command == platform::nativeFromAscii("--help") ||
                                  command == platform::nativeFromAscii("help"))) {
        out.piece([](std::ostream& stream) { stream << kUsage << kHelp; });
        return kExitOk;
    }
    if (arguments.size() == 1 && command == platform::nativeFromAscii("--version")) {
        out.piece([](std::ostream& stream) { stream << "vaskel_wav " VASKEL_VERSION_STRING "\n"; });
        return kExitOk;
    }
    if (command == platform::nativeFromAscii("export")) {
        return runExport(
            {arguments.begin() + 1, arguments.end()},
            [&out](const std::string& text) { out.piece([&](std::ostream& s) { s << text; }); },
            err);
    }
    const bool check = command == platform::nativeFromAscii("check");
    if (!check && command != platform::nativeFromAscii("repair")) {
        return usage("unknown command " + shown(std::filesystem::path(command)));
    }
    bool json = false;
    std::vector<std::filesystem::path> paths;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const platform::NativeString& word = arguments[i];
        if (check && word == platform::nativeFromAscii("--json")) {
            json = true;
        } else if (word.size() > 1 && word[0] == '-' && word[1] == '-') {
            return usage("unknown option " + shown(std::filesystem::path(word)));
        } else {
            paths.emplace_back(word);
        }
    }
    if (paths.empty()) {
        return usage("no path given");
    }
    std::vector<Target> targets;
    if (!resolveTargets(paths, targets, err)) {
        return kExitTrouble;
    }
    try {
        return check ? runCheck(targets, json, out, err, settings)
                     : runRepair(targets, out, err, settings);
    } catch (const std::exception& error) {
        err << "vaskel_wav: " << error.what() << '\n';
        return kExitAttention;
    }
}

} // namespace

int wavToolMain(const std::vector<platform::NativeString>& arguments, std::ostream& out,
                std::ostream& err, const ToolSettings& settings) {
    Report report(out);
    const int exitCode = runCommand(arguments, report, err, settings);
    if (report.failure()) {
        err << "vaskel_wav: the report could not be written: " << report.failure().message()
            << '\n';
        return kExitTrouble;
    }
    return exitCode;
}

} // namespace vaskel::wav_tool
