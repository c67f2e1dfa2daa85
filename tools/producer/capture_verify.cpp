#include "tools/producer/capture_verify.h"

#include "common/byte_order.h"
#include "output/output_paths.h"
#include "platform/file.h"
#include "tools/producer/signal_source.h"

#include <algorithm>
#include <cstring>
#include <sstream>

namespace vaskel::producer_tool {

namespace {

constexpr std::uint64_t kBlockFrames = 65536;

struct HeaderField {
    std::size_t offset;
    std::size_t size;
    const char* name;
};

constexpr HeaderField kHeaderFields[] = {
    {0, 4, "RIFF id"},      {4, 4, "RIFF size"},        {8, 4, "WAVE id"},
    {12, 4, "fmt id"},      {16, 4, "fmt size"},        {20, 2, "format tag"},
    {22, 2, "channels"},    {24, 4, "sample rate"},     {28, 4, "byte rate"},
    {32, 2, "block align"}, {34, 2, "bits per sample"}, {36, 4, "data id"},
    {40, 4, "data size"},
};

std::string describeHeaderDifference(std::span<const std::uint8_t> got,
                                     std::span<const std::uint8_t> want) {
    for (const HeaderField& field : kHeaderFields) {
        if (std::memcmp(&got[field.offset], &want[field.offset], field.size) == 0) {
            continue;
        }
        const auto value = [&](std::span<const std::uint8_t> header) {
            return loadLittleEndian(header.subspan(field.offset, field.size));
        };
        return std::string("header field ") + field.name + " (offset " +
               std::to_string(field.offset) + ") is " + std::to_string(value(got)) + ", expected " +
               std::to_string(value(want));
    }
    return "header differs";
}

std::string sampleText(float value) {
    std::ostringstream text;
    text.precision(9);
    text << value;
    return text.str();
}

// A progress file is one short line; anything much longer is not one, and is not read whole.
constexpr std::uint64_t kProgressLimit = 64 * 1024;
// What a message shows of a file's bytes at most.
constexpr std::size_t kExcerptBytes = 120;

// Why a file of the capture could not be opened, in words: the held root opens nothing that is
// a link, a FIFO, a device or a file with other names.
std::string unopenable(const std::error_code& error) {
    if (error == platform::Error::SymbolicLink || error == platform::Error::NotRegularFile ||
        error == platform::Error::HasOtherLinks) {
        return "not a regular file of the capture: " + error.message();
    }
    return "missing or unreadable";
}

// The start of `bytes` as text a terminal shows as it is: printable ASCII kept, a backslash and
// every other byte escaped, cut at kExcerptBytes.
std::string excerpt(const std::string& bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size() && i < kExcerptBytes; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
            text += static_cast<char>(byte);
        } else {
            constexpr char kDigits[] = "0123456789abcdef";
            text += "\\x";
            text += kDigits[byte >> 4];
            text += kDigits[byte & 15];
        }
    }
    if (bytes.size() > kExcerptBytes) {
        text += "... (" + std::to_string(bytes.size()) + " bytes)";
    }
    return text;
}

// Opens the stream file in the held root and checks its size and header. Empty when both are as
// expected, else what differs.
std::string openStreamFile(const platform::Directory& root, const std::string& name,
                           const SignalSettings& signal, platform::File& file) {
    const std::uint64_t dataBytes = std::uint64_t{signal.channels} * signal.frames * 4;
    if (const std::error_code error = file.open(root, name, platform::File::Access::Read)) {
        return unopenable(error);
    }
    const platform::ErrorOr<std::uint64_t> size = file.size();
    if (!size) {
        return "missing or unreadable";
    }
    if (*size != 44 + dataBytes) {
        return "size " + std::to_string(*size) + " bytes, expected " +
               std::to_string(44 + dataBytes);
    }
    std::array<unsigned char, 44> header{};
    const platform::ErrorOr<std::size_t> got = file.readAt(0, header.data(), header.size());
    if (!got || *got != header.size()) {
        return "header unreadable";
    }
    const auto want = expectedWavHeader(signal.sampleRate, signal.channels, dataBytes);
    return header == want ? std::string() : describeHeaderDifference(header, want);
}

// Compares every sample after the header with the signal. Empty when all match, else how many
// differ and the first of them.
std::string compareSamples(const platform::File& file, const SignalSettings& signal,
                           std::uint32_t stream) {
    const std::uint32_t channels = signal.channels;
    std::vector<float> expected;
    std::vector<float> actual;
    std::uint64_t differing = 0;
    std::string first;
    for (std::uint64_t done = 0; done < signal.frames;) {
        const auto frames =
            static_cast<std::uint32_t>(std::min(kBlockFrames, signal.frames - done));
        renderFrames(signal, stream, signal.startFrame + done, frames, expected);
        actual.resize(expected.size());
        const std::size_t bytes = actual.size() * sizeof(float);
        const platform::ErrorOr<std::size_t> got =
            file.readAt(44 + done * channels * sizeof(float), actual.data(), bytes);
        if (!got || *got != bytes) {
            return "samples unreadable after frame " + std::to_string(done);
        }
        for (std::size_t i = 0; i < expected.size(); ++i) {
            // Bit patterns, not values: the renderer must copy bytes, and -0.0 or a NaN would
            // compare wrongly as floats.
            if (std::memcmp(&expected[i], &actual[i], sizeof(float)) == 0) {
                continue;
            }
            if (differing++ == 0) {
                first = "frame " + std::to_string(signal.startFrame + done + i / channels) +
                        " channel " + std::to_string(i % channels) + ": got " +
                        sampleText(actual[i]) + ", expected " + sampleText(expected[i]);
            }
        }
        done += frames;
    }
    if (differing != 0) {
        return std::to_string(differing) + " samples differ, first at " + first;
    }
    return {};
}

FileVerdict verifyStream(const platform::Directory& root, const SignalSettings& signal,
                         std::uint32_t stream) {
    FileVerdict verdict;
    verdict.name = streamFileName(stream);
    platform::File file;
    verdict.detail = openStreamFile(root, verdict.name, signal, file);
    if (verdict.detail.empty()) {
        verdict.detail = compareSamples(file, signal, stream);
    }
    if (!verdict.detail.empty()) {
        return verdict;
    }
    verdict.ok = true;
    verdict.detail = std::to_string(signal.frames) + " frames, " + std::to_string(signal.channels) +
                     " channels, " + std::to_string(signal.sampleRate) + " Hz";
    return verdict;
}

// Read through the held root, a regular file of bounded size only; what differs is shown as an
// escaped excerpt, never as the file's raw bytes.
FileVerdict verifyProgress(const platform::Directory& root, const SignalSettings& signal) {
    FileVerdict verdict;
    verdict.name = kProgressFileName;
    platform::File file;
    if (const std::error_code error = file.open(root, verdict.name, platform::File::Access::Read)) {
        verdict.detail = unopenable(error);
        return verdict;
    }
    const platform::ErrorOr<std::uint64_t> size = file.size();
    if (!size) {
        verdict.detail = "missing or unreadable";
        return verdict;
    }
    if (*size > kProgressLimit) {
        verdict.detail = "too large for a progress file (" + std::to_string(*size) + " bytes)";
        return verdict;
    }
    std::string content(static_cast<std::size_t>(*size), '\0');
    const platform::ErrorOr<std::size_t> got = file.readAt(0, content.data(), content.size());
    if (!got) {
        verdict.detail = "missing or unreadable";
        return verdict;
    }
    content.resize(*got);
    const std::string want = expectedProgress(signal);
    verdict.ok = content == want;
    verdict.detail = verdict.ok ? content : "is " + excerpt(content) + ", expected " + want;
    return verdict;
}

} // namespace

bool VerifyReport::ok() const {
    return progress.ok && std::all_of(streams.begin(), streams.end(),
                                      [](const FileVerdict& verdict) { return verdict.ok; });
}

std::array<unsigned char, 44> expectedWavHeader(std::uint32_t sampleRate, std::uint32_t channels,
                                                std::uint64_t dataBytes) {
    std::array<unsigned char, 44> header{};
    const std::span<std::uint8_t> at = header;
    const auto data = static_cast<std::uint32_t>(dataBytes);
    std::memcpy(&at[0], "RIFF", 4);
    storeLE32(at, 4, data + 36);
    std::memcpy(&at[8], "WAVEfmt ", 8);
    storeLE32(at, 16, 16);
    storeLE16(at, 20, 3); // IEEE float
    storeLE16(at, 22, static_cast<std::uint16_t>(channels));
    storeLE32(at, 24, sampleRate);
    storeLE32(at, 28, sampleRate * channels * 4);
    storeLE16(at, 32, static_cast<std::uint16_t>(channels * 4));
    storeLE16(at, 34, 32);
    std::memcpy(&at[36], "data", 4);
    storeLE32(at, 40, data);
    return header;
}

std::string expectedProgress(const SignalSettings& signal) {
    const std::uint64_t streams = signal.streams;
    const std::uint64_t written = streams * signal.frames;
    const bool declared = signal.endFrame >= signal.startFrame;
    const std::uint64_t span = declared ? signal.endFrame - signal.startFrame : 0;
    const std::uint64_t completed = span == 0 ? 0 : std::min(written / span, streams);
    const std::uint64_t active = signal.frames == 0 ? 0 : streams;
    return "{\"schemaVersion\":1,\"state\":\"complete\",\"streamCount\":" +
           std::to_string(streams) + ",\"activeStreams\":" + std::to_string(active) +
           ",\"completedStreams\":" + std::to_string(completed) +
           ",\"writtenFrames\":" + std::to_string(written) +
           ",\"totalFrames\":" + std::to_string(streams * span) + "}";
}

VerifyReport verifyCapture(const std::filesystem::path& root, const SignalSettings& signal) {
    VerifyReport report;
    // Every file read in the one root walked and held here, whatever its path names meanwhile.
    platform::Directory held;
    if (const std::error_code error = held.open(root)) {
        const std::string why = "output root not opened: " + error.message();
        for (std::uint32_t stream = 0; stream < signal.streams; ++stream) {
            report.streams.push_back({streamFileName(stream), false, why});
        }
        report.progress = {kProgressFileName, false, why};
        return report;
    }
    for (std::uint32_t stream = 0; stream < signal.streams; ++stream) {
        report.streams.push_back(verifyStream(held, signal, stream));
    }
    report.progress = verifyProgress(held, signal);
    return report;
}

void printReport(const VerifyReport& report, std::ostream& out) {
    std::size_t good = 0;
    for (const FileVerdict& verdict : report.streams) {
        good += verdict.ok ? 1 : 0;
        out << verdict.name << ": " << (verdict.ok ? "ok, " : "DIFFERS: ") << verdict.detail
            << '\n';
    }
    out << report.progress.name << ": " << (report.progress.ok ? "ok, " : "DIFFERS: ")
        << report.progress.detail << '\n';
    out << "verify: " << (report.ok() ? "ok" : "FAILED") << ", " << good << " of "
        << report.streams.size() << " stream files match, progress file "
        << (report.progress.ok ? "matches" : "differs") << '\n';
}

} // namespace vaskel::producer_tool
