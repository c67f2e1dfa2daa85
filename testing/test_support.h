// Helpers the tests share: unique names, scratch directories, files, and the renderer binary
// run as a child process.
#pragma once

#include "platform/process.h"
#include "platform/text.h"
#include "test_platform.h"
#include "transport/transport_layout.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vaskel::testing {

// True when the tests run the Windows build (under Wine), where standard output is in text
// mode and every "\n" reaches a redirected file as "\r\n".
inline constexpr bool kWindowsTarget = std::string_view(VASKEL_EXE_SUFFIX) == ".exe";

// "\n" as the renderer's standard streams write it on this platform.
std::string platformNewlines(std::string_view text);

// A name no other test (or test process) uses, in plain text (for a command line).
std::string uniqueName(std::string_view tag);
// The same as a region name.
platform::NativeString uniqueRegionName(std::string_view tag);

// A fresh empty directory in the temporary directory, under a name no one can guess and
// (POSIX) open to its owner only; removed again by the destructor.
class ScratchDir {
public:
    explicit ScratchDir(std::string_view tag);
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, std::string_view bytes);

// An attacker who can write a directory: swaps a link into a file's place and back, over and
// over on a thread of its own, while a test races attempts against it. Counts which way each
// attempt went, so the race can go on until it has gone both ways: a busy machine may leave the
// thread unrun, and the link in place, for a while.
class LinkSwapper {
public:
    // `decoy`: the link's name, beside `path`. `victim`: someone else's file, which the link
    // names, made here with `victimBytes` and removed again by the destructor.
    LinkSwapper(std::filesystem::path path, std::filesystem::path decoy,
                std::filesystem::path victim, std::string_view victimBytes);
    ~LinkSwapper();
    LinkSwapper(const LinkSwapper&) = delete;
    LinkSwapper& operator=(const LinkSwapper&) = delete;

    // Puts the link at the decoy's name and starts swapping; false, with nothing started, where
    // there are no links or no atomic exchange of names.
    [[nodiscard]] bool start();
    // Stops swapping, the names left as the last swap left them, and reads the victim as it is.
    [[nodiscard]] std::string stopAndReadVictim();

    // Whether to make another attempt: always for the first `minimum`, then on until one has
    // gone through and one been refused, up to `maximum`. Counts the attempt it allows.
    [[nodiscard]] bool again(int minimum, int maximum);
    // How an attempt went; one that did neither is not counted.
    void wentThrough() { ++through_; }
    void wasRefused() { ++refused_; }
    int through() const { return through_; }

private:
    void stop();

    std::filesystem::path path_;
    std::filesystem::path decoy_;
    std::filesystem::path victim_;
    std::atomic<bool> stop_{false};
    std::thread swapper_;
    int tries_ = 0;
    int through_ = 0;
    int refused_ = 0;
};

// The stream file's bytes must be exactly this header followed by the samples.
std::string wavHeaderBytes(std::uint32_t sampleRate, std::uint16_t channels,
                           std::uint32_t dataSize);

transport::TransportConfig makeConfig(std::uint32_t streams, std::uint32_t slots,
                                      std::uint32_t framesPerChunk, std::uint32_t channels = 2,
                                      std::uint32_t sampleRate = 48000,
                                      std::uint64_t startFrame = 0, std::uint64_t endFrame = 0);

// The producer tool's pattern signal: a different exactly representable sample for every
// (stream, frame, channel) nearby.
float patternSample(std::uint32_t stream, std::uint64_t frame, std::uint32_t channel);

// `frames` interleaved frames of the pattern, starting at `firstFrame`.
std::vector<float> patternChunk(std::uint32_t stream, std::uint64_t firstFrame,
                                std::uint32_t frames, std::uint32_t channels);

// Paths of the programs built beside the test binary.
std::filesystem::path rendererPath();
std::filesystem::path producerPath();

struct ChildResult {
    int exitCode = -1;
    std::string out; // as written, newlines untouched
    std::string err;
};

// A program running as a child process with its output captured to files; killed by the
// destructor if it still runs.
class RunningChild {
public:
    RunningChild(const std::filesystem::path& program,
                 const std::vector<platform::NativeString>& arguments);
    bool started() const { return static_cast<bool>(child_); }
    // Why the child could not be started; empty when it was.
    const std::string& failure() const { return failure_; }
    ChildResult wait();
    void kill();
    // False where the platform cannot (see test_platform.h).
    bool interrupt(StopSignal signal);

private:
    ScratchDir dir_; // before the child, so the child has ended when its files go
    platform::ChildProcess child_;
    std::string failure_;
};

// The renderer running as a child process.
class RendererProcess : public RunningChild {
public:
    explicit RendererProcess(const std::vector<platform::NativeString>& arguments)
        : RunningChild(rendererPath(), arguments) {}
};

// A process of kOtherUser holding the lock File::lock takes on `file` (opened by this
// process's user, handed down, then the privileges dropped with setpriv), until destroyed.
// held() is false where that cannot be done: not root, no setpriv or python3, or Windows.
class OtherUsersLock {
public:
    explicit OtherUsersLock(const std::filesystem::path& file);
    bool held() const { return held_; }

private:
    std::optional<RunningChild> child_;
    bool held_ = false;
};

// Runs `program` to its end.
ChildResult runChild(const std::filesystem::path& program,
                     const std::vector<platform::NativeString>& arguments);

// Runs the renderer to its end.
ChildResult runRenderer(const std::vector<platform::NativeString>& arguments);

// The lines of a child's output, without line ends ("\r\n" or "\n").
std::vector<std::string> linesOf(const std::string& text);

// Native form of plain text (paths and numbers for a command line).
platform::NativeString native(std::string_view ascii);
std::vector<platform::NativeString> nativeWords(const std::vector<std::string>& words);

// Native form of other text as a command line carries it: the UTF-8 bytes on POSIX, the UTF-16
// units on Windows. Both spellings are given, so no conversion under test is trusted.
platform::NativeString nativeText(std::string_view utf8, std::u16string_view utf16);
platform::NativeString nativePath(const std::filesystem::path& path);

} // namespace vaskel::testing
