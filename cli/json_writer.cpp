#include "cli/json_writer.h"

#include <cstdio>

#include "cli/utf8_text.h"

namespace cli {
namespace {

constexpr uint32_t kReplacementCharacter = 0xFFFD;

// The code point of the well-formed UTF-8 character of `length` bytes at `text`.
uint32_t DecodeUtf8(const unsigned char* text, size_t length) {
    static constexpr unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    uint32_t code = text[0] & kLeadBits[length];
    for (size_t i = 1; i < length; ++i) {
        code = (code << 6) | (text[i] & 0x3F);
    }
    return code;
}

}  // namespace

void JsonWriter::BeforeValue() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!empty_.empty()) {
        if (!empty_.back()) {
            text_ += ',';
        }
        empty_.back() = false;
    }
}

void JsonWriter::Open(char bracket) {
    BeforeValue();
    text_ += bracket;
    empty_.push_back(true);
}

void JsonWriter::Close(char bracket) {
    if (!empty_.empty()) {
        empty_.pop_back();
    }
    text_ += bracket;
}

void JsonWriter::BeginObject() {
    Open('{');
}

void JsonWriter::EndObject() {
    Close('}');
}

void JsonWriter::BeginArray() {
    Open('[');
}

void JsonWriter::EndArray() {
    Close(']');
}

void JsonWriter::Key(const char* key) {
    String(key);
    text_ += ':';
    afterKey_ = true;
}

// Every character outside ASCII goes out as a \u escape (a surrogate pair past U+FFFF), so that
// the text reads the same whatever code page a console or a shell decodes ktl's output in.
void JsonWriter::String(const std::string& utf8) {
    BeforeValue();
    text_ += '"';
    const auto* bytes = reinterpret_cast<const unsigned char*>(utf8.data());
    for (size_t at = 0; at < utf8.size();) {
        const unsigned char byte = bytes[at];
        if (byte == '"' || byte == '\\') {
            text_ += '\\';
            text_ += static_cast<char>(byte);
            ++at;
        } else if (byte >= 0x20 && byte < 0x7F) {
            text_ += static_cast<char>(byte);
            ++at;
        } else {
            // A byte that begins no character would make the whole output unreadable: it
            // stands as U+FFFD, which the converters never let through anyway.
            const size_t length = Utf8CharacterAt(bytes + at, utf8.size() - at);
            AppendEscaped(length == 0 ? kReplacementCharacter : DecodeUtf8(bytes + at, length));
            at += length == 0 ? 1 : length;
        }
    }
    text_ += '"';
}

void JsonWriter::AppendEscaped(uint32_t code) {
    auto unit = [this](uint32_t value) {
        char escaped[8];
        std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(value));
        text_ += escaped;
    };
    if (code < 0x10000) {
        unit(code);
    } else {
        code -= 0x10000;
        unit(0xD800 + (code >> 10));
        unit(0xDC00 + (code & 0x3FF));
    }
}

void JsonWriter::Number(uint64_t value) {
    BeforeValue();
    text_ += std::to_string(value);
}

void JsonWriter::Bool(bool value) {
    BeforeValue();
    text_ += value ? "true" : "false";
}

void JsonWriter::Null() {
    BeforeValue();
    text_ += "null";
}

}  // namespace cli
