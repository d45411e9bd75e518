#include "cli/utf8_text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <clocale>
#include <cwchar>
#endif

namespace cli {
namespace {

constexpr uint16_t kUtf8NameFlag = 0x800;

void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The bytes as Latin-1: nothing is lost, and a reader sees from the flag that it is no text.
Utf8Text Unconverted(const std::string& bytes) {
    Utf8Text result;
    result.converted = false;
    for (unsigned char byte : bytes) {
        AppendUtf8(result.text, byte);
    }
    return result;
}

Utf8Text FromUtf8(const std::string& text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t at = 0; at < text.size();) {
        const size_t length = Utf8CharacterAt(bytes + at, text.size() - at);
        if (length == 0) {
            return Unconverted(text);
        }
        at += length;
    }
    return Utf8Text{text, true};
}

}  // namespace

size_t Utf8CharacterAt(const unsigned char* text, size_t left) {
    if (left == 0) {
        return 0;
    }
    const unsigned char lead = text[0];
    if (lead < 0x80) {
        return 1;
    }
    size_t length = 0;
    uint32_t code = 0;
    uint32_t least = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        code = lead & 0x1F;
        least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        code = lead & 0x0F;
        least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        code = lead & 0x07;
        least = 0x10000;
    } else {
        return 0;
    }
    if (length > left) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (text[i] & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return 0;
    }
    return length;
}

#ifdef _WIN32

void InitTextConversion() {}

Utf8Text AnsiToUtf8(const std::string& text) {
    if (text.empty()) {
        return Utf8Text{};
    }
    const int length = static_cast<int>(text.size());
    const int wide =
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (wide <= 0) {
        return Unconverted(text);
    }
    std::wstring utf16(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), length, utf16.data(), wide);
    const int narrow =
        WideCharToMultiByte(CP_UTF8, 0, utf16.data(), wide, nullptr, 0, nullptr, nullptr);
    if (narrow <= 0) {
        return Unconverted(text);
    }
    Utf8Text result;
    result.text.resize(static_cast<size_t>(narrow));
    WideCharToMultiByte(CP_UTF8, 0, utf16.data(), wide, result.text.data(), narrow, nullptr,
                        nullptr);
    return result;
}

#else

void InitTextConversion() {
    std::setlocale(LC_CTYPE, "");
}

Utf8Text AnsiToUtf8(const std::string& text) {
    Utf8Text result;
    std::mbstate_t state{};
    for (size_t at = 0; at < text.size();) {
        wchar_t character = 0;
        const size_t length = std::mbrtowc(&character, text.data() + at, text.size() - at, &state);
        if (length == static_cast<size_t>(-1) || length == static_cast<size_t>(-2)) {
            return Unconverted(text);
        }
        const auto code = static_cast<uint32_t>(character);
        if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return Unconverted(text);
        }
        AppendUtf8(result.text, code);
        at += length == 0 ? 1 : length;  // a zero byte is a character of its own here
    }
    return result;
}

#endif

Utf8Text MemberNameToUtf8(const std::string& stored, uint16_t flags) {
    return (flags & kUtf8NameFlag) != 0 ? FromUtf8(stored) : AnsiToUtf8(stored);
}

}  // namespace cli
