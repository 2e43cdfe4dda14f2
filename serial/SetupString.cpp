#include "SetupString.h"

#include <array>

namespace kvr {

namespace {

constexpr size_t kFieldCount = 4;
constexpr uint8_t kMinDataBits = 5;
constexpr uint8_t kMaxDataBits = 8;

std::string_view TrimBlanks(std::string_view s) {
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!s.empty() && blank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && blank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

std::optional<uint32_t> ParseBaud(std::string_view s) {
    if (s.empty()) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > UINT32_MAX) {
            return std::nullopt;
        }
    }
    if (value == 0) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

std::optional<Parity> ParseParity(std::string_view s) {
    if (s.size() != 1) {
        return std::nullopt;
    }
    switch (s[0]) {
        case 'n':
        case 'N':
            return Parity::None;
        case 'e':
        case 'E':
            return Parity::Even;
        case 'o':
        case 'O':
            return Parity::Odd;
        case 'm':
        case 'M':
            return Parity::Mark;
        case 's':
        case 'S':
            return Parity::Space;
        default:
            return std::nullopt;
    }
}

std::optional<uint8_t> ParseDataBits(std::string_view s) {
    if (s.size() != 1 || s[0] < '0' + kMinDataBits || s[0] > '0' + kMaxDataBits) {
        return std::nullopt;
    }
    return static_cast<uint8_t>(s[0] - '0');
}

std::optional<StopBits> ParseStopBits(std::string_view s) {
    if (s == "1") {
        return StopBits::One;
    }
    if (s == "1.5") {
        return StopBits::OneAndHalf;
    }
    if (s == "2") {
        return StopBits::Two;
    }
    return std::nullopt;
}

}  // namespace

std::optional<LineSettings> ParseSetupString(std::string_view text) {
    std::array<std::string_view, kFieldCount> fields;
    size_t count = 0;
    while (true) {
        const size_t comma = text.find(',');
        if (count == kFieldCount) {
            return std::nullopt;  // a fifth field
        }
        fields[count++] = TrimBlanks(text.substr(0, comma));
        if (comma == std::string_view::npos) {
            break;
        }
        text.remove_prefix(comma + 1);
    }
    if (count != kFieldCount) {
        return std::nullopt;
    }
    const auto baud = ParseBaud(fields[0]);
    const auto parity = ParseParity(fields[1]);
    const auto data = ParseDataBits(fields[2]);
    const auto stop = ParseStopBits(fields[3]);
    if (!baud || !parity || !data || !stop) {
        return std::nullopt;
    }
    return LineSettings{*baud, *parity, *data, *stop};
}

}  // namespace kvr
