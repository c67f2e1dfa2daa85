#include "test_support.h"

#include "output/wav_format.h"
#include "platform/file.h"
#include "test_platform.h"
#include "tools/producer/signal_source.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <sstream>
#include <system_error>
#include <type_traits>
#include <utility>

namespace vaskel::testing {

namespace {
std::atomic<std::uint32_t> nameCounter{0};

std::string uniqueSuffix(std::string_view tag) {
    return std::to_string(platform::currentProcessId()) + "-" +
           std::to_string(nameCounter.fetch_add(1)) + "-" + std::string(tag);
}
} // namespace

std::string platformNewlines(std::string_view text) {
    if (!kWindowsTarget) {
        return std::string(text);
    }
    std::string converted;
    for (char c : text) {
        if (c == '\n') {
            converted += '\r';
        }
        converted += c;
    }
    return converted;
}

std::string uniqueName(std::string_view tag) {
    return "vaskel-test-" + uniqueSuffix(tag);
}

platform::NativeString uniqueRegionName(std::string_view tag) {
    return native(uniqueName(tag));
}

// Under a name no one can guess, so nothing another user planted in the shared temporary
// directory is ever written through.
ScratchDir::ScratchDir(std::string_view tag) {
    platform::ErrorOr<std::filesystem::path> made = platform::createPrivateDirectory(
        std::filesystem::temp_directory_path(), "vaskel-" + std::string(tag) + "-");
    if (!made) {
        throw std::system_error(made.error(), "a scratch directory");
    }
    path_ = std::move(*made);
}

ScratchDir::~ScratchDir() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

void writeFile(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

LinkSwapper::LinkSwapper(std::filesystem::path path, std::filesystem::path decoy,
                         std::filesystem::path victim, std::string_view victimBytes)
    : path_(std::move(path)), decoy_(std::move(decoy)), victim_(std::move(victim)) {
    writeFile(victim_, victimBytes);
}

LinkSwapper::~LinkSwapper() {
    stop();
    std::error_code ignored;
    std::filesystem::remove(victim_, ignored);
}

bool LinkSwapper::start() {
    std::error_code linked;
    std::filesystem::create_symlink(victim_, decoy_, linked);
    if (linked || !exchangeNames(path_, decoy_)) {
        return false;
    }
    swapper_ = std::thread([this] {
        while (!stop_.load(std::memory_order_relaxed)) {
            static_cast<void>(exchangeNames(path_, decoy_));
        }
    });
    return true;
}

void LinkSwapper::stop() {
    stop_ = true;
    if (swapper_.joinable()) {
        swapper_.join();
    }
}

std::string LinkSwapper::stopAndReadVictim() {
    stop();
    return readFile(victim_);
}

bool LinkSwapper::again(int minimum, int maximum) {
    const bool more = tries_ < minimum || ((through_ == 0 || refused_ == 0) && tries_ < maximum);
    ++tries_;
    return more;
}

std::string wavHeaderBytes(std::uint32_t sampleRate, std::uint16_t channels,
                           std::uint32_t dataSize) {
    const auto header = makeWavHeader(sampleRate, channels, dataSize);
    return std::string(reinterpret_cast<const char*>(header.data()), header.size());
}

transport::TransportConfig makeConfig(std::uint32_t streams, std::uint32_t slots,
                                      std::uint32_t framesPerChunk, std::uint32_t channels,
                                      std::uint32_t sampleRate, std::uint64_t startFrame,
                                      std::uint64_t endFrame) {
    transport::TransportConfig config{};
    config.streamCount = streams;
    config.slotsPerStream = slots;
    config.framesPerChunk = framesPerChunk;
    config.channelCount = channels;
    config.sampleRate = sampleRate;
    config.logicalStartFrame = startFrame;
    config.logicalEndFrame = endFrame;
    return config;
}

float patternSample(std::uint32_t stream, std::uint64_t frame, std::uint32_t channel) {
    producer_tool::SignalSettings pattern;
    pattern.kind = producer_tool::SignalKind::Pattern;
    return producer_tool::sampleValue(pattern, stream, frame, channel);
}

std::vector<float> patternChunk(std::uint32_t stream, std::uint64_t firstFrame,
                                std::uint32_t frames, std::uint32_t channels) {
    std::vector<float> samples;
    samples.reserve(std::size_t{frames} * channels);
    for (std::uint32_t f = 0; f < frames; ++f) {
        for (std::uint32_t c = 0; c < channels; ++c) {
            samples.push_back(patternSample(stream, firstFrame + f, c));
        }
    }
    return samples;
}

std::filesystem::path rendererPath() {
    return platform::currentExecutablePath().parent_path() / ("vaskel_renderer" VASKEL_EXE_SUFFIX);
}

std::filesystem::path producerPath() {
    return platform::currentExecutablePath().parent_path() / ("vaskel_producer" VASKEL_EXE_SUFFIX);
}

RunningChild::RunningChild(const std::filesystem::path& program,
                           const std::vector<platform::NativeString>& arguments)
    : dir_("child") {
    platform::ErrorOr<platform::ChildProcess> started =
        platform::ChildProcess::start(program, arguments, dir_ / "stdout", dir_ / "stderr");
    if (started) {
        child_ = std::move(*started);
    } else {
        failure_ = platform::errorMessage(started.error());
    }
}

OtherUsersLock::OtherUsersLock(const std::filesystem::path& file) {
    if (!canActAsOtherUser() || !std::filesystem::exists("/usr/bin/setpriv") ||
        !std::filesystem::exists("/usr/bin/python3")) {
        return;
    }
    const std::string script =
        "exec 3<\"$1\" && exec /usr/bin/setpriv --reuid=" + std::to_string(kOtherUser) +
        " --regid=" + std::to_string(kOtherUser) +
        " --clear-groups /usr/bin/python3 -c 'import fcntl, time; fcntl.flock(3, "
        "fcntl.LOCK_EX); print(\"held\", flush=True); time.sleep(300)'";
    child_.emplace("/bin/sh", std::vector<platform::NativeString>{platform::nativeFromAscii("-c"),
                                                                  platform::nativeFromAscii(script),
                                                                  platform::nativeFromAscii("sh"),
                                                                  file.native()});
    if (!child_->started()) {
        return;
    }
    // Held once another holder is refused.
    for (int i = 0; i < 1000 && !held_; ++i) {
        platform::File probe;
        held_ = !probe.open(file, platform::File::Access::Read) && probe.lock();
        if (!held_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
}

ChildResult RunningChild::wait() {
    ChildResult result;
    result.exitCode = child_.wait();
    result.out = readFile(dir_ / "stdout");
    result.err = readFile(dir_ / "stderr");
    return result;
}

void RunningChild::kill() {
    child_.kill();
}

bool RunningChild::interrupt(StopSignal signal) {
    return interruptProcess(child_, signal);
}

ChildResult runChild(const std::filesystem::path& program,
                     const std::vector<platform::NativeString>& arguments) {
    RunningChild child(program, arguments);
    if (!child.started()) {
        // Said where a test compares the output, so a failed start shows why.
        return ChildResult{.exitCode = -1, .out = "", .err = "not started: " + child.failure()};
    }
    return child.wait();
}

ChildResult runRenderer(const std::vector<platform::NativeString>& arguments) {
    return runChild(rendererPath(), arguments);
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

platform::NativeString native(std::string_view ascii) {
    return platform::nativeFromAscii(ascii);
}

std::vector<platform::NativeString> nativeWords(const std::vector<std::string>& words) {
    std::vector<platform::NativeString> native;
    for (const std::string& word : words) {
        native.push_back(testing::native(word));
    }
    return native;
}

platform::NativeString nativeText(std::string_view utf8, std::u16string_view utf16) {
    if constexpr (std::is_same_v<platform::NativeChar, char>) {
        return platform::NativeString(utf8.begin(), utf8.end());
    } else {
        return platform::NativeString(utf16.begin(), utf16.end()); // wchar_t is UTF-16 there
    }
}

platform::NativeString nativePath(const std::filesystem::path& path) {
    return path.native();
}

} // namespace vaskel::testing
