#include "DevsimCommandLine.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <functional>
#include <limits>
#include <map>

namespace kvr::devsim {

namespace {

constexpr uint32_t kMaxBaud = 10'000'000;
constexpr uint32_t kMaxRestartDelayMs = 600'000;
constexpr uint32_t kMaxSwapMs = 3'600'000;

bool ParseUnsigned(const QString& text, uint64_t max, uint64_t& value) {
    bool ok = false;
    const qulonglong v = text.toULongLong(&ok, 10);
    if (!ok || v > max)
        return false;
    value = v;
    return true;
}

bool ParseAddressLength(const QString& text, uint16_t& value) {
    if (text == QLatin1String("6")) {
        value = 6;
    } else if (text == QLatin1String("0")) {
        value = 0;
    } else {
        return false;
    }
    return true;
}

bool ParseFaultKind(const QString& text, FaultKind& kind) {
    static const std::map<QString, FaultKind> kinds = {
        {QStringLiteral("no-reply"), FaultKind::NoReply},
        {QStringLiteral("bad-checksum"), FaultKind::BadChecksum},
        {QStringLiteral("wrong-echo"), FaultKind::WrongEcho},
        {QStringLiteral("short-reply"), FaultKind::ShortReply},
        {QStringLiteral("wrong-start"), FaultKind::WrongStartByte},
    };
    const auto it = kinds.find(text);
    if (it == kinds.end())
        return false;
    kind = it->second;
    return true;
}

bool ParseCommand(const QString& text, int& command) {
    static const std::map<QString, int> commands = {
        {QStringLiteral("any"), kAnyCommand},
        {QStringLiteral("status"), kCmdStatus},
        {QStringLiteral("enter-bootloader"), kCmdEnterBootloader},
        {QStringLiteral("start-update"), kCmdStartUpdate},
        {QStringLiteral("write-page"), kCmdWritePage},
        {QStringLiteral("write-serial"), kCmdWriteSerialNumber},
    };
    const auto it = commands.find(text);
    if (it == commands.end())
        return false;
    command = it->second;
    return true;
}

// KIND[:COMMAND[:FIRST[:COUNT]]]
bool ParseFault(const QString& text, ReplyFault& fault) {
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() > 4 || !ParseFaultKind(parts[0], fault.kind))
        return false;
    if (parts.size() > 1 && !ParseCommand(parts[1], fault.command))
        return false;
    uint64_t v = 0;
    if (parts.size() > 2) {
        if (!ParseUnsigned(parts[2], std::numeric_limits<uint32_t>::max(), v) || v == 0) {
            return false;
        }
        fault.first = static_cast<uint32_t>(v);
    }
    if (parts.size() > 3) {
        if (!ParseUnsigned(parts[3], std::numeric_limits<uint32_t>::max(), v))
            return false;
        fault.count = static_cast<uint32_t>(v);
    }
    return true;
}

// PAGE:FLAGS
bool ParsePageFlags(const QString& text, std::map<uint16_t, uint8_t>& flags) {
    const QStringList parts = text.split(QLatin1Char(':'));
    uint64_t page = 0;
    uint64_t value = 0;
    if (parts.size() != 2 || !ParseUnsigned(parts[0], 0xFFFF, page) ||
        !ParseUnsigned(parts[1], 0xFF, value)) {
        return false;
    }
    flags[static_cast<uint16_t>(page)] = static_cast<uint8_t>(value);
    return true;
}

// A setter that stores a number of at most `max` into `target`.
template <typename T>
std::function<bool(const QString&)> Number(T& target, uint64_t max) {
    return [&target, max](const QString& text) {
        uint64_t v = 0;
        if (!ParseUnsigned(text, max, v))
            return false;
        target = static_cast<T>(v);
        return true;
    };
}

std::function<bool(const QString&)> Text(QString& target) {
    return [&target](const QString& text) {
        target = text;
        return !text.isEmpty();
    };
}

}  // namespace

bool ParseDevsimArguments(const QStringList& arguments, DevsimSettings& settings, QString& error) {
    DevsimSettings s;
    DeviceOptions& d = s.device;
    uint16_t errorPage = 0;
    bool haveErrorPage = false;
    using Setter = std::function<bool(const QString&)>;
    // Options that take a value.
    const std::map<QString, Setter> valued = {
        {QStringLiteral("--package"), Text(s.packagePath)},
        {QStringLiteral("--report"), Text(s.reportPath)},
        {QStringLiteral("--app-address"),
         [&](const QString& t) { return ParseAddressLength(t, d.applicationAddressLength); }},
        {QStringLiteral("--boot-address"),
         [&](const QString& t) { return ParseAddressLength(t, d.bootloaderAddressLength); }},
        {QStringLiteral("--app-status"), Number(d.applicationStatus, 0xFF)},
        {QStringLiteral("--boot-status"), Number(d.bootloaderStatus, 0xFF)},
        {QStringLiteral("--final-status"),
         [&](const QString& t) {
             uint8_t status = 0;
             if (!Number(status, 0xFF)(t))
                 return false;
             d.finalStatuses = {status};
             return true;
         }},
        {QStringLiteral("--restart-delay"), Number(d.restartDelayMs, kMaxRestartDelayMs)},
        {QStringLiteral("--requested-length"), Number(d.requestedLength, 0xFFFF)},
        {QStringLiteral("--busy-every"), Number(d.busyEveryPages, 0xFFFFFFFF)},
        {QStringLiteral("--refuse-enter"), Number(d.refuseEnterBootloader, 0xFFFF)},
        {QStringLiteral("--refuse-start"), Number(d.refuseStartUpdate, 0xFFFF)},
        {QStringLiteral("--error-status-at-page"),
         [&](const QString& t) { return haveErrorPage = Number(errorPage, 0xFFFF)(t); }},
        {QStringLiteral("--page-flags"),
         [&](const QString& t) { return ParsePageFlags(t, d.pageFlags); }},
        {QStringLiteral("--fault"),
         [&](const QString& t) {
             ReplyFault fault;
             if (!ParseFault(t, fault))
                 return false;
             d.faults.push_back(fault);
             return true;
         }},
        {QStringLiteral("--baud"), Number(s.baud, kMaxBaud)},
        {QStringLiteral("--swap-after"), Number(d.swapAfterMs, kMaxSwapMs)},
        {QStringLiteral("--swap-gap"), Number(d.swapGapMs, kMaxSwapMs)},
    };
    // Switches.
    const std::map<QString, bool*> switches = {
        {QStringLiteral("--start-in-bootloader"), &d.startInBootloader},
        {QStringLiteral("--page-beyond"), &d.requestPageBeyond},
        {QStringLiteral("--refuse-serial"), &d.refuseSerialNumber},
        {QStringLiteral("--silent-after-completion"), &d.silentAfterCompletion},
        {QStringLiteral("--silent"), &d.silent},
        {QStringLiteral("--help"), &s.help},
    };

    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString name = arguments[i];
        QString value;
        bool inlineValue = false;
        if (const qsizetype eq = name.indexOf(QLatin1Char('='));
            name.startsWith(QLatin1String("--")) && eq > 0) {
            value = name.mid(eq + 1);
            name = name.left(eq);
            inlineValue = true;
        }
        if (const auto sw = switches.find(name); sw != switches.end() && !inlineValue) {
            *sw->second = true;
            continue;
        }
        const auto it = valued.find(name);
        if (it == valued.end()) {
            error = QStringLiteral("unknown option: %1").arg(arguments[i]);
            return false;
        }
        if (!inlineValue) {
            if (i + 1 >= arguments.size()) {
                error = QStringLiteral("%1 needs a value").arg(name);
                return false;
            }
            value = arguments[++i];
        }
        if (!it->second(value)) {
            error = QStringLiteral("bad value for %1: %2").arg(name, value);
            return false;
        }
    }
    if (haveErrorPage)
        d.errorStatusAtPage = errorPage;
    if (!s.help && s.packagePath.isEmpty()) {
        error = QStringLiteral("--package FILE is required");
        return false;
    }
    settings = std::move(s);
    return true;
}

QString DevsimUsage() {
    return QStringLiteral(
        "Usage: kvr-devsim --package FILE [options]\n"
        "Simulates a KVR-17 on a pseudo-terminal. Prints the terminal's path on the first line of\n"
        "standard output and serves until SIGTERM or SIGINT.\n"
        "\n"
        "  --package FILE             the update package the device expects (required)\n"
        "  --report FILE              write the summary there on exit (default: standard error):\n"
        "                             the device's counters, the bytes each way and the host's\n"
        "                             turnarounds (last reply byte to next request byte)\n"
        "  --baud B                   emulate the wire time at B bit/s, 10 bits per byte (default "
        "0: none)\n"
        "\n"
        "Framing and statuses:\n"
        "  --app-address 6|0          address length in application mode (default 6)\n"
        "  --boot-address 6|0         address length in bootloader mode (default 0);\n"
        "                             frames in the other framing get no answer\n"
        "  --start-in-bootloader      start in the bootloader instead of the application\n"
        "  --app-status N             status of the application before the update (default 0)\n"
        "  --boot-status N            status of the idle bootloader, 2 or 7 (default 2)\n"
        "  --restart-delay MS         silence after cmdEnterBootloader and after completion "
        "(default 1500)\n"
        "  --requested-length N       data bytes asked for with each page (default pageSize - 8)\n"
        "  --page-beyond              after the last page, ask once for the page after it\n"
        "  --busy-every K             answer status 4 once after every K-th page (default 0: "
        "never)\n"
        "  --final-status N           status after completion: 0, 5 or 10 for success (default 0)\n"
        "  --swap-after MS            a hands-free fixture: MS after an update completed the unit\n"
        "                             is taken out (silent for --swap-gap MS, default 2000), then\n"
        "                             a fresh unit answers (default 0: the unit stays)\n"
        "\n"
        "Faults:\n"
        "  --silent                   never answer\n"
        "  --silent-after-completion  no answer at all once status 5 was sent\n"
        "  --error-status-at-page P   answer status 6 instead of asking for page P\n"
        "  --page-flags P:FLAGS       reply flags for page P (1 not written, 2 hardware and\n"
        "                             4 program incompatible; may be combined), repeatable\n"
        "  --refuse-enter N           refuse the first N cmdEnterBootloader\n"
        "  --refuse-start N           refuse the first N cmdStartUpdate\n"
        "  --refuse-serial            refuse cmdWriteSerialNumber\n"
        "  --fault KIND[:CMD[:FIRST[:COUNT]]]\n"
        "                             spoil replies, repeatable. KIND: no-reply, bad-checksum,\n"
        "                             wrong-echo, short-reply, wrong-start. CMD: any (default),\n"
        "                             status, enter-bootloader, start-update, write-page,\n"
        "                             write-serial. FIRST: first spoilt reply of that command,\n"
        "                             1-based (default 1). COUNT: how many (default 1, 0: all)\n"
        "\n"
        "  --help                     this text\n");
}

QString FormatDeviceReport(const DeviceReport& r) {
    QString text;
    auto line = [&text](const char* key, uint32_t value) {
        text += QStringLiteral("%1=%2\n").arg(QLatin1String(key)).arg(value);
    };
    line("pages_received", r.pagesReceived);
    line("mismatches", r.pageMismatches);
    line("updates_completed", r.updatesCompleted);
    line("units_swapped", r.unitsSwapped);
    line("status_requests", r.statusRequests);
    line("enter_bootloader_requests", r.enterBootloaderRequests);
    line("start_update_requests", r.startUpdateRequests);
    line("bootall_page_frames", r.bootAllPageFrames);
    line("bootall_other_frames", r.bootAllOtherFrames);
    line("frames_handled", r.framesHandled);
    line("frames_ignored", r.framesIgnored);
    for (const SerialNumberRecord& sn : r.serialNumbers) {
        QString hex;
        for (uint8_t b : sn.serial)
            hex += QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0'));
        text += QStringLiteral("serial_number=%1:%2\n").arg(sn.hardware).arg(hex.toUpper());
    }
    return text;
}

uint32_t PercentileOf(std::vector<uint32_t> samples, uint32_t percent) {
    if (samples.empty() || percent == 0)
        return 0;
    percent = std::min<uint32_t>(percent, 100);
    // Rank ceil(percent/100 * n), 1-based.
    const size_t rank = (samples.size() * percent + 99) / 100;
    const auto nth = samples.begin() + static_cast<ptrdiff_t>(rank - 1);
    std::nth_element(samples.begin(), nth, samples.end());
    return *nth;
}

QString FormatLineReport(const LineStats& s) {
    QString text;
    auto line = [&text](const char* key, uint64_t value) {
        text += QStringLiteral("%1=%2\n").arg(QLatin1String(key)).arg(value);
    };
    constexpr uint32_t kMedianPercent = 50;
    constexpr uint32_t kTailPercent = 99;
    line("bytes_received", s.bytesReceived);
    line("bytes_sent", s.bytesSent);
    line("line_time_us", s.lastByteOutUs > s.firstByteInUs ? s.lastByteOutUs - s.firstByteInUs : 0);
    line("turnarounds", s.turnaroundsUs.size() + s.turnaroundsDropped);
    line("turnaround_median_us", PercentileOf(s.turnaroundsUs, kMedianPercent));
    line("turnaround_p99_us", PercentileOf(s.turnaroundsUs, kTailPercent));
    const auto max = std::max_element(s.turnaroundsUs.begin(), s.turnaroundsUs.end());
    line("turnaround_max_us", max == s.turnaroundsUs.end() ? 0 : *max);
    line("wire_due_us", s.wireDueUs);
    line("wire_slept_us", s.wireSleptUs);
    return text;
}

bool WriteReportFile(const QString& path, const QString& text, QString& error) {
    const QByteArray bytes = text.toUtf8();
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        QFile node(path);
        if (!node.open(QIODevice::WriteOnly) || node.write(bytes) != bytes.size()) {
            error = node.errorString();
            return false;
        }
        return true;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) < 0 || !file.commit()) {
        error = file.errorString();
        return false;
    }
    return true;
}

}  // namespace kvr::devsim
