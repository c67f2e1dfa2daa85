// Where a capture's files go: the output root and the names inside it.
#pragma once

#include "platform/file.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

namespace vaskel {

inline constexpr const char* kProgressFileName = "render-progress.json";
inline constexpr const char* kProgressTempFileName = "render-progress.json.tmp";

// Makes the root with every missing parent and opens it into `held`, one component at a time
// from the first, each made and opened inside the one before (platform::Directory::open): no
// link another user put on the way is followed, the root itself is never a link, and whatever
// its path names later, `held` stays the directory made or found. Fails unless the root is a
// directory (an empty root, or one that is a regular file, fails).
[[nodiscard]] std::error_code openOutputRoot(const std::filesystem::path& root,
                                             platform::Directory& held);

// openOutputRoot, the directory let go again: for a caller that goes on by name.
[[nodiscard]] std::error_code createOutputRoot(const std::filesystem::path& root);

// "stream-<index>.wav", the index in plain decimal: the one place that names a stream file.
std::string streamFileName(std::uint32_t index);

// streamFileName(index) in the root.
std::filesystem::path streamFilePath(const std::filesystem::path& root, std::uint32_t index);

// The index of a file name of that form ("stream-12.wav" gives 12); empty for any other name.
std::optional<std::uint32_t> streamFileIndex(const std::filesystem::path& fileName);

} // namespace vaskel
