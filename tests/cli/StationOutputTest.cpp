// What flash prints of its station, in process: the JSON events of a station run against
// simulated devices (the process's own output is FlashEndToEndTest's).
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>
#include <map>

#include "Cli.h"
#include "Clock.h"
#include "RunMessages.h"
#include "SimulatedLine.h"
#include "Station.h"
#include "StationOutput.h"
#include "TestPages.h"

namespace {

using namespace kvr;
using namespace kvr::cli;
using namespace kvr::station;
using namespace kvr::test;

constexpr int kPages = 8;
constexpr int kPageData = 64;

std::vector<QJsonObject> JsonLines(std::FILE* file, QString& problems) {
    std::rewind(file);
    std::vector<QJsonObject> lines;
    char buffer[65536];
    while (std::fgets(buffer, sizeof buffer, file) != nullptr) {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(QByteArray(buffer), &error);
        if (!document.isObject())
            problems += QStringLiteral("not an object: %1\n").arg(QString::fromUtf8(buffer));
        lines.push_back(document.object());
    }
    return lines;
}

TEST(StationJson, EventsCarryTypePortAndTimeAndTellEveryStepOfEachPort) {
    const PageMap pages = MakePages(kPages, kPageData, 3);
    SimulatedLine a(pages);
    a.options.finalStatuses = {10};
    a.options.pageFlags[2] = devsim::kPageFlagProgramIncompatible;
    SimulatedLine b(pages);
    b.options.silent = true;
    a.Device();
    b.Device();
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    SystemClock clock;
    {
        CliOutput io(out, stderr);
        JsonStationOutput json(io, {QStringLiteral("A"), QStringLiteral("B")},
                               {QStringLiteral("p.bsk"), kPages, false, true, false}, clock);
        StationOptions options;
        options.pages = pages;
        options.technology = true;
        options.hardware = QStringLiteral("3");
        options.answerQuestion = [](int, const QString&) { return true; };
        StationPort portA{QStringLiteral("A"), {}, QStringLiteral("77"), &a.factory, &a.clock};
        StationPort portB{QStringLiteral("B"), {}, QStringLiteral("78"), &b.factory, &b.clock};
        Station station({portA, portB}, options, json);
        station.Run();
        json.Summary(station, {}, 1);
    }
    QString problems;
    const std::vector<QJsonObject> lines = JsonLines(out, problems);
    std::fclose(out);
    ASSERT_TRUE(problems.isEmpty()) << problems.toStdString();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front()["type"].toString(), QStringLiteral("start"));
    EXPECT_EQ(lines.front()["version"].toInt(), 1);
    EXPECT_EQ(lines.front()["ports"].toArray().size(), 2);
    EXPECT_TRUE(lines.front()["technology"].toBool());

    std::map<QString, QStringList> typesOf;
    qint64 lastTime = 0;
    for (const QJsonObject& line : lines) {
        ASSERT_TRUE(line.contains("type") && line.contains("port") && line.contains("time_ms"));
        EXPECT_GE(line["time_ms"].toInteger(), lastTime) << "time went back";
        lastTime = line["time_ms"].toInteger();
        const QString type = line["type"].toString();
        if (line["port"].isNull()) {
            EXPECT_TRUE(type == "start" || type == "summary") << type.toStdString();
            continue;
        }
        QStringList& types = typesOf[line["port"].toString()];
        if (types.isEmpty() || types.back() != type || type != "progress")
            types << type;  // a run of progress lines counts once
        if (type == "answer") {
            EXPECT_EQ(line["answer"].toString(), QStringLiteral("yes"));
        }
        if (type == "question" || type == "message") {
            EXPECT_FALSE(line["text"].toString().isEmpty());
        }
        if (type == "outcome" && line["port"].toString() == "A") {
            EXPECT_TRUE(line["success"].toBool());
            EXPECT_EQ(line["end"].toString(), QStringLiteral("success"));
            EXPECT_EQ(line["pages_sent"].toInt(), kPages);
            EXPECT_EQ(line["text"].toString(), kSuccess);
            EXPECT_EQ(line["serial_number"].toString(), QStringLiteral("77"));
            EXPECT_TRUE(line["serial_number_confirmed"].toBool());
        }
        if (type == "outcome" && line["port"].toString() == "B") {
            EXPECT_FALSE(line["success"].toBool());
            EXPECT_EQ(line["end"].toString(), QStringLiteral("exchange_error"));
            EXPECT_TRUE(line["serial_number"].isNull());
        }
    }
    EXPECT_EQ(typesOf["A"], (QStringList{"run_start", "progress", "question", "answer", "progress",
                                         "serial_number", "message", "outcome"}));
    EXPECT_EQ(typesOf["B"], (QStringList{"run_start", "message", "outcome"}));
    const QJsonObject& summary = lines.back();
    EXPECT_EQ(summary["type"].toString(), QStringLiteral("summary"));
    EXPECT_EQ(summary["succeeded"].toInt(), 1);
    EXPECT_EQ(summary["failed"].toInt(), 1);
    EXPECT_EQ(summary["exit_status"].toInt(), 1);
}

}  // namespace
