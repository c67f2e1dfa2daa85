#include "entry/renderer_child.h"

#include <fstream>
#include <iterator>

namespace vaskel {

std::filesystem::path rendererBeside(const std::filesystem::path& program) {
    // The renderer's name takes the suffix the program's own name has (".exe" on Windows).
    const std::filesystem::path name = program.extension() == ".exe"
                                           ? std::filesystem::path("vaskel_renderer.exe")
                                           : std::filesystem::path("vaskel_renderer");
    if (!program.empty()) {
        const std::filesystem::path beside = program.parent_path() / name;
        std::error_code error;
        if (std::filesystem::is_regular_file(beside, error)) {
            return beside;
        }
    }
    return name;
}

RendererChild::~RendererChild() {
    process_ = {}; // ended before its output files go
    std::error_code ignored;
    if (!dir_.empty()) {
        std::filesystem::remove_all(dir_, ignored);
    }
}

bool RendererChild::start(const std::filesystem::path& program,
                          const std::vector<platform::NativeString>& arguments,
                          platform::ChildInterrupts interrupts) {
    static std::atomic<std::uint32_t> counter{0};
    std::error_code error;
    const std::filesystem::path temp = std::filesystem::temp_directory_path(error);
    if (error) {
        failure_ = error.message();
        return false;
    }
    // A name that exists already (left behind, or planted) is passed over, never used.
    for (int attempt = 0; attempt < 100 && dir_.empty(); ++attempt) {
        const std::filesystem::path dir =
            temp / ("vaskel-renderer-" + std::to_string(platform::currentProcessId()) + "-" +
                    std::to_string(counter.fetch_add(1)));
        if (std::filesystem::create_directory(dir, error)) {
            dir_ = dir;
        } else if (error) {
            failure_ = error.message();
            return false;
        }
    }
    if (dir_.empty()) {
        failure_ = "no fresh directory for its output in " + temp.string();
        return false;
    }
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace, error);
    platform::ErrorOr<platform::ChildProcess> started = platform::ChildProcess::start(
        program, arguments, dir_ / "stdout", dir_ / "stderr", interrupts);
    if (!started) {
        failure_ = platform::errorMessage(started.error());
        return false;
    }
    process_ = std::move(*started);
    return true;
}

std::optional<int> RendererChild::poll() {
    if (!exit_ && process_) {
        exit_ = process_.poll();
    }
    return exit_;
}

int RendererChild::finish(const platform::Deadline& deadline, const std::atomic<bool>* stop) {
    while (!poll() && !deadline.expired() && !(stop != nullptr && stop->load())) {
        platform::sleepMilliseconds(2);
    }
    if (!exit_) {
        process_.kill();
        exit_ = process_.wait();
    }
    return *exit_;
}

std::string RendererChild::output(const char* name) const {
    std::ifstream file(dir_ / name, std::ios::binary);
    std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            plain += text[i];
        }
    }
    return plain;
}

} // namespace vaskel
