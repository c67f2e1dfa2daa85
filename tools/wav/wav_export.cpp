// vaskel_wav export through libsndfile. Every source file is opened once by handle, checked as
// check would check it and read only through that handle; every file written is created anew,
// exclusively and without following a link, and libsndfile writes it through that handle
// (its virtual I/O), never by name.
#include "tools/wav/wav_export.h"

#include "common/byte_order.h"
#include "output/output_paths.h"
#include "platform/file.h"
#include "platform/process.h"
#include "tools/wav/wav_tool.h"
#include "wavfile/take_sheet.h"
#include "wavfile/wav_inspect.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <sndfile.h>
#include <vaskel/version.h>

namespace vaskel::wav_tool {

namespace {

constexpr std::uint64_t kBlockFrames = 16384;
// Ctrl-C, SIGTERM or SIGHUP: the file being written is removed rather than left half done.
constexpr int kExitInterrupted = 130;
std::atomic<bool> exportInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free); // set from a signal handler

void onExportInterrupt() {
    exportInterrupted.store(true);
}
// FLAC carries at most 8 channels.
constexpr std::uint32_t kFlacMaxChannels = 8;
// A RIFF file holds at most 4 GiB; beyond, the file is written as RF64. The margin covers the
// header and the comment.
constexpr std::uint64_t kRiffDataLimit = 0xFFFFFFFFull - (1 << 20);
// What is kept of the first bytes written, to find the fmt chunk once libsndfile is done.
constexpr std::size_t kHeadMirror = 512;

std::string pathText(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// One stream file, open and locked (so no repair changes it meanwhile), checked to be finalised.
struct Source {
    std::filesystem::path path;
    platform::File file;
    WavLayout layout;
    std::optional<std::uint32_t> index; // of stream-<i>.wav
};

// Why a source cannot be exported as it is, in words; empty when it can.
std::string openSource(Source& source, const platform::Directory* directory) {
    const std::error_code opened =
        directory != nullptr
            ? source.file.open(*directory, source.path.filename(), platform::File::Access::Read)
            : source.file.open(source.path, platform::File::Access::Read);
    if (opened) {
        return "cannot be read: " + platform::errorMessage(opened);
    }
    if (const std::error_code locked = source.file.lock()) {
        return locked == platform::Error::LockBusy
                   ? "in use by a capture or a repair: export it once that has ended"
                   : "its lock cannot be taken: " + platform::errorMessage(locked);
    }
    const platform::ErrorOr<WavLayout> head = readStreamHead(source.file);
    if (!head) {
        return "cannot be read: " + platform::errorMessage(head.error());
    }
    source.layout = *head;
    switch (source.layout.state) {
    case HeaderState::Finalised:
        return source.layout.channels == 0 ? "holds no channels" : "";
    case HeaderState::Placeholder:
    case HeaderState::SizeMismatch:
        return "damaged (its header is not finalised): run vaskel_wav repair first";
    case HeaderState::Empty:
        return "empty: the capture stopped before this stream's header reached the disk";
    case HeaderState::Unrecognised:
        break;
    }
    return "not a stream file of ours: " + source.layout.reason;
}

// A file created exclusively, written by libsndfile through its handle.
class ExportSink {
public:
    ExportSink(const platform::Directory& directory, std::filesystem::path name)
        : directory_(directory), name_(std::move(name)) {}
    ExportSink(const ExportSink&) = delete;
    ExportSink& operator=(const ExportSink&) = delete;
    // A file not finished is removed: a half-written export is no export.
    ~ExportSink() {
        if (file_.isOpen()) {
            (void)file_.close();
            (void)directory_.remove(name_);
        }
    }

    [[nodiscard]] std::error_code create() {
        return file_.create(directory_, name_, platform::NewFile::Readers::Anyone);
    }

    SF_VIRTUAL_IO io() const {
        return {&ExportSink::length, &ExportSink::seek, &ExportSink::read, &ExportSink::write,
                &ExportSink::tell};
    }

    // Gives a WAVE_FORMAT_EXTENSIBLE header the channel mask 0: the channels are ports, not
    // speakers, and libsndfile would otherwise name 4, 6 or 8 of them quad, 5.1 or 7.1.
    [[nodiscard]] std::error_code clearSpeakerMask() {
        std::size_t at = 12;
        while (at + 8 <= std::min(size_, kHeadMirror)) {
            const std::uint64_t bytes = loadLE32(head_, at + 4);
            if (std::memcmp(&head_[at], "fmt ", 4) == 0) {
                constexpr std::size_t kTagAt = 8, kMaskAt = 8 + 20;
                if (bytes >= 40 && at + kMaskAt + 4 <= kHeadMirror &&
                    loadLE16(head_, at + kTagAt) == 0xFFFE) {
                    const std::array<std::uint8_t, 4> zero{};
                    return file_.writeAt(at + kMaskAt, zero.data(), zero.size());
                }
                return {};
            }
            at += 8 + bytes + (bytes & 1);
        }
        return {};
    }

    [[nodiscard]] std::error_code finish() {
        if (error_) {
            return error_;
        }
        if (const std::error_code synced = file_.sync()) {
            return synced;
        }
        return file_.close();
    }

    const std::error_code& error() const { return error_; }

private:
    static ExportSink& of(void* user) { return *static_cast<ExportSink*>(user); }
    static sf_count_t length(void* user) { return static_cast<sf_count_t>(of(user).size_); }
    static sf_count_t seek(sf_count_t offset, int whence, void* user) {
        ExportSink& sink = of(user);
        const sf_count_t base = whence == SEEK_CUR   ? static_cast<sf_count_t>(sink.position_)
                                : whence == SEEK_END ? static_cast<sf_count_t>(sink.size_)
                                                     : 0;
        if (base + offset < 0) {
            return -1;
        }
        sink.position_ = static_cast<std::uint64_t>(base + offset);
        return base + offset;
    }
    // libsndfile writes these formats without reading back.
    static sf_count_t read(void*, sf_count_t, void*) { return 0; }
    static sf_count_t write(const void* data, sf_count_t bytes, void* user) {
        ExportSink& sink = of(user);
        if (sink.error_ || bytes < 0) {
            return 0;
        }
        const auto count = static_cast<std::size_t>(bytes);
        if (sink.position_ < kHeadMirror) {
            std::memcpy(&sink.head_[sink.position_], data,
                        std::min<std::size_t>(count, kHeadMirror - sink.position_));
        }
        sink.error_ = sink.file_.writeAt(sink.position_, data, count);
        if (sink.error_) {
            return 0;
        }
        sink.position_ += count;
        sink.size_ = std::max(sink.size_, sink.position_);
        return bytes;
    }
    static sf_count_t tell(void* user) { return static_cast<sf_count_t>(of(user).position_); }

    const platform::Directory& directory_;
    std::filesystem::path name_;
    platform::NewFile file_;
    std::uint64_t position_ = 0;
    std::uint64_t size_ = 0;
    std::array<std::uint8_t, kHeadMirror> head_{};
    std::error_code error_;
};

struct SfCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};
using SoundFile = std::unique_ptr<SNDFILE, SfCloser>;

// One channel of the output: where it comes from and what it is called.
struct ChannelSource {
    std::size_t source;    // in the sources
    std::uint16_t channel; // in that source's frames
    std::string name;      // the port, or the file and channel
};

// One file to write: its channels, from one source or (merged) from many.
struct Job {
    std::filesystem::path name; // in the destination directory
    std::vector<std::size_t> sources;
    std::vector<ChannelSource> channels;
    std::uint32_t sampleRate = 0;
    std::uint64_t frames = 0; // the longest source's
};

struct JobResult {
    std::uint64_t clipped = 0;
    std::uint64_t notANumber = 0;
    std::uint64_t padded = 0; // sources shorter than the longest, ended with silence
};

int formatCode(const ExportFormatInfo& format, const Job& job) {
    if (format.format == ExportFormat::Flac) {
        return SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
    }
    const int subtype = format.bits == 16   ? SF_FORMAT_PCM_16
                        : format.bits == 24 ? SF_FORMAT_PCM_24
                        : format.bits == 32 ? SF_FORMAT_PCM_32
                                            : SF_FORMAT_FLOAT;
    const std::uint64_t dataBytes =
        job.frames * job.channels.size() * (format.bits == 0 ? 4 : format.bits / 8);
    if (dataBytes > kRiffDataLimit) {
        return SF_FORMAT_RF64 | subtype;
    }
    return (job.channels.size() > 2 ? SF_FORMAT_WAVEX : SF_FORMAT_WAV) | subtype;
}

// The channels' names, for the file's comment and the report.
std::string channelList(const Job& job) {
    std::string text;
    for (std::size_t i = 0; i < job.channels.size(); ++i) {
        text += (i == 0 ? "" : "; ") + std::to_string(i + 1) + ": " + job.channels[i].name;
    }
    return text;
}

// Writes one job; an empty error when the file is complete.
std::error_code writeJob(const Job& job, std::vector<Source>& sources,
                         const ExportFormatInfo& format, const platform::Directory& directory,
                         std::uint64_t seed, JobResult& result, std::string& failure) {
    ExportSink sink(directory, job.name);
    if (const std::error_code created = sink.create()) {
        failure = "cannot be created: " + platform::errorMessage(created);
        return created;
    }
    SF_INFO info{};
    info.samplerate = static_cast<int>(job.sampleRate);
    info.channels = static_cast<int>(job.channels.size());
    info.format = formatCode(format, job);
    SF_VIRTUAL_IO io = sink.io();
    SoundFile out(sf_open_virtual(&io, SFM_WRITE, &info, &sink));
    if (!out) {
        failure = std::string("libsndfile refused it: ") + sf_strerror(nullptr);
        return std::make_error_code(std::errc::invalid_argument);
    }
    const std::string comment = "vaskel channels: " + channelList(job);
    sf_set_string(out.get(), SF_STR_COMMENT, comment.c_str());
    sf_set_string(out.get(), SF_STR_SOFTWARE, "vaskel_wav " VASKEL_VERSION_STRING);

    const std::size_t width = job.channels.size();
    std::vector<float> frames(kBlockFrames * width);
    std::vector<std::int32_t> integers(format.bits != 0 ? frames.size() : 0);
    std::vector<std::uint8_t> bytes;
    std::vector<Quantiser> quantisers;
    for (std::size_t c = 0; c < width; ++c) {
        quantisers.emplace_back(format.bits == 0 ? 32 : format.bits, format.dither,
                                seed * 1024 + c);
    }
    for (std::uint64_t first = 0; first < job.frames; first += kBlockFrames) {
        if (exportInterrupted.load()) {
            failure = "interrupted";
            return std::make_error_code(std::errc::interrupted);
        }
        const std::uint64_t count = std::min(kBlockFrames, job.frames - first);
        std::fill(frames.begin(), frames.end(), 0.0f);
        std::size_t column = 0;
        for (const std::size_t index : job.sources) {
            Source& source = sources[index];
            const WavLayout& layout = source.layout;
            const std::uint64_t have =
                first < layout.frames ? std::min(count, layout.frames - first) : 0;
            const std::size_t want = static_cast<std::size_t>(have * layout.blockAlign());
            bytes.resize(want);
            if (want != 0) {
                const platform::ErrorOr<std::size_t> got = source.file.readAt(
                    layout.dataOffset + first * layout.blockAlign(), bytes.data(), want);
                if (!got || *got != want) {
                    failure = pathText(source.path) + " cannot be read: " +
                              (got ? std::string("it is shorter than its header says")
                                   : platform::errorMessage(got.error()));
                    return got ? make_error_code(platform::Error::ShortRead) : got.error();
                }
            }
            for (std::uint64_t f = 0; f < have; ++f) {
                for (std::uint16_t c = 0; c < layout.channels; ++c) {
                    const auto bits = static_cast<std::uint32_t>(
                        loadLE32(bytes, static_cast<std::size_t>((f * layout.channels + c) * 4)));
                    frames[f * width + column + c] = std::bit_cast<float>(bits);
                }
            }
            column += layout.channels;
        }
        const std::size_t samples = static_cast<std::size_t>(count * width);
        sf_count_t written = 0;
        if (format.bits == 0) {
            written = sf_write_float(out.get(), frames.data(), static_cast<sf_count_t>(samples));
        } else {
            for (std::size_t i = 0; i < samples; ++i) {
                integers[i] = quantisers[i % width](frames[i]);
            }
            written = sf_write_int(out.get(), integers.data(), static_cast<sf_count_t>(samples));
        }
        if (written != static_cast<sf_count_t>(samples)) {
            const std::error_code error =
                sink.error() ? sink.error() : std::make_error_code(std::errc::io_error);
            failure = "cannot be written: " + platform::errorMessage(error);
            return error;
        }
    }
    if (sf_close(out.release()) != 0 || sink.error()) {
        const std::error_code error =
            sink.error() ? sink.error() : std::make_error_code(std::errc::io_error);
        failure = "cannot be finished: " + platform::errorMessage(error);
        return error;
    }
    std::error_code done = sink.clearSpeakerMask();
    if (!done) {
        done = sink.finish();
    }
    if (done) {
        failure = "cannot be finished: " + platform::errorMessage(done);
        return done;
    }
    for (const std::size_t index : job.sources) {
        result.padded += sources[index].layout.frames < job.frames ? 1 : 0;
    }
    for (const Quantiser& quantiser : quantisers) {
        result.clipped += format.bits != 0 ? quantiser.clipped() : 0;
        result.notANumber += format.bits != 0 ? quantiser.notANumber() : 0;
    }
    return {};
}

struct ExportRequest {
    std::filesystem::path source;
    std::filesystem::path destination;
    const ExportFormatInfo* format = nullptr;
    bool merge = false;
};

constexpr const char* kExportUsage = "usage: vaskel_wav export <output-root | file.wav> <dest> "
                                     "--format wav16|wav24|wav32|float|flac [--merge]\n";

class ExportRun {
public:
    ExportRun(const ExportRequest& request, const std::function<void(const std::string&)>& say,
              std::ostream& err)
        : request_(request), say_(say), err_(err) {}

    int run() {
        if (const int refused = gatherSources()) {
            return refused;
        }
        if (const int refused = planJobs()) {
            return refused;
        }
        if (const int refused = openDestination()) {
            return refused;
        }
        std::uint64_t clipped = 0;
        std::size_t written = 0;
        for (std::size_t i = 0; i < jobs_.size(); ++i) {
            const Job& job = jobs_[i];
            JobResult result;
            std::string failure;
            const std::filesystem::path shownDest =
                request_.merge ? request_.destination : request_.destination / job.name;
            if (writeJob(job, sources_, *request_.format, destination_, i, result, failure)) {
                err_ << "vaskel_wav: " << pathText(shownDest) << ": " << failure
                     << "; nothing of it is kept\n";
                summary(written, clipped, false);
                return exportInterrupted.load() ? kExitInterrupted : kExitAttention;
            }
            ++written;
            clipped += result.clipped;
            report(job, shownDest, result);
        }
        if (const std::error_code synced = destination_.sync()) {
            err_ << "vaskel_wav: the new files' names cannot be made durable: "
                 << platform::errorMessage(synced) << '\n';
            return kExitAttention;
        }
        summary(written, clipped, true);
        return kExitOk;
    }

private:
    void summary(std::size_t written, std::uint64_t clipped, bool complete) {
        say_("export: " + std::to_string(written) + (written == 1 ? " file" : " files") +
             " written" + (complete ? "" : " before the failure") + ", " + std::to_string(clipped) +
             " samples clipped\n");
    }

    void report(const Job& job, const std::filesystem::path& dest, const JobResult& result) {
        std::string text;
        for (std::size_t i = 0; i < job.sources.size(); ++i) {
            text += (i == 0 ? "" : " + ") + pathText(sources_[job.sources[i]].path.filename());
        }
        text += " -> " + pathText(dest) + ": " + std::to_string(job.frames) + " frames, " +
                std::to_string(job.channels.size()) +
                (job.channels.size() == 1 ? " channel, " : " channels, ") +
                std::to_string(job.sampleRate) + " Hz, " + std::string(request_.format->described) +
                "; " + std::to_string(result.clipped) + " samples clipped";
        if (result.notANumber != 0) {
            text += ", " + std::to_string(result.notANumber) + " NaN samples written as 0";
        }
        if (result.padded != 0) {
            text += ", " + std::to_string(result.padded) + " shorter streams ended with silence";
        }
        text += '\n';
        if (request_.merge) {
            for (std::size_t i = 0; i < job.channels.size(); ++i) {
                text += "  channel " + std::to_string(i + 1) + ": " + job.channels[i].name + '\n';
            }
        }
        say_(text);
    }

    // Every source opened and checked before anything is written.
    int gatherSources() {
        std::error_code error;
        const auto status = std::filesystem::status(request_.source, error);
        if (status.type() == std::filesystem::file_type::not_found) {
            err_ << "vaskel_wav: cannot read " << pathText(request_.source)
                 << ": no such file or directory\n";
            return kExitTrouble;
        }
        if (status.type() == std::filesystem::file_type::directory) {
            sourceDirectory_ = request_.source;
            if (const std::error_code opened = sourceHandle_.open(request_.source)) {
                err_ << "vaskel_wav: cannot read the directory " << pathText(request_.source)
                     << ": " << platform::errorMessage(opened) << '\n';
                return kExitTrouble;
            }
            std::map<std::uint32_t, std::filesystem::path> byIndex;
            for (std::filesystem::directory_iterator it(request_.source, error), end;
                 !error && it != end; it.increment(error)) {
                if (const auto index = streamFileIndex(it->path().filename())) {
                    byIndex[*index] = it->path();
                }
            }
            if (error) {
                err_ << "vaskel_wav: cannot read the directory " << pathText(request_.source)
                     << '\n';
                return kExitTrouble;
            }
            if (byIndex.empty()) {
                err_ << "vaskel_wav: no stream files (stream-<i>.wav) in "
                     << pathText(request_.source) << '\n';
                return kExitTrouble;
            }
            for (auto& [index, path] : byIndex) {
                sources_.push_back(Source{path, {}, {}, index});
            }
        } else {
            sourceDirectory_ = request_.source.has_parent_path() ? request_.source.parent_path()
                                                                 : std::filesystem::path(".");
            sources_.push_back(
                Source{request_.source, {}, {}, streamFileIndex(request_.source.filename())});
        }
        std::size_t refused = 0;
        for (Source& source : sources_) {
            const std::string why =
                openSource(source, sourceHandle_.isOpen() ? &sourceHandle_ : nullptr);
            if (!why.empty()) {
                err_ << "vaskel_wav: " << pathText(source.path) << ": " << why << '\n';
                ++refused;
            }
        }
        if (refused != 0) {
            err_ << "vaskel_wav: nothing exported\n";
            return kExitAttention;
        }
        return 0;
    }

    // The take sheet beside the sources, when there is one: the merged file's channel order and
    // names. A sheet that cannot be read leaves the order of the stream indexes.
    std::optional<TakeSheetRecord> takeSheet() {
        const platform::ErrorOr<std::string> text =
            platform::readSmallRegularFile(sourceDirectory_ / kTakeSheetName, kTakeSheetLimit);
        if (!text) {
            if (text.error() != std::errc::no_such_file_or_directory) {
                err_ << "vaskel_wav: " << pathText(sourceDirectory_ / kTakeSheetName)
                     << " cannot be read (" << platform::errorMessage(text.error())
                     << "): channels in the order of the stream files\n";
            }
            return std::nullopt;
        }
        std::optional<TakeSheetRecord> sheet = parseTakeSheet(*text);
        if (!sheet) {
            err_ << "vaskel_wav: " << pathText(sourceDirectory_ / kTakeSheetName)
                 << " is not a take sheet of ours: channels in the order of the stream files\n";
        }
        return sheet;
    }

    static std::string channelName(const Source& source, std::uint16_t channel,
                                   const TakeSheetStream* stream) {
        const std::string file = pathText(source.path.filename());
        const std::string place =
            source.layout.channels == 1 ? file : file + " channel " + std::to_string(channel + 1);
        if (stream == nullptr || channel >= stream->ports.size()) {
            return place;
        }
        const SheetPort& port = stream->ports[channel];
        return port ? *port + " (" + place + ")" : place + " (unconnected)";
    }

    int planJobs() {
        const std::string extension(request_.format->extension);
        if (!request_.merge) {
            for (std::size_t i = 0; i < sources_.size(); ++i) {
                Job job;
                job.name = sources_[i].path.filename().replace_extension(extension);
                job.sources = {i};
                addChannels(job, i, nullptr);
                jobs_.push_back(std::move(job));
            }
            return checkChannelLimits();
        }
        Job job;
        job.name = request_.destination.filename();
        const std::optional<TakeSheetRecord> sheet = takeSheet();
        std::vector<std::pair<std::size_t, const TakeSheetStream*>> order;
        if (sheet && sourceHandle_.isOpen()) {
            std::map<std::uint32_t, std::size_t> byIndex;
            for (std::size_t i = 0; i < sources_.size(); ++i) {
                byIndex[*sources_[i].index] = i;
            }
            for (const TakeSheetStream& stream : sheet->streams) {
                const auto found = byIndex.find(stream.index);
                if (found == byIndex.end()) {
                    err_ << "vaskel_wav: the take sheet names " << streamFileName(stream.index)
                         << ", which " << pathText(request_.source) << " lacks: nothing exported\n";
                    return kExitAttention;
                }
                order.emplace_back(found->second, &stream);
                byIndex.erase(found);
            }
            for (const auto& [index, source] : byIndex) {
                err_ << "vaskel_wav: " << streamFileName(index)
                     << " is not in the take sheet: left out of the merged file\n";
            }
        } else {
            for (std::size_t i = 0; i < sources_.size(); ++i) {
                order.emplace_back(i, nullptr);
            }
        }
        for (const auto& [index, stream] : order) {
            if (sources_[index].layout.sampleRate !=
                sources_[order.front().first].layout.sampleRate) {
                err_ << "vaskel_wav: " << pathText(sources_[index].path) << " has "
                     << sources_[index].layout.sampleRate << " Hz, "
                     << pathText(sources_[order.front().first].path) << " "
                     << sources_[order.front().first].layout.sampleRate
                     << " Hz: files of different rates cannot be merged\n";
                return kExitAttention;
            }
            job.sources.push_back(index);
            addChannels(job, index, stream);
        }
        jobs_.push_back(std::move(job));
        return checkChannelLimits();
    }

    void addChannels(Job& job, std::size_t index, const TakeSheetStream* stream) {
        const Source& source = sources_[index];
        job.sampleRate = source.layout.sampleRate;
        job.frames = std::max(job.frames, source.layout.frames);
        for (std::uint16_t c = 0; c < source.layout.channels; ++c) {
            job.channels.push_back({index, c, channelName(source, c, stream)});
        }
    }

    int checkChannelLimits() {
        for (const Job& job : jobs_) {
            if (request_.format->format == ExportFormat::Flac &&
                job.channels.size() > kFlacMaxChannels) {
                err_ << "vaskel_wav: FLAC holds at most " << kFlacMaxChannels << " channels, and "
                     << pathText(job.name) << " would have " << job.channels.size()
                     << ": use a WAV format for this merge\n";
                return kExitTrouble;
            }
        }
        return 0;
    }

    // The destination directory held open; no name to be written exists in it yet.
    int openDestination() {
        const std::filesystem::path folder = !request_.merge ? request_.destination
                                             : request_.destination.has_parent_path()
                                                 ? request_.destination.parent_path()
                                                 : std::filesystem::path(".");
        std::error_code error;
        if (!request_.merge && std::filesystem::symlink_status(folder, error).type() ==
                                   std::filesystem::file_type::not_found) {
            std::filesystem::create_directory(folder, error);
            if (error) {
                err_ << "vaskel_wav: cannot create the directory " << pathText(folder) << ": "
                     << error.message() << '\n';
                return kExitTrouble;
            }
        }
        if (const std::error_code opened = destination_.open(folder)) {
            err_ << "vaskel_wav: cannot write into " << pathText(folder) << ": "
                 << platform::errorMessage(opened) << '\n';
            return kExitTrouble;
        }
        std::size_t taken = 0;
        for (const Job& job : jobs_) {
            const auto status = std::filesystem::symlink_status(folder / job.name, error);
            if (status.type() != std::filesystem::file_type::not_found) {
                err_ << "vaskel_wav: " << pathText(folder / job.name)
                     << " exists: export never replaces a file\n";
                ++taken;
            }
        }
        if (taken != 0) {
            err_ << "vaskel_wav: nothing exported\n";
            return kExitAttention;
        }
        return 0;
    }

    const ExportRequest& request_;
    const std::function<void(const std::string&)>& say_;
    std::ostream& err_;
    std::filesystem::path sourceDirectory_;
    platform::Directory sourceHandle_; // when the source is a directory
    platform::Directory destination_;
    std::vector<Source> sources_;
    std::vector<Job> jobs_;
};

} // namespace

bool exportAvailable() {
    return true;
}

int runExport(const std::vector<platform::NativeString>& arguments,
              const std::function<void(const std::string&)>& say, std::ostream& err) {
    const auto usage = [&err](const std::string& problem) {
        err << "vaskel_wav: " << problem << '\n' << kExportUsage;
        return kExitTrouble;
    };
    ExportRequest request;
    std::vector<std::filesystem::path> paths;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const platform::NativeString& word = arguments[i];
        if (word == platform::nativeFromAscii("--merge")) {
            request.merge = true;
        } else if (word == platform::nativeFromAscii("--format")) {
            if (i + 1 == arguments.size()) {
                return usage("--format needs a format");
            }
            const std::string name = pathText(std::filesystem::path(arguments[++i]));
            request.format = exportFormatNamed(name);
            if (request.format == nullptr) {
                return usage("unknown format " + name);
            }
        } else if (word.size() > 1 && word[0] == '-' && word[1] == '-') {
            return usage("unknown option " + pathText(std::filesystem::path(word)));
        } else {
            paths.emplace_back(word);
        }
    }
    if (request.format == nullptr) {
        return usage("export needs --format");
    }
    if (paths.size() != 2) {
        return usage("export takes one source and one destination");
    }
    request.source = paths[0];
    request.destination = paths[1];
    platform::onInterrupt(&onExportInterrupt);
    if (request.merge && !request.destination.has_filename()) {
        return usage("with --merge the destination is a file");
    }
    return ExportRun(request, say, err).run();
}

} // namespace vaskel::wav_tool
