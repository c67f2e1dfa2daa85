// The renderer as the child of a program that feeds it (vaskel_producer --run-renderer,
// vaskel_jack --output): started with its arguments, its standard output and error kept in a
// directory of its own and shown when it ends.
#pragma once

#include "platform/process.h"
#include "platform/time.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vaskel {

// The renderer a program installed beside it starts: vaskel_renderer in the directory of
// `program` when it is there, otherwise the bare name, which the start looks up in PATH.
std::filesystem::path rendererBeside(const std::filesystem::path& program);

class RendererChild {
public:
    RendererChild() = default;
    RendererChild(const RendererChild&) = delete;
    RendererChild& operator=(const RendererChild&) = delete;
    // A child still running is killed and waited for before its output files go.
    ~RendererChild();

    // False, with failure() telling why, when the child could not be started. Its output goes
    // to a directory of this run's own under a name no one can guess, created exclusively (POSIX:
    // for its owner only), and into files created there anew: nothing another user planted in
    // the temporary directory is ever written through.
    [[nodiscard]] bool
    start(const std::filesystem::path& program,
          const std::vector<platform::NativeString>& arguments,
          platform::ChildInterrupts interrupts = platform::ChildInterrupts::Shared);

    const std::string& failure() const { return failure_; }

    bool running() const { return static_cast<bool>(process_); }

    // The exit code once the child has ended.
    std::optional<int> poll();

    // Waits until the child ends, `deadline` passes or `stop` is set; then kills it. Returns its
    // exit code (-1 when killed).
    int finish(const platform::Deadline& deadline, const std::atomic<bool>* stop);

    // The child's output ("stdout" or "stderr"), its "\r\n" line ends (Windows text mode) turned
    // into "\n" so that passing it on through a text-mode stream does not double them.
    std::string output(const char* name) const;

private:
    std::filesystem::path dir_;
    platform::ChildProcess process_;
    std::optional<int> exit_;
    std::string failure_;
};

} // namespace vaskel
