#include "entry/renderer_child.h"

#include "platform/file.h"

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
    std::error_code error;
    const std::filesystem::path temporary = std::filesystem::temp_directory_path(error);
    platform::ErrorOr<std::filesystem::path> made =
        error ? platform::ErrorOr<std::filesystem::path>(error)
              : platform::createPrivateDirectory(temporary, "vaskel-renderer-");
    if (!made) {
        failure_ = platform::errorMessage(made.error());
        return false;
    }
    dir_ = std::move(*made);
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
