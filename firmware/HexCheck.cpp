#include "firmware/HexCheck.h"

#include "common/Errors.h"
#include "component/commands/Arguments.h"

#include <QFile>

namespace norvik {
namespace {

using args::HexDigit;

QString Hex2(int value)
{
    return QStringLiteral("0x") + QString::number(value & 0xFF, 16).toUpper().rightJustified(2, QLatin1Char('0'));
}

// Empty when the record is sound, else why not.
QString CheckRecord(const QByteArray &line)
{
    const QByteArray digits = line.mid(1);
    for (qsizetype i = 0; i < digits.size(); ++i) {
        if (HexDigit(digits.at(i)) < 0)
            return QStringLiteral("character %1 is not a hexadecimal digit").arg(i + 2);
    }
    if (digits.size() < 10)
        return QStringLiteral("truncated record: %1 hexadecimal digits, at least 10 needed").arg(digits.size());
    const int count = HexDigit(digits.at(0)) * 16 + HexDigit(digits.at(1));
    const int needed = 10 + 2 * count;
    if (digits.size() < needed)
        return QStringLiteral("truncated record: the count field says %1 data bytes, which take %2 hexadecimal "
                              "digits; the line holds %3")
            .arg(count)
            .arg(needed)
            .arg(digits.size());
    if (digits.size() > needed)
        return QStringLiteral("record too long: the count field says %1 data bytes, which take %2 hexadecimal "
                              "digits; the line holds %3")
            .arg(count)
            .arg(needed)
            .arg(digits.size());

    QList<int> bytes;
    for (qsizetype i = 0; i < digits.size(); i += 2)
        bytes << (HexDigit(digits.at(i)) * 16 + HexDigit(digits.at(i + 1)));
    const int type = bytes.at(3);
    if (type > 5)
        return QStringLiteral("unknown record type %1").arg(Hex2(type));
    int sum = 0;
    for (int i = 0; i + 1 < bytes.size(); ++i)
        sum += bytes.at(i);
    const int expected = (0x100 - (sum & 0xFF)) & 0xFF;
    if (bytes.last() != expected)
        return QStringLiteral("checksum is %1, should be %2").arg(Hex2(bytes.last()), Hex2(expected));
    if (type == 1 && count != 0)
        return QStringLiteral("end-of-file record with %1 data bytes").arg(count);
    return {};
}

} // namespace

HexCheckResult CheckHexFile(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        throw EInOutError(QStringLiteral("cannot read \"%1\": %2").arg(fileName, file.errorString()).toStdString());
    const QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw EInOutError(QStringLiteral("cannot read \"%1\": %2").arg(fileName, file.errorString()).toStdString());

    HexCheckResult result;
    QList<QByteArray> lines = content.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast(); // the final line end, not an empty line
    for (int i = 0; i < lines.size(); ++i) {
        QByteArray line = lines.at(i);
        if (line.endsWith('\r'))
            line.chop(1);
        const int number = i + 1;
        // The work file ends at the line whose characters 4 to 7 read exactly
        // "77c0"; nothing from there on reaches the boot loader.
        if (result.cutLine == 0 && line.mid(3, 4) == "77c0")
            result.cutLine = number;
        if (line.isEmpty())
            continue;
        if (!line.startsWith(':')) {
            result.problems << HexProblem{number, QStringLiteral("not a record line (the download skips it)")};
            continue;
        }
        ++result.recordLines;
        const QString reason = CheckRecord(line);
        if (!reason.isEmpty())
            result.problems << HexProblem{number, reason, true};
    }
    if (result.recordLines == 0)
        result.problems << HexProblem{0, QStringLiteral("no record lines")};
    return result;
}

std::optional<HexProblem> DownloadRefusal(const HexCheckResult &check)
{
    for (const HexProblem &problem : check.problems) {
        if (problem.record && (check.cutLine == 0 || problem.line < check.cutLine))
            return problem;
    }
    if (check.recordLines > 0)
        return std::nullopt;
    // Name the file's first line that is not a record, if it has any.
    HexProblem problem = check.problems.isEmpty() ? HexProblem{} : check.problems.first();
    problem.reason = problem.line > 0 ? QStringLiteral("not a record line, and the file holds no record lines")
                                      : QStringLiteral("the file holds no record lines");
    return problem;
}

QString DownloadRefusalText(const QString &path, const HexProblem &problem)
{
    const QString where = problem.line > 0 ? QStringLiteral("\"%1\" line %2").arg(path).arg(problem.line)
                                           : QStringLiteral("\"%1\"").arg(path);
    return QStringLiteral("%1: %2; nothing was sent (see norvik-ctl hex-info)").arg(where, problem.reason);
}

} // namespace norvik
