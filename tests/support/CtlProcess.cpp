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

QJsonObject CtlResult::onlyObject(bool *ok) const
{
    const QList<QJsonObject> objects = jsonLines(ok);
    if (objects.size() != 1) {
        *ok = false;
        return {};
    }
    return objects.first();
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

bool MakeFirmware(const QString &program, const QString &path, const QStringList &options, QString *error)
{
    QProcess gen;
    gen.start(program, options + QStringList{path});
    if (!gen.waitForFinished(10000) || gen.exitStatus() != QProcess::NormalExit || gen.exitCode() != 0) {
        if (error)
            *error = QStringLiteral("%1 %2: %3 %4")
                         .arg(program, (options + QStringList{path}).join(QLatin1Char(' ')), gen.errorString(),
                              QString::fromLocal8Bit(gen.readAllStandardError()));
        return false;
    }
    return true;
}

CtlAgainstSim::CtlAgainstSim(QString ctl, QString sim, QString hexgen)
    : m_ctl(std::move(ctl)), m_hexgen(std::move(hexgen)), m_sim(std::move(sim))
{
}

void CtlAgainstSim::StartSim(const QStringList &extra, bool awaitPower)
{
    QStringList args = SimLink() + QStringList{QStringLiteral("--trace"), QStringLiteral("--type-code"), QStringLiteral("261")};
    if (!awaitPower)
        args << QStringLiteral("--restart-on-end");
    ASSERT_TRUE(m_sim.start(args + extra)) << m_sim.errorText().toStdString();
}

CtlResult CtlAgainstSim::Ctl(const QStringList &args, int timeoutMs) const
{
    return RunCtl(m_ctl, CtlLink() + args, timeoutMs);
}

QString SampleFirmware(const QString &hexgen, const QString &path, const QString &start)
{
    QString error;
    EXPECT_TRUE(MakeFirmware(hexgen, path,
                             {QStringLiteral("--type-code"), QStringLiteral("261"), QStringLiteral("--version"),
                              QStringLiteral("2.10"), QStringLiteral("--start"), start},
                             &error))
        << error.toStdString();
    return path;
}

QString CtlAgainstSim::Firmware(const QString &start)
{
    return SampleFirmware(m_hexgen, m_dir.filePath(QStringLiteral("fw-%1.hex").arg(start)), start);
}

QStringList CtlAgainstUdpSim::SimLink()
{
    return {QStringLiteral("--udp"), QStringLiteral("127.0.0.1:0")};
}

QStringList CtlAgainstUdpSim::CtlLink() const
{
    return {QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--udp-port"),
            QString::number(m_sim.udpPort())};
}

} // namespace norvik::test
