#include "wavfile/take_sheet.h"

#include <gtest/gtest.h>
#include <string>
#include <tuple>

namespace vaskel {
namespace {

// A sheet as the bridge writes one, with every optional part present. `@` stands for the text of
// stream 0's first port, so a row can put any string there.
constexpr std::string_view kSheetWithPort =
    R"({"schemaVersion": 1, "state": "complete", "client": "rec", "mapping": "take-1",)"
    R"( "sampleRate": 48000, "framesPerChunk": 256, "channels": 2,)"
    R"( "startTime": "2024-02-29T23:59:59.999Z", "framesPerStream": 480000,)"
    R"( "verdict": "completed", "streams": [)"
    R"({"file": "stream-0.wav", "ports": [@, null], "inputs": ["rec:in_0_l", "rec:in_0_r"]},)"
    R"( {"file": "stream-1.wav", "ports": ["b:l", "b:r"], "inputs": ["rec:in_1_l", "rec:in_1_r"]}],)"
    R"( "events": [{"frame": 1024, "kind": "xrun", "stream": null, "detail": "3"},)"
    R"( {"frame": 18446744073709551615, "kind": "port_disconnected", "stream": 1,)"
    R"( "detail": "b:r"}]})"
    "\n";

std::string sheetText(std::string_view port = R"("a:out")") {
    std::string text(kSheetWithPort);
    return text.replace(text.find('@'), 1, port);
}

TEST(TakeSheetReader, ReadsEveryFieldOfAGoodSheet) {
    const auto sheet = parseTakeSheet(sheetText());
    ASSERT_TRUE(sheet);
    EXPECT_EQ(std::tie(sheet->state, sheet->client, sheet->mapping, sheet->sampleRate,
                       sheet->framesPerChunk, sheet->channels, *sheet->startTime,
                       *sheet->framesPerStream, *sheet->verdict),
              std::make_tuple("complete", "rec", "take-1", 48000u, 256u, 2u,
                              "2024-02-29T23:59:59.999Z", 480000u, "completed"));
    ASSERT_EQ(sheet->streams.size(), 2u);
    EXPECT_EQ(sheet->stream(0)->ports, (std::vector<SheetPort>{"a:out", std::nullopt}));
    EXPECT_EQ(sheet->stream(1)->inputs, (std::vector<SheetPort>{"rec:in_1_l", "rec:in_1_r"}));
    EXPECT_EQ(sheet->events, (std::vector<TakeSheetEvent>{
                                 {1024, "xrun", std::nullopt, "3"},
                                 {18446744073709551615u, "port_disconnected", 1, "b:r"}}));
}

// Each row edits the good sheet once (`from` replaced by `to`, or appended when `from` is empty):
// refused, or read with stream 0's first port decoded to exactly `port`.
struct SheetEdit {
    const char* what;
    std::string from;
    std::string to;
    std::optional<std::string> port; // null: the edited sheet is refused
};

TEST(TakeSheetReader, RefusesEverySheetTheBridgeDoesNotWrite) {
    const std::string kPort = R"("a:out")";
    const std::optional<std::string> refused;
    const SheetEdit rows[] = {
        // Strings: escapes decoded to the exact bytes, anything JSON does not allow refused.
        {"escapes", kPort, R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
        {"\\u below 0x80, 0x800, 0x10000", kPort, R"("\u0041\u00e9\u20AC")",
         "A\xC3\xA9\xE2\x82\xAC"},
        {"a pair: the lowest code past the BMP", kPort, R"("\ud800\udc00")", "\xF0\x90\x80\x80"},
        {"a pair: an emoji", kPort, R"("\uD83D\uDE00")", "\xF0\x9F\x98\x80"},
        {"a pair: the highest code", kPort, R"("\uDBFF\uDFFF")", "\xF4\x8F\xBF\xBF"},
        {"raw UTF-8 kept as it is", kPort, "\"\xC3\xA9\xF0\x9F\x98\x80\"",
         "\xC3\xA9\xF0\x9F\x98\x80"},
        {"raw control character", kPort, "\"a\x01\"", refused},
        {"raw unit separator", kPort, "\"a\x1F\"", refused},
        {"raw tab", kPort, "\"a\tb\"", refused},
        {"raw byte that is not UTF-8", kPort, "\"a\xFF\"", refused},
        {"raw overlong UTF-8", kPort, "\"\xC0\xAF\"", refused},
        {"high surrogate, then a \\u below the low ones", kPort, R"("\uDBFF\uDBFF")", refused},
        {"high surrogate, then a letter as \\u", kPort, R"("\uD800\u0041")", refused},
        {"high surrogate alone", kPort, R"("\uD800x")", refused},
        {"low surrogate alone", kPort, R"("\uDC00")", refused},
        {"unknown escape", kPort, R"("\x41")", refused},
        {"short \\u", kPort, R"("\u12")", refused},
        {"not hex", kPort, R"("\u12g4")", refused},
        {"unterminated at the end", R"("b:r"}]})", R"("b:r)", refused},
        // The object: the writer's keys, each once, every one but "events" present.
        {"keys in another order", R"("client": "rec", "mapping": "take-1",)",
         R"("mapping": "take-1", "client": "rec",)", "a:out"},
        {"no events (an older bridge)",
         R"(, "events": [{"frame": 1024, "kind": "xrun", )"
         R"("stream": null, "detail": "3"}, {"frame": )"
         R"(18446744073709551615, "kind": "port_disconnected", )"
         R"("stream": 1, "detail": "b:r"}])",
         "", "a:out"},
        {"white space after the object", "", " \r\n\t", "a:out"},
        {"duplicate key", R"("client": "rec",)", R"("client": "rec", "client": "rec",)", refused},
        {"missing key", R"("mapping": "take-1",)", "", refused},
        {"unknown key", R"("client": "rec",)", R"("client": "rec", "host": "x",)", refused},
        {"schemaVersion 2", R"("schemaVersion": 1)", R"("schemaVersion": 2)", refused},
        {"schemaVersion 0", R"("schemaVersion": 1)", R"("schemaVersion": 0)", refused},
        {"schemaVersion 1.0", R"("schemaVersion": 1)", R"("schemaVersion": 1.0)", refused},
        {"trailing bytes", "", "x", refused},
        {"a second object", "", "{}", refused},
        {"state not the writer's", R"("complete")", R"("done")", refused},
        {"start time of another form", "59.999Z", "59Z", refused},
        {"three channels", R"("channels": 2)", R"("channels": 3)", refused},
        {"fewer ports than channels", R"("b:l", "b:r")", R"("b:l")", refused},
        {"two adjacent streams, one file", R"("stream-1.wav")", R"("stream-0.wav")", refused},
        {"not a stream file's name", R"("stream-1.wav")", R"("stream-01.wav")", refused},
        // Events: the four kinds, a stream of the sheet or null, the writer's keys each once.
        {"the other kinds", R"("events": [)",
         R"("events": [{"frame": 0, "kind": "client_gone", "stream": null, "detail": "c"}, )"
         R"({"frame": 0, "kind": "buffer_near_full", "stream": 0, "detail": ""}, )",
         "a:out"},
        {"unknown kind", R"("kind": "xrun")", R"("kind": "glitch")", refused},
        {"event of a stream the sheet lacks", R"("stream": 1,)", R"("stream": 2,)", refused},
        {"event of stream 128", R"("stream": 1,)", R"("stream": 128,)", refused},
        {"event of stream 2^32", R"("stream": 1,)", R"("stream": 4294967296,)", refused},
        {"event frame past 64 bits", "18446744073709551615", "18446744073709551616", refused},
        {"event frame negative", R"("frame": 1024)", R"("frame": -1)", refused},
        {"event without detail", R"(, "detail": "3")", "", refused},
        {"event detail null", R"("detail": "3")", R"("detail": null)", refused},
        {"event with a key more", R"("detail": "3")", R"("detail": "3", "port": "x")", refused},
        {"event key twice", R"("detail": "3")", R"("detail": "3", "detail": "3")", refused},
        {"event detail, raw control", R"("detail": "3")", "\"detail\": \"\x1B[2J\"", refused},
        {"events not a list", R"("events": [)", R"("events": {)", refused},
    };
    for (const SheetEdit& row : rows) {
        std::string text = sheetText();
        if (row.from.empty()) {
            text += row.to;
        } else {
            ASSERT_NE(text.find(row.from), std::string::npos) << row.what;
            text.replace(text.find(row.from), row.from.size(), row.to);
        }
        const auto sheet = parseTakeSheet(text);
        if (!row.port) {
            EXPECT_FALSE(sheet) << row.what;
            continue;
        }
        ASSERT_TRUE(sheet) << row.what;
        EXPECT_EQ(sheet->stream(0)->ports[0], row.port) << row.what;
    }
}

// The list of events is bounded like every count: none and the most a sheet holds are read, one
// more refuses it before it is read.
TEST(TakeSheetReader, ReadsAtMostTheLargestListOfEvents) {
    const std::string good = sheetText();
    const std::size_t from = good.find(R"("events": [)") + 11;
    const std::string event = R"({"frame": 7, "kind": "xrun", "stream": 0, "detail": ""})";
    for (const std::size_t count : {std::size_t{0}, kMaxTakeSheetEvents, kMaxTakeSheetEvents + 1}) {
        std::string list;
        for (std::size_t i = 0; i < count; ++i) {
            list += (i == 0 ? "" : ",") + event;
        }
        std::string text = good;
        text.replace(from, text.find("]}", from) - from, list);
        const auto sheet = parseTakeSheet(text);
        EXPECT_EQ(sheet.has_value(), count <= kMaxTakeSheetEvents) << count;
        if (sheet && count != 0) {
            EXPECT_EQ(sheet->events.size(), count);
            EXPECT_EQ(sheet->events.back(), (TakeSheetEvent{7, "xrun", 0, ""}));
        }
    }
}

} // namespace
} // namespace vaskel
