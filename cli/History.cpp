#include "cli/History.h"

#include "cli/ExitCodes.h"
#include "cli/Output.h"
#include "firmware/UpgradeHistory.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>
#include <vector>

namespace ctl {

namespace {

const QString kShownTime = QStringLiteral("yyyy-MM-dd HH:mm:ss");

QString Duration(const norvik::UpgradeRecord &r)
{
    if (!r.started.isValid() || !r.ended.isValid())
        return {};
    const qint64 seconds = std::max<qint64>(0, r.started.secsTo(r.ended));
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString Iso(const QDateTime &time)
{
    return time.isValid() ? time.toString(Qt::ISODate) : QString();
}

// The columns of --csv and the keys of --json, in one order.
const QStringList kFields{QStringLiteral("started"),        QStringLiteral("ended"),   QStringLiteral("link"),
                          QStringLiteral("address"),        QStringLiteral("id"),      QStringLiteral("sn"),
                          QStringLiteral("type_code"),      QStringLiteral("version_before"),
                          QStringLiteral("version_after"),  QStringLiteral("file"),    QStringLiteral("file_sha256"),
                          QStringLiteral("lines"),          QStringLiteral("resends"), QStringLiteral("kind"),
                          QStringLiteral("outcome"),        QStringLiteral("message")};

QJsonObject RecordObject(const norvik::UpgradeRecord &r)
{
    const QJsonValue values[] = {Iso(r.started),     Iso(r.ended),     r.link,         r.address,
                                 r.controllerId >= 0 ? QJsonValue(r.controllerId) : QJsonValue(),
                                 r.serialNumber,     r.typeCode,       r.versionBefore, r.versionAfter,
                                 r.fileName,         r.fileSha256,     r.lines,        r.resends,
                                 r.kind,             r.outcome,        r.message};
    QJsonObject object;
    for (qsizetype i = 0; i < kFields.size(); ++i)
        object.insert(kFields.at(i), values[i]);
    return object;
}

// A field quoted when it holds a separator, a quote, a line break or edge
// spaces, with its quotes doubled, so that any reader splits it as written.
QString CsvField(const QString &text)
{
    static const QRegularExpression needsQuotes(QStringLiteral("[,\"\\r\\n]|^\\s|\\s$"));
    if (!needsQuotes.match(text).hasMatch())
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString CsvLine(const QJsonObject &object)
{
    QStringList fields;
    for (const QString &key : kFields) {
        const QJsonValue value = object.value(key);
        fields << CsvField(value.isDouble() ? QString::number(value.toInt()) : value.toString());
    }
    return fields.join(QLatin1Char(',')) + QLatin1Char('\n');
}

// A readable table: one row a download or a verification, columns as wide as their widest text.
void PrintTable(const QList<norvik::UpgradeRecord> &records)
{
    const QStringList header{QStringLiteral("Started"), QStringLiteral("Time"),    QStringLiteral("Link"),
                             QStringLiteral("Address"), QStringLiteral("ID"),      QStringLiteral("SN"),
                             QStringLiteral("Type"),    QStringLiteral("Version"), QStringLiteral("File"),
                             QStringLiteral("Lines"),   QStringLiteral("Resends"), QStringLiteral("Kind"),
                             QStringLiteral("Outcome"), QStringLiteral("Message")};
    std::vector<QStringList> rows{header};
    for (const norvik::UpgradeRecord &r : records) {
        QString version = r.versionAfter.isEmpty() ? r.versionBefore
                                                   : QStringLiteral("%1 -> %2").arg(r.versionBefore, r.versionAfter);
        rows.push_back({r.started.toString(kShownTime), Duration(r), r.link, r.address,
                        r.controllerId >= 0 ? QString::number(r.controllerId) : QString(), r.serialNumber, r.typeCode,
                        version.trimmed(), QFileInfo(r.fileName).fileName(), QString::number(r.lines),
                        QString::number(r.resends), r.kind, r.outcome, r.message});
    }
    std::vector<qsizetype> widths(header.size(), 0);
    for (QStringList &row : rows) {
        for (qsizetype i = 0; i < row.size(); ++i) {
            // Line breaks would tear the table; the full text is in --json and --csv.
            row[i] = row[i].simplified();
            if (row[i].isEmpty())
                row[i] = QStringLiteral("-");
            widths[static_cast<std::size_t>(i)] = std::max(widths[static_cast<std::size_t>(i)], row[i].size());
        }
    }
    for (const QStringList &row : rows) {
        QString line;
        for (qsizetype i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? row[i].leftJustified(widths[static_cast<std::size_t>(i)] + 2) : row[i];
        WriteOut(line + QLatin1Char('\n'));
    }
}

} // namespace

QDateTime ParseSince(const QString &text)
{
    static const QRegularExpression dateOnly(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
    static const QRegularExpression dateTime(
        QStringLiteral("^\\d{4}-\\d{2}-\\d{2}[T ]\\d{2}:\\d{2}(:\\d{2})?(Z|[+-]\\d{2}:\\d{2})?$"));
    const QString trimmed = text.trimmed();
    QDateTime since;
    if (dateOnly.match(trimmed).hasMatch()) {
        const QDate date = QDate::fromString(trimmed, Qt::ISODate);
        if (date.isValid())
            since = date.startOfDay();
    } else if (dateTime.match(trimmed).hasMatch()) {
        QString iso = trimmed;
        iso[10] = QLatin1Char('T');
        since = QDateTime::fromString(iso, Qt::ISODate);
    }
    if (!since.isValid())
        throw UsageError(QStringLiteral("--since: '%1' is not a date like 2026-01-31 or a date and time like "
                                        "2026-01-31T13:45:00").arg(text));
    return since;
}

int RunHistory(const Options &options, const Output &out)
{
    if (options.json && options.csv)
        throw UsageError(QStringLiteral("history: give --json or --csv, not both"));
    norvik::UpgradeFilter filter;
    filter.serialNumber = options.sn;
    if (!options.since.isEmpty())
        filter.since = ParseSince(options.since);

    QList<norvik::UpgradeRecord> records;
    QString error;
    const QString path = norvik::UpgradeHistoryPath();
    if (!norvik::ReadUpgradeRecords(filter, &records, &error)) {
        out.Error(QStringLiteral("cannot read the upgrade history: %1").arg(error));
        out.Object(QJsonObject{{QStringLiteral("command"), options.command}, {QStringLiteral("ok"), false},
                               {QStringLiteral("database"), path}, {QStringLiteral("error"), error}});
        return ExitIo;
    }

    if (options.csv) {
        QString text = kFields.join(QLatin1Char(',')) + QLatin1Char('\n');
        for (const norvik::UpgradeRecord &r : records)
            text += CsvLine(RecordObject(r));
        WriteOut(text);
        return ExitOk;
    }
    QJsonArray array;
    for (const norvik::UpgradeRecord &r : records)
        array.append(RecordObject(r));
    out.Object(QJsonObject{{QStringLiteral("command"), options.command}, {QStringLiteral("ok"), true},
                           {QStringLiteral("database"), path}, {QStringLiteral("records"), array}});
    if (out.Json())
        return ExitOk;
    if (records.isEmpty())
        out.Text(QStringLiteral("No downloads or verifications recorded%1 (%2).")
                     .arg(filter.serialNumber.isEmpty() && !filter.since.isValid() ? QString()
                                                                                   : QStringLiteral(" that match"),
                          path));
    else
        PrintTable(records);
    return ExitOk;
}

} // namespace ctl
