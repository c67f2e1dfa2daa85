// A gathered write of any number of pieces through a call that takes a bounded batch of them and
// may write only part of it (POSIX writev): what to hand it next and where to go on after a short
// write. Kept apart from the call itself, so every short write can be tested without a kernel.
#pragma once

#include "platform/error.h"
#include "platform/file.h"

#include <array>
#include <cstddef>
#include <span>
#include <system_error>

namespace vaskel::platform {

// The most pieces one gathered call is given: a batch lives on the stack of the write.
inline constexpr std::size_t kMaxGatheredPieces = 64;

// Writes every byte of `pieces`, in order. `gather(batch)` writes a leading part of `batch` (at
// most kMaxGatheredPieces pieces, the first possibly begun already) and returns the bytes written
// or an error; it is called again for whatever is left. A call that writes nothing while bytes
// are left, or claims more than it was given, is an I/O error rather than a loop without end.
template <typename Gather>
[[nodiscard]] std::error_code writePieces(std::span<const WritePiece> pieces, Gather&& gather) {
    std::array<WritePiece, kMaxGatheredPieces> batch;
    std::size_t next = 0;       // the first piece not yet written whole
    std::size_t doneInNext = 0; // bytes of it already written
    while (next < pieces.size()) {
        std::size_t count = 0;
        std::size_t given = 0;
        for (std::size_t i = next; i < pieces.size() && count < batch.size(); ++i, ++count) {
            // Only the piece cut short starts part way: those after it are still whole.
            const std::size_t skipped = i == next ? doneInNext : 0;
            batch[count] = {static_cast<const char*>(pieces[i].data) + skipped,
                            pieces[i].bytes - skipped};
            given += batch[count].bytes;
        }
        const ErrorOr<std::size_t> written =
            gather(std::span<const WritePiece>(batch.data(), count));
        if (!written) {
            return written.error();
        }
        if (*written > given || (*written == 0 && given != 0)) {
            return std::make_error_code(std::errc::io_error);
        }
        // Past the pieces it took whole, into the one it cut short.
        std::size_t left = *written;
        while (next < pieces.size() && left >= pieces[next].bytes - doneInNext) {
            left -= pieces[next].bytes - doneInNext;
            ++next;
            doneInNext = 0;
        }
        doneInNext += left;
    }
    return {};
}

} // namespace vaskel::platform
