// Fuzzes the take sheet's reader (vaskel_wav check reads streams.json from any output root): the
// input is the file's text. A sheet it takes must keep its bounds, and written out again with
// every string escaped afresh it must read back the same: a decoding that made bytes that are
// not UTF-8 (or lost some) would come back as U+FFFD, or not at all.
#include "common/json_text.h"
#include "fuzz_check.h"
#include "wavfile/take_sheet.h"

#include <string>

namespace {

using namespace vaskel;

std::string orNull(const std::optional<std::string>& text) {
    return text ? jsonString(*text) : "null";
}

std::string ports(const std::vector<SheetPort>& list) {
    std::string json = "[";
    for (const SheetPort& port : list) {
        json += (json.size() == 1 ? "" : ",") + orNull(port);
    }
    return json + "]";
}

std::string written(const TakeSheetRecord& sheet) {
    std::string json = "{\"streams\":[";
    for (const TakeSheetStream& stream : sheet.streams) {
        json += (json.back() == '[' ? "" : ",") + std::string("{\"inputs\":") +
                ports(stream.inputs) + ",\"file\":\"stream-" + std::to_string(stream.index) +
                ".wav\",\"ports\":" + ports(stream.ports) + "}";
    }
    json += "],\"schemaVersion\":1,\"state\":" + jsonString(sheet.state);
    json += ",\"client\":" + jsonString(sheet.client) + ",\"mapping\":" + jsonString(sheet.mapping);
    json += ",\"sampleRate\":" + std::to_string(sheet.sampleRate);
    json += ",\"framesPerChunk\":" + std::to_string(sheet.framesPerChunk);
    json += ",\"channels\":" + std::to_string(sheet.channels);
    json += ",\"startTime\":" + orNull(sheet.startTime) + ",\"framesPerStream\":" +
            (sheet.framesPerStream ? std::to_string(*sheet.framesPerStream) : "null");
    json += ",\"verdict\":" + orNull(sheet.verdict) + ",\"events\":[";
    for (const TakeSheetEvent& event : sheet.events) {
        json += (json.back() == '[' ? "" : ",") + std::string("{\"detail\":") +
                jsonString(event.detail) +
                ",\"stream\":" + (event.stream ? std::to_string(*event.stream) : "null") +
                ",\"kind\":" + jsonString(event.kind) +
                ",\"frame\":" + std::to_string(event.frame) + "}";
    }
    return json + "]}";
}

bool same(const TakeSheetRecord& a, const TakeSheetRecord& b) {
    if (a.streams.size() != b.streams.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.streams.size(); ++i) {
        const TakeSheetStream &x = a.streams[i], &y = b.streams[i];
        if (x.index != y.index || x.ports != y.ports || x.inputs != y.inputs) {
            return false;
        }
    }
    return a.state == b.state && a.client == b.client && a.mapping == b.mapping &&
           a.sampleRate == b.sampleRate && a.framesPerChunk == b.framesPerChunk &&
           a.channels == b.channels && a.startTime == b.startTime &&
           a.framesPerStream == b.framesPerStream && a.verdict == b.verdict && a.events == b.events;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto sheet = parseTakeSheet(text);
    if (!sheet) {
        return 0;
    }
    FUZZ_CHECK(sheet->channels == 1 || sheet->channels == 2);
    FUZZ_CHECK(sheet->streams.size() <= 128);
    for (const TakeSheetStream& stream : sheet->streams) {
        FUZZ_CHECK(stream.ports.size() == sheet->channels);
        FUZZ_CHECK(stream.inputs.size() == sheet->channels);
        FUZZ_CHECK(sheet->stream(stream.index) == &stream);
    }
    FUZZ_CHECK(sheet->events.size() <= kMaxTakeSheetEvents);
    for (const TakeSheetEvent& event : sheet->events) {
        FUZZ_CHECK(!event.stream || sheet->stream(*event.stream) != nullptr);
    }
    const auto again = parseTakeSheet(written(*sheet));
    FUZZ_CHECK(again && same(*sheet, *again));
    return 0;
}
