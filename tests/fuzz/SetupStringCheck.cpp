#include "SetupStringCheck.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "SetupString.h"

namespace kvr::fuzz {

namespace {

constexpr uint64_t kMaxBaud = 4294967295ULL;
constexpr size_t kFieldCount = 4;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::optional<LineSettings> Reference(std::string_view text) {
    std::vector<std::string_view> fields;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == ',') {
            fields.push_back(Trim(text.substr(start, i - start)));
            start = i + 1;
        }
    }
    if (fields.size() != kFieldCount)
        return std::nullopt;

    LineSettings s;
    const std::string_view baud = fields[0];
    if (baud.empty())
        return std::nullopt;
    uint64_t value = 0;
    for (char c : baud) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > kMaxBaud)
            return std::nullopt;
    }
    if (value == 0)
        return std::nullopt;
    s.baud = static_cast<uint32_t>(value);

    if (fields[1].size() != 1)
        return std::nullopt;
    switch (fields[1][0]) {
        case 'n':
        case 'N':
            s.parity = Parity::None;
            break;
        case 'e':
        case 'E':
            s.parity = Parity::Even;
            break;
        case 'o':
        case 'O':
            s.parity = Parity::Odd;
            break;
        case 'm':
        case 'M':
            s.parity = Parity::Mark;
            break;
        case 's':
        case 'S':
            s.parity = Parity::Space;
            break;
        default:
            return std::nullopt;
    }

    if (fields[2] == "5" || fields[2] == "6" || fields[2] == "7" || fields[2] == "8")
        s.dataBits = static_cast<uint8_t>(fields[2][0] - '0');
    else
        return std::nullopt;

    if (fields[3] == "1")
        s.stopBits = StopBits::One;
    else if (fields[3] == "1.5")
        s.stopBits = StopBits::OneAndHalf;
    else if (fields[3] == "2")
        s.stopBits = StopBits::Two;
    else
        return std::nullopt;
    return s;
}

std::string Plain(const LineSettings& s) {
    static const char kParity[] = {'n', 'e', 'o', 'm', 's'};
    static const char* const kStop[] = {"1", "1.5", "2"};
    return std::to_string(s.baud) + "," + kParity[static_cast<int>(s.parity)] + "," +
           std::to_string(s.dataBits) + "," + kStop[static_cast<int>(s.stopBits)];
}

std::string Describe(const std::optional<LineSettings>& s) {
    return s ? Plain(*s) : std::string("refused");
}

}  // namespace

Finding CheckSetupStringInput(const uint8_t* data, size_t size) {
    FindingLog log;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::optional<LineSettings> got = ParseSetupString(text);
    const std::optional<LineSettings> expected = Reference(text);
    if (got != expected) {
        log.Add("\"", std::string(text), "\" parsed as ", Describe(got), ", the grammar gives ",
                Describe(expected));
        return log.First();
    }
    if (got) {
        if (got->baud == 0 || got->dataBits < 5 || got->dataBits > 8)
            log.Add("accepted settings out of range: ", Plain(*got));
        const std::string plain = Plain(*got);
        if (ParseSetupString(plain) != got)
            log.Add("\"", plain, "\" does not parse back to itself");
    }
    return log.First();
}

}  // namespace kvr::fuzz
