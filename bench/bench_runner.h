// What every figure family of the benchmark shares: timing and CPU accounting, child processes,
// the stream files, the region of a renderer run and the renderer run itself.
#pragma once

#include "bench_support.h"
#include "transport/transport_layout.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

namespace vaskel::producer {
class TransportProducer;
}

namespace vaskel::bench {

double seconds(std::int64_t ns);

// CPU time of the calling thread, so that a helper thread (the resident-set sampler) is not
// charged to the work.
struct Cpu {
    double user = 0;
    double sys = 0;
};
Cpu threadCpu();
void addCpu(RunFigures& figures, const Cpu& before, const Cpu& after);
void addCpu(RunFigures& figures, const rusage& usage);

// Sleeps until `deadlineNs` on CLOCK_MONOTONIC, through interruptions.
void sleepUntilNs(std::int64_t deadlineNs);

// --- files -----------------------------------------------------------------------------------

bool writeAll(int fd, const void* data, std::size_t bytes);
std::string readText(const std::filesystem::path& path);
std::array<std::uint8_t, 44> headerFor(const Workload& workload, std::uint64_t dataBytes);
// Creates every stream file with its placeholder header, as the renderer does; false on the
// first file that cannot be made.
bool openStreamFiles(const Workload& workload, const std::filesystem::path& outDir,
                     std::vector<int>& fds);
// fdatasync of every open file and then of the directory, as a renderer that reports a capture
// complete only once it is on disk does. False when one fails.
bool syncStreamFiles(const std::vector<int>& fds, const std::filesystem::path& outDir);
// Closes every open descriptor; false when a close failed.
bool closeAll(std::vector<int>& fds);

// --- child processes -------------------------------------------------------------------------

// A started child process. Standard input is `stdinFd` (or /dev/null when negative); standard
// output and error go to the given files.
pid_t spawn(const std::vector<std::string>& words, int stdinFd,
            const std::filesystem::path& stdoutPath, const std::filesystem::path& stderrPath);

struct Reaped {
    int exitCode = -1; // -1 when killed by a signal
    rusage usage{};
};
Reaped reap(pid_t pid);
bool hasExited(pid_t pid);

// --- renderer runs ---------------------------------------------------------------------------

std::string uniqueRegionName();
transport::TransportConfig configFor(const Workload& workload, std::uint32_t slots,
                                     bool declareEnd);
// Starts the renderer on region `name` writing into `outDir`; its output goes beside `outDir`.
pid_t startRenderer(const std::vector<std::string>& wrapper, const std::filesystem::path& renderer,
                    const std::string& name, const std::filesystem::path& outDir,
                    const std::string& idleMs, const std::string& openMs);
// A renderer run's verdict: a good run's captured output is dropped, a failed one's kept in the
// error text (unless an earlier step already explained the failure).
bool settleRendererLog(bool ok, int exitCode, const std::filesystem::path& outDir,
                       std::string& error);

// What a feed of the renderer's rings reports.
struct Fed {
    bool ok = true;
    std::uint64_t ringFullChunks = 0;
    std::string error;
};

// Publishes every chunk of the workload, one per stream in turn, and closes every stream. At
// `pace` 0 as fast as the rings take them; otherwise `pace` times real time, one chunk ahead,
// as vaskel_producer --pace does, counting the chunks that were due but found their ring full.
Fed feedRenderer(producer::TransportProducer& producer, const Workload& workload,
                 const SourceAudio& audio, double pace, pid_t renderer);

// Polls a process's resident set until stopped, keeping the sample with the largest
// anon + file part.
class ResidentSampler {
public:
    explicit ResidentSampler(pid_t pid);
    ~ResidentSampler();
    ResidentSampler(const ResidentSampler&) = delete;
    ResidentSampler& operator=(const ResidentSampler&) = delete;

    void stop();
    ResidentKb peak() const;
    std::uint64_t samples() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace vaskel::bench
