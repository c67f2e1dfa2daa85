#include "output/output_paths.h"

#include <string>
#include <system_error>

namespace vaskel {

void createOutputRoot(const std::filesystem::path& root) {
    if (root.empty()) {
        throw std::filesystem::filesystem_error("create_directories", root,
                                                std::make_error_code(std::errc::invalid_argument));
    }
    std::filesystem::create_directories(root);
    // Only the outcome counts: the root must now be a directory, found or made.
    std::error_code error;
    if (!std::filesystem::is_directory(root, error)) {
        throw std::filesystem::filesystem_error("create_directories", root,
                                                std::make_error_code(std::errc::not_a_directory));
    }
}

std::string streamFileName(std::uint32_t index) {
    return "stream-" + std::to_string(index) + ".wav";
}

std::filesystem::path streamFilePath(const std::filesystem::path& root, std::uint32_t index) {
    return root / streamFileName(index);
}

} // namespace vaskel
