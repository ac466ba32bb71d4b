#pragma once
// Runs norvik-ctl as a separate process for end-to-end tests.
//
//   const auto r = norvik::test::RunCtl(NORVIK_CTL_PATH, {"--host", "127.0.0.1", "info"});
//   EXPECT_EQ(r.exitCode, 0) << r.describe();
//
// stdin is closed (never a terminal), stdout and stderr are kept apart.
#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

namespace norvik::test {

struct CtlResult {
    bool finished = false; // false: still running at the time-out (then killed)
    int exitCode = -1;     // -1 also when it crashed
    QByteArray out;
    QByteArray err;
    qint64 elapsedMs = 0;

    QString outText() const { return QString::fromUtf8(out); }
    QString errText() const { return QString::fromUtf8(err); }
    // Every stdout line parsed as a JSON object; a line that is not one fails the parse (empty list).
    QList<QJsonObject> jsonLines(bool *ok = nullptr) const;
    // For assertion messages.
    QString describe() const;
};

CtlResult RunCtl(const QString &program, const QStringList &args, int timeoutMs = 30000);

} // namespace norvik::test
