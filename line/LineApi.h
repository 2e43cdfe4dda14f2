// kvr-line's JSON API, version kLineApiVersion: the window a request asks for and the document
// it gets. No HTTP here, so that both are tested in process on a fixed clock.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QTimeZone>
#include <map>

#include "LineView.h"

namespace kvr::line {

inline constexpr int kLineApiVersion = 1;
inline constexpr int kDefaultWindowHours = 12;
inline constexpr int kMaxWindowHours = 720;

// The query parameters of a request, decoded.
using Query = std::multimap<std::string, std::string>;

// The window's start: "shift=HH:MM", today's shift start in `zone` (yesterday's when that is
// still to come), or "hours=N" (1..kMaxWindowHours) back from `now`; neither: the last
// kDefaultWindowHours. False with a message for anything else (an unknown parameter, both, a
// bad value, a parameter given twice).
bool WindowStart(const Query& query, const QDateTime& now, const QTimeZone& zone, QDateTime& since,
                 QString& error);

// Where the record stands for the document.
struct RecordState {
    bool away = false;
    QString text;    // why it is away; empty when not
    QString url;     // as it may be shown: never with a password
    QDateTime asOf;  // when the figures were read; invalid: never
};

// The whole document; `snapshot` may be empty (nothing read yet, the record away).
QJsonObject LineDocument(const record::LineSnapshot& snapshot, const QDateTime& now,
                         const QDateTime& since, const RecordState& state);

QByteArray ErrorDocument(const QString& message);

}  // namespace kvr::line
