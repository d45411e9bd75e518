// Text for ktl's JSON output, which must be UTF-8: member names as their entries store them,
// and paths and the system's reasons, which come in the system's ANSI code page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace cli {

struct Utf8Text {
    std::string text;
    // False when the bytes were no valid text in their encoding. `text` then holds them one
    // character each: a byte below 0x80 as itself, any other as the character U+0080..U+00FF of
    // its value, so that the bytes can be had back (as Latin-1) and the JSON stays valid.
    bool converted = true;
};

// Natively the ANSI code page is the character set of the locale the environment names
// (LC_ALL, LC_CTYPE, LANG); Windows has its own. Call once at start.
void InitTextConversion();

// The length of the well-formed UTF-8 character at `text` (1 to 4), or 0 when there is none:
// overlong forms, surrogates and code points past U+10FFFF are no characters.
size_t Utf8CharacterAt(const unsigned char* text, size_t left);

// Text in the system's ANSI code page.
Utf8Text AnsiToUtf8(const std::string& text);

// A member name as stored: UTF-8 when the entry's general purpose bit 11 says so, else in the
// system's ANSI code page, as the package's installer reads it.
Utf8Text MemberNameToUtf8(const std::string& stored, uint16_t flags);

}  // namespace cli
