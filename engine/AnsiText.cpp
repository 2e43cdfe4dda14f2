#include "AnsiText.h"

#include <array>
#include <cstdint>

namespace kvr {

namespace {

constexpr char16_t kAsciiEnd = 0x80;
constexpr char16_t kCyrillicCapitalA = 0x0410;  // А … я map to 0xC0 … 0xFF
constexpr char16_t kCyrillicSmallYa = 0x044F;
constexpr uint8_t kWindows1251CapitalA = 0xC0;
constexpr uint8_t kUpperHalfStart = 0x80;

// Code points of the bytes 0x80 … 0xBF; 0 marks the one unassigned byte (0x98).
constexpr std::array<char16_t, 64> kUpperHalf = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
};

bool EncodeOne(char16_t c, uint8_t& byte) {
    if (c < kAsciiEnd) {
        byte = static_cast<uint8_t>(c);
        return true;
    }
    if (c >= kCyrillicCapitalA && c <= kCyrillicSmallYa) {
        byte = static_cast<uint8_t>(kWindows1251CapitalA + (c - kCyrillicCapitalA));
        return true;
    }
    for (size_t i = 0; i < kUpperHalf.size(); ++i) {
        if (kUpperHalf[i] != 0 && kUpperHalf[i] == c) {
            byte = static_cast<uint8_t>(kUpperHalfStart + i);
            return true;
        }
    }
    return false;
}

}  // namespace

bool EncodeWindows1251(const QString& text, QByteArray& out) {
    out.clear();
    QByteArray bytes;
    bytes.reserve(text.size());
    for (QChar c : text) {
        uint8_t byte = 0;
        if (!EncodeOne(c.unicode(), byte))
            return false;
        bytes.append(static_cast<char>(byte));
    }
    out = bytes;
    return true;
}

}  // namespace kvr
