#include <QString>
#include <cstdio>

#include "Cli.h"
#include "InterruptWatch.h"

namespace kvr::cli {

namespace {
constexpr size_t kAnswerBufferBytes = 64;
}

bool AskYesNo(CliOutput& io) {
    if (!IsTerminal(stdin))
        return false;
    io.Err(QStringLiteral("Continue? [y/N]"));
    io.Flush();  // on the screen before the answer is read
    char buffer[kAnswerBufferBytes] = {};
    // Ctrl+C ends the read (InterruptWatch) and counts as No.
    if (std::fgets(buffer, sizeof buffer, stdin) == nullptr) {
        std::clearerr(stdin);
        return false;
    }
    const QString answer = QString::fromLocal8Bit(buffer).trimmed().toLower();
    return answer == QLatin1String("y") || answer == QLatin1String("yes") ||
           answer == QStringLiteral("д") || answer == QStringLiteral("да");
}

}  // namespace kvr::cli
