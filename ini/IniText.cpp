// Encoding and small text helpers of the INI format. Qt 6 has no Windows-1251 codec, so the
// code page's upper half is tabled here.
#include <QStringDecoder>
#include <array>
#include <cstdint>

#include "MemIniFile.h"

namespace kvr {

namespace {

constexpr char16_t kControlCharMax = 32;
constexpr int kCp1251FirstHigh = 0x80;
constexpr char16_t kReplacementChar = 0xFFFD;
constexpr char32_t kMaxCodePoint = 0x10FFFF;
constexpr char32_t kFirstSurrogate = 0xD800;
constexpr char32_t kLastSurrogate = 0xDFFF;

// Windows-1251 bytes 0x80..0xFF. 0x98 has no character in the code page; it maps to the C1
// control U+0098 (as Windows does) so that such a byte survives a round trip.
constexpr std::array<char16_t, 128> kCp1251High = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // C0
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,  // C8
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  // D0
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  // D8
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // E0
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,  // E8
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  // F0
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  // F8
};

constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";
constexpr int kUtf8BomBytes = 3;
constexpr int kUtf16BomBytes = 2;

bool StartsWith(const QByteArray& bytes, unsigned char b0, unsigned char b1) {
    return bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == b0 &&
           static_cast<unsigned char>(bytes[1]) == b1;
}

bool HasUtf8Bom(const QByteArray& bytes) {
    return bytes.startsWith(kUtf8Bom);
}
bool HasUtf16LeBom(const QByteArray& bytes) {
    return StartsWith(bytes, 0xFF, 0xFE);
}
bool HasUtf16BeBom(const QByteArray& bytes) {
    return StartsWith(bytes, 0xFE, 0xFF);
}

bool HasNonAscii(const QByteArray& bytes) {
    for (char c : bytes) {
        if (static_cast<unsigned char>(c) >= kCp1251FirstHigh)
            return true;
    }
    return false;
}

QString DecodeUtf8(const QByteArray& bytes) {
    // A second byte-order mark after the first is a character of the text, not a marker.
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom |
                                                       QStringConverter::Flag::Stateless);
    return decoder.decode(bytes);
}

// Pairs of bytes into UTF-16 code units; an odd last byte becomes a replacement character.
QString DecodeUtf16(const QByteArray& bytes, bool bigEndian) {
    QString text;
    const qsizetype units = bytes.size() / 2;
    text.reserve(units + 1);
    for (qsizetype i = 0; i < units; ++i) {
        const auto first = static_cast<unsigned char>(bytes[2 * i]);
        const auto second = static_cast<unsigned char>(bytes[2 * i + 1]);
        const char16_t unit = bigEndian ? static_cast<char16_t>((first << 8) | second)
                                        : static_cast<char16_t>((second << 8) | first);
        text.append(QChar(unit));
    }
    // A surrogate without its partner cannot be written back in any encoding: keep it as the
    // replacement character, so what is read is what a rewrite stores.
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        else if (text[i].isSurrogate())
            text[i] = QChar(kReplacementChar);
    }
    if (bytes.size() % 2 != 0)
        text.append(QChar(kReplacementChar));
    return text;
}

QString DecodeCp1251(const QByteArray& bytes) {
    QString text(bytes.size(), Qt::Uninitialized);
    QChar* out = text.data();
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        out[i] = QChar(b < kCp1251FirstHigh ? char16_t(b) : kCp1251High[b - kCp1251FirstHigh]);
    }
    return text;
}

std::optional<char> EncodeCp1251Char(char16_t c) {
    if (c < kCp1251FirstHigh)
        return static_cast<char>(c);
    for (std::size_t i = 0; i < kCp1251High.size(); ++i) {
        if (kCp1251High[i] == c)
            return static_cast<char>(kCp1251FirstHigh + i);
    }
    return std::nullopt;
}

std::optional<QByteArray> EncodeCp1251(const QString& text) {
    QByteArray bytes;
    bytes.reserve(text.size());
    for (QChar c : text) {
        const std::optional<char> b = EncodeCp1251Char(c.unicode());
        if (!b)
            return std::nullopt;
        bytes.append(*b);
    }
    return bytes;
}

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

}  // namespace

bool IsValidUtf8(const QByteArray& bytes) {
    const qsizetype n = bytes.size();
    qsizetype i = 0;
    while (i < n) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        int trail;
        char32_t cp;
        char32_t minimum;
        if ((lead & 0xE0) == 0xC0) {
            trail = 1;
            cp = lead & 0x1F;
            minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            trail = 2;
            cp = lead & 0x0F;
            minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            trail = 3;
            cp = lead & 0x07;
            minimum = 0x10000;
        } else {
            return false;  // a continuation byte without a lead, or 0xF8..0xFF
        }
        if (n - i - 1 < trail)
            return false;
        for (int k = 1; k <= trail; ++k) {
            const auto b = static_cast<unsigned char>(bytes[i + k]);
            if ((b & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (b & 0x3F);
        }
        if (cp < minimum || cp > kMaxCodePoint)
            return false;
        if (cp >= kFirstSurrogate && cp <= kLastSurrogate)
            return false;
        i += 1 + trail;
    }
    return true;
}

QString DecodeIniText(const QByteArray& bytes) {
    if (HasUtf8Bom(bytes))
        return DecodeUtf8(bytes.mid(kUtf8BomBytes));
    if (HasUtf16LeBom(bytes))
        return DecodeUtf16(bytes.mid(kUtf16BomBytes), false);
    if (HasUtf16BeBom(bytes))
        return DecodeUtf16(bytes.mid(kUtf16BomBytes), true);
    if (HasNonAscii(bytes) && IsValidUtf8(bytes))
        return DecodeUtf8(bytes);
    return DecodeCp1251(bytes);
}

std::optional<QByteArray> EncodeWindows1251(const QString& text) {
    return EncodeCp1251(text);
}

QByteArray EncodeIniText(const QString& text) {
    if (std::optional<QByteArray> cp1251 = EncodeCp1251(text)) {
        // Without a marker, Windows-1251 bytes that also form valid UTF-8 would be read back as
        // UTF-8 ("Рџ" as "П"), and a leading marker's bytes would be taken for one.
        const bool readsBackAsUtf8 = HasNonAscii(*cp1251) && IsValidUtf8(*cp1251);
        const bool looksMarked =
            HasUtf8Bom(*cp1251) || HasUtf16LeBom(*cp1251) || HasUtf16BeBom(*cp1251);
        if (!readsBackAsUtf8 && !looksMarked)
            return *cp1251;
    }
    return QByteArray(kUtf8Bom) + text.toUtf8();
}

std::optional<int> ParseIniInteger(const QString& text) {
    qsizetype i = 0;
    const qsizetype n = text.size();
    bool negative = false;
    if (i < n && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    int base = 10;
    if (i < n && text[i] == u'$') {
        base = 16;
        ++i;
    } else if (n - i >= 2 && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X')) {
        base = 16;
        i += 2;
    }
    if (i == n)
        return std::nullopt;

    // The magnitude may reach 2^31 only for a negative value.
    const long long limit = negative ? 2147483648LL : 2147483647LL;
    long long magnitude = 0;
    for (; i < n; ++i) {
        const int digit = HexDigit(text[i].unicode());
        if (digit < 0 || digit >= base)
            return std::nullopt;
        magnitude = magnitude * base + digit;
        if (magnitude > limit)
            return std::nullopt;
    }
    return static_cast<int>(negative ? -magnitude : magnitude);
}

QString TrimControlChars(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin].unicode() <= kControlCharMax)
        ++begin;
    while (end > begin && text[end - 1].unicode() <= kControlCharMax)
        --end;
    if (begin == 0 && end == text.size())
        return text;
    return text.mid(begin, end - begin);
}

}  // namespace kvr
