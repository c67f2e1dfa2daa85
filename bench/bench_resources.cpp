// The resource figures: the renderer's resident set, read from /proc while it runs; the page
// cache a capture leaves behind; the CPU time of the whole machine.
#include "bench_runner.h"

#include <atomic>
#include <ctime>
#include <fcntl.h>
#include <sstream>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace vaskel::bench {

std::optional<ResidentKb> parseProcStatus(std::string_view text) {
    ResidentKb resident;
    int found = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        std::uint64_t* target = nullptr;
        if (line.starts_with("RssAnon:")) {
            target = &resident.anon;
        } else if (line.starts_with("RssFile:")) {
            target = &resident.file;
        } else if (line.starts_with("RssShmem:")) {
            target = &resident.shmem;
        } else {
            continue;
        }
        const std::size_t digits = line.find_first_of("0123456789");
        if (digits == std::string_view::npos) {
            return std::nullopt;
        }
        std::uint64_t value = 0;
        for (std::size_t i = digits; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
            value = value * 10 + static_cast<std::uint64_t>(line[i] - '0');
        }
        *target = value;
        ++found;
    }
    if (found != 3) {
        return std::nullopt;
    }
    return resident;
}

namespace {

// /proc/<pid>/status read with plain system calls: once the process has gone, the read fails
// with ESRCH, which a file stream would turn into an exception on the sampling thread.
std::string readStatus(const std::string& path) {
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return text;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return text;
}

} // namespace

struct ResidentSampler::State {
    std::string path;
    std::atomic<bool> stop{false};
    ResidentKb peak;
    std::uint64_t samples = 0;
    std::thread thread;

    void loop() {
        while (!stop.load()) {
            if (const auto resident = parseProcStatus(readStatus(path))) {
                ++samples;
                if (resident->anon + resident->file > peak.anon + peak.file) {
                    peak = *resident;
                }
            }
            const timespec pause{0, 1000000};
            ::nanosleep(&pause, nullptr);
        }
    }
};

ResidentSampler::ResidentSampler(pid_t pid) : state_(std::make_unique<State>()) {
    state_->path = "/proc/" + std::to_string(pid) + "/status";
    state_->thread = std::thread([state = state_.get()] { state->loop(); });
}

ResidentSampler::~ResidentSampler() {
    stop();
}

void ResidentSampler::stop() {
    state_->stop.store(true);
    if (state_->thread.joinable()) {
        state_->thread.join();
    }
}

ResidentKb ResidentSampler::peak() const {
    return state_->peak;
}

std::uint64_t ResidentSampler::samples() const {
    return state_->samples;
}

namespace {

std::uint64_t pageCachedBytesOfFile(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0 || info.st_size == 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return 0;
    }
    const auto size = static_cast<std::size_t>(info.st_size);
    void* view = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (view == MAP_FAILED) {
        return 0;
    }
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> resident((size + page - 1) / page);
    std::uint64_t cached = 0;
    if (::mincore(view, size, resident.data()) == 0) {
        for (unsigned char flags : resident) {
            cached += (flags & 1) != 0 ? page : 0;
        }
    }
    ::munmap(view, size);
    return cached;
}

} // namespace

std::uint64_t pageCachedBytes(const std::filesystem::path& dir) {
    std::uint64_t cached = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        if (entry.is_regular_file(error)) {
            cached += pageCachedBytesOfFile(entry.path());
        }
    }
    return cached;
}

double machineBusySeconds() {
    std::istringstream line(readText("/proc/stat"));
    std::string cpu;
    line >> cpu;
    double busy = 0;
    for (int field = 0; field < 8; ++field) {
        double ticks = 0;
        line >> ticks;
        busy += field == 3 || field == 4 ? 0 : ticks; // idle, iowait
    }
    return busy / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

} // namespace vaskel::bench
