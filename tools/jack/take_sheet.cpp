#include "tools/jack/take_sheet.h"

#include "common/json_text.h"
#include "platform/file.h"
#include "platform/process.h"

#include <atomic>
#include <cstdio>

namespace vaskel::jack_bridge {

namespace {

std::string jsonOrNull(const std::string& text) {
    return text.empty() ? "null" : jsonString(text);
}

std::string portList(const std::vector<std::string>& ports) {
    std::string list = "[";
    for (std::size_t i = 0; i < ports.size(); ++i) {
        list += (i == 0 ? "" : ", ") + jsonOrNull(ports[i]);
    }
    return list + "]";
}

} // namespace

std::string isoUtc(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(time);
    const auto day = floor<days>(ms);
    const year_month_day date{day};
    const hh_mm_ss clock{ms - day};
    char text[40];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
        static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
    return text;
}

std::string formatTakeSheet(const TakeSheet& sheet) {
    std::string text = "{\n  \"schemaVersion\": 1,\n  \"state\": " + jsonString(sheet.state);
    text += ",\n  \"client\": " + jsonString(sheet.client);
    text += ",\n  \"mapping\": " + jsonString(sheet.mapping);
    text += ",\n  \"sampleRate\": " + std::to_string(sheet.sampleRate);
    text += ",\n  \"framesPerChunk\": " + std::to_string(sheet.framesPerChunk);
    text += ",\n  \"channels\": " + std::to_string(sheet.channels);
    text += ",\n  \"startTime\": " +
            (sheet.startTime ? jsonString(isoUtc(*sheet.startTime)) : std::string("null"));
    text += ",\n  \"framesPerStream\": " +
            (sheet.framesPerStream ? std::to_string(*sheet.framesPerStream) : "null");
    text += ",\n  \"verdict\": " + jsonOrNull(sheet.verdict);
    if (sheet.bufferFrames) {
        text += ",\n  \"bufferFrames\": " + std::to_string(*sheet.bufferFrames);
    }
    if (sheet.bufferPeakFrames) {
        text += ",\n  \"bufferPeakFrames\": " + std::to_string(*sheet.bufferPeakFrames);
    }
    text += ",\n  \"streams\": [";
    for (std::size_t i = 0; i < sheet.sources.size(); ++i) {
        text += i == 0 ? "\n" : ",\n";
        text += "    {\"file\": \"stream-" + std::to_string(i) +
                ".wav\", \"ports\": " + portList(sheet.sources[i]) + ", \"inputs\": " +
                portList(i < sheet.inputs.size() ? sheet.inputs[i] : std::vector<std::string>{}) +
                "}";
    }
    text += "\n  ]";
    if (!sheet.events.empty()) {
        text += ",\n  \"events\": [";
        for (std::size_t i = 0; i < sheet.events.size() && i < kMaxTakeSheetEvents; ++i) {
            const TakeSheetEvent& event = sheet.events[i];
            text += (i == 0 ? "\n    {\"frame\": " : ",\n    {\"frame\": ") +
                    std::to_string(event.frame) + ", \"kind\": " + jsonString(event.kind) +
                    ", \"stream\": " +
                    (event.stream ? std::to_string(*event.stream) : std::string("null")) +
                    ", \"detail\": " + jsonString(event.detail) + "}";
        }
        text += "\n  ]";
    }
    return text + "\n}\n";
}

std::error_code writeTakeSheet(const platform::Directory& take, const std::string& text) {
    static std::atomic<std::uint32_t> counter{0};
    const std::string temp = "streams.json." + std::to_string(platform::currentProcessId()) + "-" +
                             std::to_string(counter.fetch_add(1)) + ".tmp";
    platform::NewFile file;
    if (const std::error_code error = file.create(take, temp, platform::NewFile::Readers::Anyone)) {
        return error;
    }
    std::error_code error = file.write(text.data(), text.size());
    if (!error) {
        error = file.close();
    }
    if (!error) {
        error = take.replaceWriteThrough(temp, kTakeSheetName);
    }
    if (error) {
        (void)take.remove(temp);
    }
    return error;
}

} // namespace vaskel::jack_bridge
