// A writer of the upgrade history for the tests: appends ROWS rows, each
// naming this writer and its number in the message, starting at the given
// moment (milliseconds since the epoch) so that several processes meet on
// the file at once. Prints every row that could not be written, with why, on
// stderr; exit 0 only when every row was written.
//
//   history-writer WRITER ROWS START_MS
#include "firmware/UpgradeHistory.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QThread>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 4) {
        std::fprintf(stderr, "usage: history-writer WRITER ROWS START_MS\n");
        return 2;
    }
    const QString writer = args.at(1);
    const int rows = args.at(2).toInt();
    const qint64 wait = args.at(3).toLongLong() - QDateTime::currentMSecsSinceEpoch();
    if (wait > 0)
        QThread::msleep(static_cast<unsigned long>(wait));

    norvik::UpgradeRecord record;
    record.link = QStringLiteral("network");
    record.address = QStringLiteral("127.0.0.1:1001");
    record.outcome = QStringLiteral("success");
    int lost = 0;
    for (int i = 0; i < rows; ++i) {
        record.started = QDateTime::currentDateTime();
        record.ended = record.started;
        record.message = QStringLiteral("%1/%2").arg(writer).arg(i);
        QString error;
        if (!norvik::AppendUpgradeRecord(record, &error)) {
            ++lost;
            std::fprintf(stderr, "row %s: %s\n", qPrintable(record.message), qPrintable(error));
        }
    }
    return lost == 0 ? 0 : 1;
}
