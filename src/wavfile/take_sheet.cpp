#include "wavfile/take_sheet.h"

#include "common/json_text.h"
#include "output/output_paths.h"
#include "transport/transport_layout.h"

#include <algorithm>
#include <array>

namespace vaskel {

namespace {

// A cursor over the text that reads the few JSON forms the sheet holds. Every read either
// advances past a whole, valid form or fails; nothing recurses, so no input nests deeper.
class JsonCursor {
public:
    explicit JsonCursor(std::string_view text) : text_(text) {}

    bool atEnd() {
        skipSpace();
        return at_ == text_.size();
    }

    // The next character, past white space, is `c`: consumes it.
    bool take(char c) {
        skipSpace();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }

    bool takeNull() {
        skipSpace();
        if (text_.substr(at_).starts_with("null")) {
            at_ += 4;
            return true;
        }
        return false;
    }

    // A non-negative integer within its field's range (takeJsonUnsigned).
    template <typename Field> bool number(Field& value) {
        skipSpace();
        std::string_view rest = text_.substr(at_);
        if (!takeJsonUnsigned(rest, value)) {
            return false;
        }
        at_ = text_.size() - rest.size();
        return true;
    }

    // A string, its escapes decoded to UTF-8; raw bytes must be UTF-8 already, and a
    // surrogate must come in a pair.
    bool string(std::string& out) {
        out.clear();
        if (!take('"')) {
            return false;
        }
        while (at_ < text_.size()) {
            const char c = text_[at_];
            if (c == '"') {
                ++at_;
                return true;
            }
            if (c == '\\') {
                if (!escape(out)) {
                    return false;
                }
                continue;
            }
            const std::size_t length = utf8Length(text_, at_);
            if (static_cast<unsigned char>(c) < 0x20 || length == 0) {
                return false;
            }
            out.append(text_, at_, length);
            at_ += length;
        }
        return false;
    }

    bool stringOrNull(std::optional<std::string>& out) {
        if (takeNull()) {
            out.reset();
            return true;
        }
        return string(out.emplace());
    }

private:
    void skipSpace() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                      text_[at_] == '\n' || text_[at_] == '\r')) {
            ++at_;
        }
    }

    bool hex4(std::uint32_t& unit) {
        if (at_ + 4 > text_.size()) {
            return false;
        }
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[at_++];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0) {
                return false;
            }
            unit = unit << 4 | static_cast<std::uint32_t>(digit);
        }
        return true;
    }

    bool escape(std::string& out) {
        ++at_; // the backslash
        if (at_ >= text_.size()) {
            return false;
        }
        const char c = text_[at_++];
        static constexpr std::string_view kFrom = "\"\\/bfnrt";
        static constexpr std::string_view kTo = "\"\\/\b\f\n\r\t";
        if (const std::size_t simple = kFrom.find(c); simple != std::string_view::npos) {
            out += kTo[simple];
            return true;
        }
        std::uint32_t code = 0;
        if (c != 'u' || !hex4(code) || (code >= 0xDC00 && code <= 0xDFFF)) {
            return false;
        }
        if (code >= 0xD800 && code <= 0xDBFF) {
            std::uint32_t low = 0;
            if (!text_.substr(at_).starts_with("\\u")) {
                return false;
            }
            at_ += 2;
            if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) {
                return false;
            }
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        appendUtf8(out, code);
        return true;
    }

    static void appendUtf8(std::string& out, std::uint32_t code) {
        const auto byte = [&out](std::uint32_t value) { out += static_cast<char>(value); };
        if (code < 0x80) {
            byte(code);
        } else if (code < 0x800) {
            byte(0xC0 | code >> 6);
            byte(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            byte(0xE0 | code >> 12);
            byte(0x80 | (code >> 6 & 0x3F));
            byte(0x80 | (code & 0x3F));
        } else {
            byte(0xF0 | code >> 18);
            byte(0x80 | (code >> 12 & 0x3F));
            byte(0x80 | (code >> 6 & 0x3F));
            byte(0x80 | (code & 0x3F));
        }
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

// Reads `{"key": value, ...}`: each key must be one of `keys`, at most once, and `value` reads
// its value (false refuses the text). True when every key before `optionalFrom` came.
template <std::size_t N, typename ReadValue>
bool readObject(JsonCursor& json, const std::array<std::string_view, N>& keys,
                const ReadValue& value, std::size_t optionalFrom = N) {
    if (!json.take('{')) {
        return false;
    }
    std::array<bool, N> seen{};
    std::string key;
    if (json.take('}')) {
        return N == 0;
    }
    do {
        if (!json.string(key) || !json.take(':')) {
            return false;
        }
        const auto found = std::find(keys.begin(), keys.end(), key);
        const auto which = static_cast<std::size_t>(found - keys.begin());
        if (found == keys.end() || seen[which] || !value(which)) {
            return false;
        }
        seen[which] = true;
    } while (json.take(','));
    return json.take('}') &&
           std::all_of(seen.begin(), seen.begin() + static_cast<std::ptrdiff_t>(optionalFrom),
                       [](bool s) { return s; });
}

// `[port-or-null, ...]` of at most kMaxChannels entries.
bool readPorts(JsonCursor& json, std::vector<SheetPort>& ports) {
    if (!json.take('[')) {
        return false;
    }
    if (json.take(']')) {
        return true;
    }
    do {
        if (ports.size() == transport::kMaxChannels || !json.stringOrNull(ports.emplace_back())) {
            return false;
        }
    } while (json.take(','));
    return json.take(']');
}

bool readStream(JsonCursor& json, TakeSheetStream& stream) {
    static constexpr std::array<std::string_view, 3> kKeys = {"file", "ports", "inputs"};
    return readObject(json, kKeys, [&](std::size_t key) {
        if (key == 0) {
            std::string file;
            if (!json.string(file)) {
                return false;
            }
            // Exactly a stream file's name in the root: no directory, sign or leading zero.
            const auto index = streamFileIndex(std::filesystem::path(
                std::u8string(reinterpret_cast<const char8_t*>(file.data()), file.size())));
            if (!index) {
                return false;
            }
            stream.index = *index;
            return true;
        }
        return readPorts(json, key == 1 ? stream.ports : stream.inputs);
    });
}

// `[stream, ...]`: at most as many as a capture has, the 129th refused before it is read.
bool readStreams(JsonCursor& json, std::vector<TakeSheetStream>& streams) {
    if (!json.take('[')) {
        return false;
    }
    if (json.take(']')) {
        return true;
    }
    do {
        if (streams.size() == transport::kMaxStreams || !readStream(json, streams.emplace_back())) {
            return false;
        }
    } while (json.take(','));
    return json.take(']');
}

bool readEvent(JsonCursor& json, TakeSheetEvent& event) {
    static constexpr std::array<std::string_view, 4> kKeys = {"frame", "kind", "stream", "detail"};
    static constexpr std::array<std::string_view, 4> kKinds = {"xrun", "port_disconnected",
                                                               "client_gone", "buffer_near_full"};
    return readObject(json, kKeys, [&](std::size_t key) {
        switch (key) {
        case 0:
            return json.number(event.frame);
        case 1:
            return json.string(event.kind) &&
                   std::find(kKinds.begin(), kKinds.end(), event.kind) != kKinds.end();
        case 2:
            if (json.takeNull()) {
                event.stream.reset();
                return true;
            }
            // Which of the sheet's streams it names is checked once they are all read.
            return json.number(event.stream.emplace()) && *event.stream < transport::kMaxStreams;
        default:
            return json.string(event.detail);
        }
    });
}

// `[event, ...]`: at most kMaxTakeSheetEvents, the one past them refused before it is read.
bool readEvents(JsonCursor& json, std::vector<TakeSheetEvent>& events) {
    if (!json.take('[')) {
        return false;
    }
    if (json.take(']')) {
        return true;
    }
    do {
        if (events.size() == kMaxTakeSheetEvents || !readEvent(json, events.emplace_back())) {
            return false;
        }
    } while (json.take(','));
    return json.take(']');
}

// "YYYY-MM-DDTHH:MM:SS.mmmZ", the writer's only form.
bool isUtcTime(const std::string& text) {
    static constexpr std::string_view kForm = "0000-00-00T00:00:00.000Z";
    if (text.size() != kForm.size()) {
        return false;
    }
    for (std::size_t i = 0; i < kForm.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kForm[i] == '0' ? !digit : text[i] != kForm[i]) {
            return false;
        }
    }
    return true;
}

bool consistent(const TakeSheetRecord& sheet) {
    static constexpr std::array<std::string_view, 5> kStates = {"waiting", "capturing", "complete",
                                                                "failed", "interrupted"};
    if (std::find(kStates.begin(), kStates.end(), sheet.state) == kStates.end() ||
        sheet.channels < 1 || sheet.channels > transport::kMaxChannels || sheet.sampleRate == 0 ||
        sheet.framesPerChunk == 0 || sheet.framesPerChunk > transport::kMaxFramesPerChunk ||
        (sheet.startTime && !isUtcTime(*sheet.startTime))) {
        return false;
    }
    for (std::size_t i = 0; i < sheet.streams.size(); ++i) {
        const TakeSheetStream& stream = sheet.streams[i];
        if (stream.ports.size() != sheet.channels || stream.inputs.size() != sheet.channels) {
            return false;
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (sheet.streams[j].index == stream.index) {
                return false;
            }
        }
    }
    // An event of a stream touches one of the sheet's files, never one it does not name.
    return std::all_of(sheet.events.begin(), sheet.events.end(), [&sheet](const TakeSheetEvent& e) {
        return !e.stream || sheet.stream(*e.stream) != nullptr;
    });
}

} // namespace

const TakeSheetStream* TakeSheetRecord::stream(std::uint32_t index) const {
    const auto found = std::find_if(streams.begin(), streams.end(),
                                    [index](const TakeSheetStream& s) { return s.index == index; });
    return found != streams.end() ? &*found : nullptr;
}

std::optional<TakeSheetRecord> parseTakeSheet(std::string_view text) {
    // The last three came later: a sheet may leave them out.
    static constexpr std::array<std::string_view, 14> kKeys = {
        "schemaVersion",  "state",    "client",       "mapping",         "sampleRate",
        "framesPerChunk", "channels", "startTime",    "framesPerStream", "verdict",
        "streams",        "events",   "bufferFrames", "bufferPeakFrames"};
    constexpr std::size_t kRequired = 11;
    TakeSheetRecord sheet;
    JsonCursor json(text);
    std::uint32_t version = 0;
    const bool read = readObject(
        json, kKeys,
        [&](std::size_t key) {
            switch (key) {
            case 0:
                return json.number(version) && version == 1;
            case 1:
                return json.string(sheet.state);
            case 2:
                return json.string(sheet.client);
            case 3:
                return json.string(sheet.mapping);
            case 4:
                return json.number(sheet.sampleRate);
            case 5:
                return json.number(sheet.framesPerChunk);
            case 6:
                return json.number(sheet.channels);
            case 7:
                return json.stringOrNull(sheet.startTime);
            case 8:
                if (json.takeNull()) {
                    sheet.framesPerStream.reset();
                    return true;
                }
                return json.number(sheet.framesPerStream.emplace());
            case 9:
                return json.stringOrNull(sheet.verdict);
            case 10:
                return readStreams(json, sheet.streams);
            case 11:
                return readEvents(json, sheet.events);
            case 12:
                return json.number(sheet.bufferFrames.emplace());
            default:
                return json.number(sheet.bufferPeakFrames.emplace());
            }
        },
        kRequired);
    if (!read || !json.atEnd() || !consistent(sheet)) {
        return std::nullopt;
    }
    return sheet;
}

} // namespace vaskel
