#include "output/output_paths.h"

#include <string>
#include <system_error>

namespace vaskel {

std::error_code openOutputRoot(const std::filesystem::path& root, platform::Directory& held) {
    if (root.empty()) {
        return std::make_error_code(std::errc::invalid_argument);
    }
    return held.open(root, platform::Directory::Create::Missing);
}

std::error_code createOutputRoot(const std::filesystem::path& root) {
    platform::Directory held;
    return openOutputRoot(root, held);
}

std::string streamFileName(std::uint32_t index) {
    return "stream-" + std::to_string(index) + ".wav";
}

std::filesystem::path streamFilePath(const std::filesystem::path& root, std::uint32_t index) {
    return root / streamFileName(index);
}

std::optional<std::uint32_t> streamFileIndex(const std::filesystem::path& fileName) {
    // Compared as UTF-8 so a wide Windows name is read the same way.
    const std::u8string name = fileName.u8string();
    const std::u8string_view prefix = u8"stream-";
    const std::u8string_view suffix = u8".wav";
    if (name.size() <= prefix.size() + suffix.size() || !name.starts_with(prefix) ||
        !name.ends_with(suffix)) {
        return std::nullopt;
    }
    const std::u8string_view digits(name.data() + prefix.size(),
                                    name.size() - prefix.size() - suffix.size());
    // Plain decimal as streamFilePath writes it: no sign, no leading zero, within 32 bits.
    if ((digits.size() > 1 && digits[0] == u8'0') || digits.size() > 10) {
        return std::nullopt;
    }
    std::uint64_t index = 0;
    for (char8_t digit : digits) {
        if (digit < u8'0' || digit > u8'9') {
            return std::nullopt;
        }
        index = index * 10 + static_cast<std::uint64_t>(digit - u8'0');
    }
    if (index > UINT32_MAX) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(index);
}

} // namespace vaskel
