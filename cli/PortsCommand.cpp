// ports [--json]: the port names of the window's port selector, one per line, in its order; with
// --json, each port with what the system knows of it, so that a fixture can find its adapters
// again after the nodes are renumbered.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <string>

#include "Arguments.h"
#include "Cli.h"
#include "SerialPorts.h"

namespace kvr::cli {

namespace {

// Raise it when a field changes meaning or goes; added fields keep it.
constexpr int kPortsJsonVersion = 1;

// null where the system said nothing, so that readers need not tell "" from unknown.
QJsonValue TextOrNull(const std::string& text) {
    return text.empty() ? QJsonValue(QJsonValue::Null) : QJsonValue(QString::fromStdString(text));
}

QJsonValue UsbObject(const SerialPortDetails& port) {
    if (port.usbVendorId.empty() && port.usbProductId.empty() && port.usbSerialNumber.empty() &&
        port.manufacturer.empty() && port.product.empty()) {
        return QJsonValue::Null;
    }
    QJsonObject usb;
    usb.insert(QStringLiteral("vendor_id"), TextOrNull(port.usbVendorId));
    usb.insert(QStringLiteral("product_id"), TextOrNull(port.usbProductId));
    usb.insert(QStringLiteral("serial_number"), TextOrNull(port.usbSerialNumber));
    usb.insert(QStringLiteral("manufacturer"), TextOrNull(port.manufacturer));
    usb.insert(QStringLiteral("product"), TextOrNull(port.product));
    return usb;
}

void PrintJson(CliOutput& io) {
    QJsonArray ports;
    for (const SerialPortDetails& port : DescribeSerialPorts()) {
        QJsonObject o;
        o.insert(QStringLiteral("port"), QString::fromStdString(port.portName));
        o.insert(QStringLiteral("device"), QString::fromStdString(port.deviceName));
        o.insert(QStringLiteral("by_id"), TextOrNull(port.byIdPath));
        o.insert(QStringLiteral("usb"), UsbObject(port));
        o.insert(QStringLiteral("driver"), TextOrNull(port.driver));
        ports.append(o);
    }
    QJsonObject document;
    document.insert(QStringLiteral("version"), kPortsJsonVersion);
    document.insert(QStringLiteral("ports"), ports);
    // One line, as info --json prints.
    io.Out(QString::fromUtf8(QJsonDocument(document).toJson(QJsonDocument::Compact)));
}

void PrintHelp(CliOutput& io, const CliCommand& command) {
    PrintCommandHelp(io, command);
    io.Out(QString());
    io.Out(QStringLiteral("  --json    one JSON document instead: each port with its stable"));
    io.Out(QStringLiteral("            /dev/serial/by-id name, USB ids, serial number and driver"));
    io.Out(QStringLiteral("            where the system knows them, null where it does not"));
}

}  // namespace

int RunPortsCommand(const CliCommand& command, const QStringList& args, CliOutput& io) {
    PortsSettings settings;
    QString error;
    if (!ParsePortsArguments(args, settings, error))
        return UsageError(io, error);
    if (settings.help) {
        PrintHelp(io, command);
        return kExitOk;
    }
    if (settings.json) {
        PrintJson(io);
        return kExitOk;
    }
    for (const SerialPortEntry& port : EnumerateSerialPorts()) {
        io.Out(QString::fromStdString(port.portName));
    }
    return kExitOk;
}

}  // namespace kvr::cli
