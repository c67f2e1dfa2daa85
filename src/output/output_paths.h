// Where a capture's files go: the output root and the names inside it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

namespace vaskel {

inline constexpr const char* kProgressFileName = "render-progress.json";
inline constexpr const char* kProgressTempFileName = "render-progress.json.tmp";

// Creates the root with every missing parent. Fails unless the root exists as a directory
// afterwards (an empty root, or one that is a regular file, fails).
[[nodiscard]] std::error_code createOutputRoot(const std::filesystem::path& root);

// "stream-<index>.wav", the index in plain decimal: the one place that names a stream file.
std::string streamFileName(std::uint32_t index);

// streamFileName(index) in the root.
std::filesystem::path streamFilePath(const std::filesystem::path& root, std::uint32_t index);

// The index of a file name of that form ("stream-12.wav" gives 12); empty for any other name.
std::optional<std::uint32_t> streamFileIndex(const std::filesystem::path& fileName);

} // namespace vaskel
