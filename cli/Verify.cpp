#include "cli/Verify.h"

#include "cli/CommandKit.h"
#include "cli/Commands.h"
#include "cli/ExitCodes.h"
#include "cli/Interrupt.h"
#include "cli/Output.h"
#include "firmware/DownloadRecorder.h"
#include "firmware/HexFile.h"
#include "firmware/Rollout.h"
#include "firmware/UpgradeHistory.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonObject>

#include <unistd.h>

namespace ctl {

int RunVerify(const Options &options, const Output &out)
{
    const QString path = options.arguments.at(0);
    if (!HexFileExists(path, out, Failure(options.command, QString())))
        return ExitIo;
    // File faults and a broken info record raise.
    const norvik::HexFileInfo fileInfo = norvik::ReadHexFileInfo(path);
    if (!fileInfo.ok) {
        const QString message = QStringLiteral("Invalid Hex File: no type code and version in \"%1\"").arg(path);
        out.Error(message);
        out.Object(Failure(options.command, message));
        return ExitIo;
    }

    Link link(options, out);
    norvik::UpgradeRecord row;
    row.kind = QStringLiteral("verify");
    row.started = QDateTime::currentDateTime();
    row.fileName = QFileInfo(path).absoluteFilePath();
    row.fileSha256 = norvik::FileSha256(path);
    if (const int code = link.session.Open(); code != ExitOk)
        return code;
    norvik::DownloadRecorder::DescribeLink(link.controller, &row);

    norvik::VersionCheck check;
    if (options.wait > 0) {
        const bool live = !out.Json() && ::isatty(STDOUT_FILENO);
        QString lastState;
        QElapsedTimer clock;
        clock.start();
        check = norvik::AwaitFile(
            link.controller, fileInfo, options.wait, kVerifyPollMs, false, [] { return Interrupt::Requested(); },
            [&](const norvik::VersionCheck &seen) {
                const QString state = seen.state == norvik::VersionCheck::NoAnswer
                                          ? QStringLiteral("no answer")
                                          : QStringLiteral("type code %1, version %2")
                                                .arg(seen.typeCode)
                                                .arg(VersionText(seen.version));
                const QString line = QStringLiteral("waiting: %1 (%2 s left)")
                                         .arg(state)
                                         .arg(std::max<qint64>(0, (options.wait - clock.elapsed()) / 1000));
                if (live)
                    WriteOut(QStringLiteral("\r\x1b[K") + line);
                else if (state != lastState && seen.state != norvik::VersionCheck::Verified)
                    out.Text(line);
                lastState = state;
            });
        if (live)
            WriteOut(QStringLiteral("\r\x1b[K"));
    } else {
        TControllerInfo info;
        if (norvik::ReadInfo(link.controller, info, options.ReadTries())) {
            check.typeCode = info.TypeCode;
            check.version = info.Version;
            check.state = norvik::RunsFile(fileInfo, info.TypeCode, info.Version) ? norvik::VersionCheck::Verified
                                                                                   : norvik::VersionCheck::Mismatch;
        }
    }
    const bool answered = check.state == norvik::VersionCheck::Verified || check.state == norvik::VersionCheck::Mismatch;
    if (answered) {
        std::uint8_t sn[8] = {};
        norvik::ReadSn(link.controller, sn, options.ReadTries());
        row.serialNumber = SnText(sn);
        row.typeCode = QString::number(check.typeCode);
        row.versionAfter = VersionText(check.version);
    }
    row.ended = QDateTime::currentDateTime();
    const bool match = check.state == norvik::VersionCheck::Verified;
    row.outcome = match ? QStringLiteral("verified") : answered ? QStringLiteral("mismatch") : QStringLiteral("failure");
    row.message = answered ? QStringLiteral("type code %1, version %2; the file has type code %3, version %4")
                                 .arg(row.typeCode, row.versionAfter, fileInfo.typeCode, fileInfo.version)
                           : QStringLiteral("no answer");
    QString why;
    if (!norvik::AppendUpgradeRecord(row, &why))
        out.Note(HistoryNotWritten(why));
    if (!answered)
        return NoAnswer(out, options, link.controller, {}, options.ReadTries());

    out.Text(QStringLiteral("File:       type code %1, version %2").arg(fileInfo.typeCode, fileInfo.version));
    out.Text(QStringLiteral("Controller: type code %1, version %2").arg(row.typeCode, row.versionAfter));
    out.Text(match ? QStringLiteral("Match") : QStringLiteral("Mismatch"));
    out.Object(QJsonObject{
        {QStringLiteral("command"), options.command},
        {QStringLiteral("ok"), match},
        {QStringLiteral("match"), match},
        {QStringLiteral("outcome"), row.outcome},
        {QStringLiteral("file"),
         QJsonObject{{QStringLiteral("type_code"), fileInfo.typeCode.toInt()}, {QStringLiteral("version"), fileInfo.version}}},
        {QStringLiteral("controller"),
         QJsonObject{{QStringLiteral("type_code"), check.typeCode}, {QStringLiteral("version"), row.versionAfter}}},
    });
    return match ? ExitOk : ExitController;
}

} // namespace ctl
