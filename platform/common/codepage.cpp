#include "kvx/platform/codepage.h"

#include <array>
#include <cstdint>

namespace kvx::platform {

namespace {

using UpperHalf = std::array<char16_t, 128>;

// Code page 850: the characters of bytes 80..FF.
constexpr UpperHalf kOem850 = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0, 0x00A9, 0x2563, 0x2551, 0x2557,
    0x255D, 0x00A2, 0x00A5, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4, 0x00F0, 0x00D0, 0x00CA, 0x00CB,
    0x00C8, 0x0131, 0x00CD, 0x00CE, 0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580,
    0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE, 0x00DE, 0x00DA, 0x00DB, 0x00D9,
    0x00FD, 0x00DD, 0x00AF, 0x00B4, 0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8,
    0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0,
};

// Windows-1252: the characters of bytes 80..FF. The five unassigned bytes (81, 8D, 8F, 90,
// 9D) map to the control characters of the same number, as the system conversion does, so
// that every byte survives a round trip.
constexpr UpperHalf kAnsi1252 = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039,
    0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178, 0x00A0, 0x00A1, 0x00A2, 0x00A3,
    0x00A4, 0x00A5, 0x00A6, 0x00A7, 0x00A8, 0x00A9, 0x00AA, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x00AF,
    0x00B0, 0x00B1, 0x00B2, 0x00B3, 0x00B4, 0x00B5, 0x00B6, 0x00B7, 0x00B8, 0x00B9, 0x00BA, 0x00BB,
    0x00BC, 0x00BD, 0x00BE, 0x00BF, 0x00C0, 0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C6, 0x00C7,
    0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC, 0x00CD, 0x00CE, 0x00CF, 0x00D0, 0x00D1, 0x00D2, 0x00D3,
    0x00D4, 0x00D5, 0x00D6, 0x00D7, 0x00D8, 0x00D9, 0x00DA, 0x00DB, 0x00DC, 0x00DD, 0x00DE, 0x00DF,
    0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5, 0x00E6, 0x00E7, 0x00E8, 0x00E9, 0x00EA, 0x00EB,
    0x00EC, 0x00ED, 0x00EE, 0x00EF, 0x00F0, 0x00F1, 0x00F2, 0x00F3, 0x00F4, 0x00F5, 0x00F6, 0x00F7,
    0x00F8, 0x00F9, 0x00FA, 0x00FB, 0x00FC, 0x00FD, 0x00FE, 0x00FF,
};

constexpr char16_t ToUnicode(const UpperHalf& table, unsigned char byte) {
    return byte < 0x80 ? char16_t{byte} : table[byte - 0x80];
}

// The byte of `ch` in the code page, or '?' when the code page has no such character.
constexpr char FromUnicode(const UpperHalf& table, char32_t ch) {
    if (ch < 0x80) return static_cast<char>(ch);
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (table[i] == ch) return static_cast<char>(0x80 + i);
    }
    return '?';
}

// Byte-to-byte tables between the two code pages, built once at compile time.
using ByteMap = std::array<char, 256>;

constexpr ByteMap MakeMap(const UpperHalf& from, const UpperHalf& to) {
    ByteMap map{};
    for (std::size_t b = 0; b < 256; ++b) {
        map[b] = FromUnicode(to, ToUnicode(from, static_cast<unsigned char>(b)));
    }
    return map;
}

constexpr ByteMap kOemToAnsi = MakeMap(kOem850, kAnsi1252);
constexpr ByteMap kAnsiToOem = MakeMap(kAnsi1252, kOem850);

std::string MapBytes(const ByteMap& map, std::string_view text) {
    std::string out(text.size(), '\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        out[i] = map[static_cast<unsigned char>(text[i])];
    }
    return out;
}

}  // namespace

char OemToAnsiChar(char oem) {
    return kOemToAnsi[static_cast<unsigned char>(oem)];
}

char16_t AnsiToUtf16Char(char ansi) {
    return ToUnicode(kAnsi1252, static_cast<unsigned char>(ansi));
}

std::string OemToAnsi(std::string_view oem) {
    return MapBytes(kOemToAnsi, oem);
}

std::string AnsiToOem(std::string_view ansi) {
    return MapBytes(kAnsiToOem, ansi);
}

std::u16string AnsiToUtf16(std::string_view ansi) {
    std::u16string out(ansi.size(), u'\0');
    for (std::size_t i = 0; i < ansi.size(); ++i) out[i] = AnsiToUtf16Char(ansi[i]);
    return out;
}

std::string Utf16ToAnsi(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            ++i;  // one character outside the basic plane: one '?'
            out.push_back('?');
            continue;
        }
        out.push_back(FromUnicode(kAnsi1252, unit));
    }
    return out;
}

std::string AnsiToUtf8(std::string_view ansi) {
    std::string out;
    out.reserve(ansi.size() * 2);
    for (char byte : ansi) {
        const char32_t ch = ToUnicode(kAnsi1252, static_cast<unsigned char>(byte));
        if (ch < 0x80) {
            out.push_back(static_cast<char>(ch));
        } else if (ch < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (ch >> 6)));
            out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (ch >> 12)));
            out.push_back(static_cast<char>(0x80 | ((ch >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
        }
    }
    return out;
}

std::string Utf8ToAnsi(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        std::size_t extra = 0;
        char32_t ch = 0;
        if (lead < 0x80) {
            ch = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            ch = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            ch = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            ch = lead & 0x07;
        } else {
            out.push_back('?');  // stray continuation byte or invalid lead byte
            ++i;
            continue;
        }
        std::size_t taken = 1;
        bool valid = true;
        for (; taken <= extra; ++taken) {
            if (i + taken >= utf8.size()) {
                valid = false;
                break;
            }
            const auto next = static_cast<unsigned char>(utf8[i + taken]);
            if ((next & 0xC0) != 0x80) {
                valid = false;
                break;
            }
            ch = (ch << 6) | (next & 0x3F);
        }
        i += taken;
        // Overlong forms are refused rather than read as the short character they hide.
        constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (valid && ch < kSmallest[extra]) valid = false;
        out.push_back(valid ? FromUnicode(kAnsi1252, ch) : '?');
    }
    return out;
}

}  // namespace kvx::platform
