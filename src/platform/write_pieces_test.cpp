#include "platform/write_pieces.h"

#include <algorithm>
#include <cstdint>
#include <gtest/gtest.h>
#include <numeric>
#include <string>
#include <vector>

namespace vaskel::platform {
namespace {

// Pieces of the given sizes cut from one text of distinct bytes, so any byte written out of
// place shows.
struct PieceText {
    std::string text;
    std::vector<WritePiece> pieces;

    explicit PieceText(const std::vector<std::size_t>& sizes) {
        text.resize(std::accumulate(sizes.begin(), sizes.end(), std::size_t{0}));
        for (std::size_t i = 0; i < text.size(); ++i) {
            text[i] = static_cast<char>('!' + i % 90);
        }
        std::size_t at = 0;
        for (const std::size_t size : sizes) {
            pieces.push_back({text.data() + at, size});
            at += size;
        }
    }
};

// A writev that writes `script[k]` bytes on its k-th call (all it is given once the script
// ends, or when it asks for more), appending them where a file would have them.
struct ScriptedGather {
    explicit ScriptedGather(std::vector<std::size_t> writes = {}) : script(std::move(writes)) {}

    std::vector<std::size_t> script;
    std::string written;
    std::size_t calls = 0;
    std::size_t widest = 0;

    ErrorOr<std::size_t> operator()(std::span<const WritePiece> batch) {
        widest = std::max(widest, batch.size());
        std::size_t budget = calls < script.size() ? script[calls] : SIZE_MAX;
        ++calls;
        std::size_t done = 0;
        for (const WritePiece& piece : batch) {
            const std::size_t take = std::min(piece.bytes, budget - done);
            written.append(static_cast<const char*>(piece.data), take);
            done += take;
        }
        return done;
    }
};

std::vector<std::size_t> sizesOf(std::size_t count, std::size_t bytes) {
    return std::vector<std::size_t>(count, bytes);
}

TEST(WritePieces, GoesOnAfterEveryShortWriteAtTheNextUnwrittenByte) {
    struct Layout {
        const char* what;
        std::vector<std::size_t> sizes;
        std::size_t calls; // written whole at once
    };
    std::vector<std::size_t> mixed(150);
    for (std::size_t i = 0; i < mixed.size(); ++i) {
        mixed[i] = i % 4; // empty pieces among them
    }
    const Layout layouts[] = {
        {"a few, one of them empty", {3, 5, 0, 4}, 1},
        {"exactly a batch", sizesOf(kMaxGatheredPieces, 2), 1},
        {"one piece past a batch", sizesOf(kMaxGatheredPieces + 1, 2), 2},
        {"more than two batches, empty ones among them", mixed, 3},
    };
    for (const Layout& layout : layouts) {
        const PieceText input(layout.sizes);
        {
            ScriptedGather whole;
            ASSERT_FALSE(writePieces(input.pieces, whole)) << layout.what;
            EXPECT_EQ(whole.written, input.text) << layout.what;
            EXPECT_EQ(whole.calls, layout.calls) << layout.what;
            EXPECT_LE(whole.widest, kMaxGatheredPieces) << layout.what;
        }
        // One short write at every byte, the rest at once; then a byte a call throughout.
        std::vector<std::vector<std::size_t>> scripts;
        for (std::size_t cut = 1; cut < input.text.size(); ++cut) {
            scripts.push_back({cut});
        }
        scripts.push_back(std::vector<std::size_t>(input.text.size(), 1));
        for (const auto& script : scripts) {
            ScriptedGather gather(script);
            ASSERT_FALSE(writePieces(input.pieces, gather)) << layout.what;
            ASSERT_EQ(gather.written, input.text)
                << layout.what << ", first write " << script.front() << " of " << script.size();
            EXPECT_LE(gather.widest, kMaxGatheredPieces) << layout.what;
        }
    }
}

TEST(WritePieces, EndsAtAnErrorOrAWriteThatMakesNoProgress) {
    const PieceText input({4, 4});
    {
        ScriptedGather none;
        EXPECT_FALSE(writePieces(std::span<const WritePiece>(), none));
        EXPECT_EQ(none.calls, 0u);
        const PieceText empty({0, 0});
        EXPECT_FALSE(writePieces(empty.pieces, none));
    }
    ScriptedGather stalled({3, 0});
    EXPECT_EQ(writePieces(input.pieces, stalled), std::errc::io_error);
    EXPECT_EQ(stalled.calls, 2u);

    const auto failing = [](std::span<const WritePiece>) -> ErrorOr<std::size_t> {
        return std::make_error_code(std::errc::no_space_on_device);
    };
    EXPECT_EQ(writePieces(input.pieces, failing), std::errc::no_space_on_device);
    const auto boasting = [](std::span<const WritePiece>) -> ErrorOr<std::size_t> {
        return std::size_t{9};
    };
    EXPECT_EQ(writePieces(input.pieces, boasting), std::errc::io_error);
}

} // namespace
} // namespace vaskel::platform
