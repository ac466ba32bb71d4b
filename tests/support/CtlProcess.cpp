#include "CtlProcess.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QProcess>

namespace norvik::test {

QList<QJsonObject> CtlResult::jsonLines(bool *ok) const
{
    QList<QJsonObject> objects;
    if (ok)
        *ok = true;
    for (const QByteArray &line : out.split('\n')) {
        if (line.trimmed().isEmpty())
            continue;
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !document.isObject()) {
            if (ok)
                *ok = false;
            return {};
        }
        objects << document.object();
    }
    return objects;
}

QString CtlResult::describe() const
{
    return QStringLiteral("exit %1%2 after %3 ms\n--- stdout\n%4--- stderr\n%5")
        .arg(exitCode)
        .arg(finished ? QString() : QStringLiteral(" (killed at the time-out)"))
        .arg(elapsedMs)
        .arg(outText(), errText());
}

CtlResult RunCtl(const QString &program, const QStringList &args, int timeoutMs)
{
    CtlResult result;
    QProcess process;
    process.setProgram(program);
    process.setArguments(args);
    process.setStandardInputFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    process.start();
    if (!process.waitForStarted(10000)) {
        result.err = process.errorString().toUtf8();
        return result;
    }
    result.finished = process.waitForFinished(timeoutMs);
    if (!result.finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    result.elapsedMs = clock.elapsed();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    if (result.finished && process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    return result;
}

} // namespace norvik::test
