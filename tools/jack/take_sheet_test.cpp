#include "test_support.h"
#include "tools/jack/take_sheet.h"

#include <gtest/gtest.h>

namespace vaskel::jack_bridge {
namespace {

using std::chrono::milliseconds;
using std::chrono::system_clock;

TEST(JackTakeSheet, NamesEveryStreamsPortsInJsonAReaderTakes) {
    // 2024-02-29T23:59:59.999Z: a leap day, the last millisecond of it.
    const system_clock::time_point leap{milliseconds(1709251199999)};
    EXPECT_EQ(isoUtc(leap), "2024-02-29T23:59:59.999Z");
    EXPECT_EQ(isoUtc(system_clock::time_point{}), "1970-01-01T00:00:00.000Z");

    TakeSheet sheet;
    sheet.state = "complete";
    sheet.client = "rec";
    sheet.mapping = "take-1";
    sheet.sampleRate = 48000;
    sheet.framesPerChunk = 256;
    sheet.channels = 2;
    sheet.startTime = leap;
    sheet.framesPerStream = 480000;
    sheet.verdict = "completed";
    // A port name may hold quotes and bytes that are not UTF-8; an input may be unconnected.
    sheet.sources = {{"synth:out_l", "synth:out_r"}, {"odd:\"q\"\xff", ""}};
    sheet.inputs = {{"rec:in_0_l", "rec:in_0_r"}, {"rec:in_1_l", "rec:in_1_r"}};
    EXPECT_EQ(formatTakeSheet(sheet),
              "{\n"
              "  \"schemaVersion\": 1,\n"
              "  \"state\": \"complete\",\n"
              "  \"client\": \"rec\",\n"
              "  \"mapping\": \"take-1\",\n"
              "  \"sampleRate\": 48000,\n"
              "  \"framesPerChunk\": 256,\n"
              "  \"channels\": 2,\n"
              "  \"startTime\": \"2024-02-29T23:59:59.999Z\",\n"
              "  \"framesPerStream\": 480000,\n"
              "  \"verdict\": \"completed\",\n"
              "  \"streams\": [\n"
              "    {\"file\": \"stream-0.wav\", \"ports\": [\"synth:out_l\", \"synth:out_r\"], "
              "\"inputs\": [\"rec:in_0_l\", \"rec:in_0_r\"]},\n"
              "    {\"file\": \"stream-1.wav\", \"ports\": [\"odd:\\\"q\\\"\\ufffd\", null], "
              "\"inputs\": [\"rec:in_1_l\", \"rec:in_1_r\"]}\n"
              "  ]\n"
              "}\n");

    // vaskel_wav check reads back exactly what is written, the sheet before a capture too.
    const auto read = parseTakeSheet(formatTakeSheet(sheet));
    ASSERT_TRUE(read);
    EXPECT_EQ(std::tie(read->state, read->client, read->mapping, read->sampleRate,
                       read->framesPerChunk, read->channels, *read->startTime,
                       *read->framesPerStream, *read->verdict),
              std::tie(sheet.state, sheet.client, sheet.mapping, sheet.sampleRate,
                       sheet.framesPerChunk, sheet.channels, "2024-02-29T23:59:59.999Z",
                       *sheet.framesPerStream, sheet.verdict));
    ASSERT_TRUE(read->stream(0) && read->stream(1) && !read->stream(2));
    EXPECT_EQ(read->stream(0)->ports, (std::vector<SheetPort>{"synth:out_l", "synth:out_r"}));
    EXPECT_EQ(read->stream(1)->ports,
              (std::vector<SheetPort>{"odd:\"q\"\xEF\xBF\xBD", std::nullopt}));
    EXPECT_EQ(read->stream(1)->inputs, (std::vector<SheetPort>{"rec:in_1_l", "rec:in_1_r"}));
    TakeSheet waiting = sheet;
    waiting.state = "waiting";
    waiting.startTime.reset();
    waiting.framesPerStream.reset();
    waiting.verdict.clear();
    const auto before = parseTakeSheet(formatTakeSheet(waiting));
    ASSERT_TRUE(before);
    EXPECT_FALSE(before->startTime || before->framesPerStream || before->verdict);
}

// What a bridge with a buffer adds, read back; and what a reader of a planted sheet refuses in
// the events: each row spoils one event of a sheet that is otherwise read.
TEST(JackTakeSheet, ReadsBackTheBufferAndTheEventsAndRefusesWhatIsNotOne) {
    TakeSheet sheet;
    sheet.state = "capturing";
    sheet.client = "rec";
    sheet.mapping = "m";
    sheet.sampleRate = 48000;
    sheet.framesPerChunk = 2048;
    sheet.sources = {{"a:out"}};
    sheet.inputs = {{"rec:in_0"}};
    sheet.bufferFrames = 192000;
    sheet.bufferPeakFrames = 67200;
    sheet.events = {{4096, "xrun", std::nullopt, ""},
                    {8192, "port_disconnected", 0, "a:out"},
                    {8192, "client_gone", std::nullopt, "a"},
                    {9000, "buffer_near_full", std::nullopt, "3.2 s of 4 s"}};
    const std::string text = formatTakeSheet(sheet);
    const auto read = parseTakeSheet(text);
    ASSERT_TRUE(read) << text;
    EXPECT_EQ(read->bufferFrames, sheet.bufferFrames);
    EXPECT_EQ(read->bufferPeakFrames, sheet.bufferPeakFrames);
    EXPECT_EQ(read->events, sheet.events);

    const std::string good =
        R"({"frame": 8192, "kind": "port_disconnected", "stream": 0, "detail": "a:out"})";
    const std::vector<std::string> refused = {
        R"({"frame": 8192, "kind": "overflow", "stream": 0, "detail": ""})",
        R"({"frame": 8192, "kind": "xrun", "stream": 128, "detail": ""})",
        R"({"frame": -1, "kind": "xrun", "stream": null, "detail": ""})",
        R"({"frame": 1, "kind": "xrun", "stream": null})",
        R"({"frame": 1, "kind": "xrun", "stream": null, "detail": "", "more": 1})",
        R"({"frame": 1, "kind": "xrun", "stream": "0", "detail": ""})",
        R"([1, "xrun", null, ""])",
    };
    const auto withEvent = [&text, &good](const std::string& event) {
        std::string spoilt = text;
        spoilt.replace(spoilt.find("{\"frame\": 8192, \"kind\": \"port_disconnected\""),
                       good.size(), event);
        return spoilt;
    };
    EXPECT_TRUE(parseTakeSheet(withEvent(good)));
    for (const std::string& event : refused) {
        EXPECT_FALSE(parseTakeSheet(withEvent(event))) << event;
    }
    // At most 1024 events; the 1025th refuses the sheet.
    sheet.events.assign(kMaxTakeSheetEvents, {1, "xrun", std::nullopt, ""});
    EXPECT_TRUE(parseTakeSheet(formatTakeSheet(sheet)));
    std::string over = formatTakeSheet(sheet);
    over.insert(over.rfind('}', over.rfind(']')) + 1,
                ",\n    {\"frame\": 1, \"kind\": \"xrun\", \"stream\": null, \"detail\": \"\"}");
    EXPECT_FALSE(parseTakeSheet(over));
}

// The output root may belong to someone else: a link planted at the sheet's name is replaced,
// never written through, and no temporary is left behind.
TEST(JackTakeSheet, ReplacesALinkPlantedInItsPlaceWithoutFollowingIt) {
    testing::ScratchDir dir("take-sheet");
    testing::writeFile(dir / "victim", "untouched");
    std::filesystem::create_symlink(dir / "victim", dir / kTakeSheetName);
    platform::Directory held;
    ASSERT_FALSE(held.open(dir.path()));
    ASSERT_FALSE(writeTakeSheet(held, "first\n"));
    ASSERT_FALSE(writeTakeSheet(held, "second\n"));
    EXPECT_EQ(testing::readFile(dir / "victim"), "untouched");
    EXPECT_FALSE(std::filesystem::is_symlink(dir / kTakeSheetName));
    EXPECT_EQ(testing::readFile(dir / kTakeSheetName), "second\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              2);
    // A folder not held cannot take the sheet, and says so.
    EXPECT_TRUE(writeTakeSheet(platform::Directory(), "x"));
}
} // namespace
} // namespace vaskel::jack_bridge
