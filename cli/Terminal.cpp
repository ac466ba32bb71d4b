#include "cli/Terminal.h"

#include <QByteArray>

#include <algorithm>

#include <sys/ioctl.h>
#include <unistd.h>

namespace ctl {

int TerminalColumns()
{
    for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        winsize size {};
        if (::isatty(fd) && ::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
            return size.ws_col;
    }
    bool number = false;
    const int columns = qEnvironmentVariable("COLUMNS").toInt(&number);
    return number && columns > 0 ? columns : 80;
}

QString ProgressLine(int percent, const QStringList &parts, int columns)
{
    constexpr int kWidestBar = 30;
    constexpr int kNarrowestBar = 10;
    const int room = std::max(1, columns - 1); // the last column would wrap on some terminals
    QStringList kept = parts;
    const auto line = [percent](int width, const QStringList &tail) {
        const int filled = width * std::clamp(percent, 0, 100) / 100;
        QString text = QStringLiteral("[%1%2] %3%")
                           .arg(QString(filled, QLatin1Char('#')), QString(width - filled, QLatin1Char('-')))
                           .arg(percent, 3);
        for (const QString &part : tail)
            text += QStringLiteral("  ") + part;
        return text;
    };
    while (true) {
        const int fixed = static_cast<int>(line(0, kept).size());
        const int width = std::min(kWidestBar, room - fixed);
        if (width >= kNarrowestBar)
            return line(width, kept);
        if (kept.isEmpty())
            return line(kNarrowestBar, kept).left(room);
        kept.removeLast();
    }
}

} // namespace ctl
