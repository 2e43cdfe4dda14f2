// Parser for the setup string "baud,parity,data,stop" ("115200,n,8,1"), for platforms whose
// serial API has no parser of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kvr {

enum class Parity : uint8_t { None, Even, Odd, Mark, Space };
enum class StopBits : uint8_t { One, OneAndHalf, Two };

struct LineSettings {
    uint32_t baud = 0;  // bits per second, > 0
    Parity parity = Parity::None;
    uint8_t dataBits = 8;  // 5..8
    StopBits stopBits = StopBits::One;

    friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

// Four comma-separated fields, blanks around each field allowed: a decimal baud rate
// (1..4294967295), a parity letter n/e/o/m/s in either case, data bits 5 to 8, stop bits 1,
// 1.5 or 2. Anything else gives nullopt. Whether the port can run the combination (1.5 stop
// bits need 5 data bits, 2 need 6 or more) is the port's question, not the parser's.
std::optional<LineSettings> ParseSetupString(std::string_view text);

}  // namespace kvr
