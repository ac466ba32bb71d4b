#include "cli/FleetTarget.h"

#include "cli/Diagnosis.h"

#include "common/Errors.h"
#include "common/IntConv.h"

#include <QFile>
#include <QRegularExpression>
#include <QSet>

namespace ctl {
namespace {

int SpecNumber(const QString &spec, const QString &what, const QString &text, int low, int high)
{
    const std::optional<int> value = norvik::TryStrToInt(text.toStdString());
    if (!value || *value < low || *value > high)
        throw UsageError(QStringLiteral("target '%1': the %2 '%3' is not a number from %4 to %5")
                             .arg(spec, what, text)
                             .arg(low)
                             .arg(high));
    return *value;
}

} // namespace

QString FleetTarget::Address() const
{
    if (link == LinkKind::Serial)
        return port;
    return (host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]:%2") : QStringLiteral("%1:%2")).arg(host).arg(udpPort);
}

QString FleetTarget::LinkKey() const
{
    return (link == LinkKind::Serial ? QStringLiteral("serial ") : QStringLiteral("network ")) + Address();
}

Options FleetTarget::Apply(const Options &options) const
{
    Options one = options;
    one.id = id;
    one.phone.clear();
    if (link == LinkKind::Serial) {
        one.host.clear();
        one.port = port;
        one.portGiven = true;
    } else {
        one.host = host;
        one.udpPort = udpPort;
    }
    return one;
}

FleetTarget ParseFleetTarget(const QString &spec, const Options &options)
{
    // A serial port is "COMn" or a device path; the ID after its last "/" is
    // required, since every controller on a serial line shares it.
    static const QRegularExpression serial(QStringLiteral("^(COM\\d+|/.+)/([^/]*)$"),
                                           QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression network(QStringLiteral("^(\\[[^\\]]+\\]|[^:/\\[\\]\\s]+)(?::([^/]*))?(?:/(.*))?$"));
    FleetTarget target;
    target.spec = spec;
    target.udpPort = options.udpPort;
    target.id = options.id;
    static const QRegularExpression comName(QStringLiteral("^COM\\d+(/|$)"), QRegularExpression::CaseInsensitiveOption);
    if (spec.startsWith(QLatin1Char('/')) || comName.match(spec).hasMatch()) {
        const QRegularExpressionMatch match = serial.match(spec);
        if (!match.hasMatch() || match.captured(2).isEmpty())
            throw UsageError(QStringLiteral("target '%1': a serial port needs the controller's ID, as PORT/ID").arg(spec));
        target.link = LinkKind::Serial;
        target.port = match.captured(1);
        target.id = SpecNumber(spec, QStringLiteral("ID"), match.captured(2), 1, 255);
        return target;
    }
    const QRegularExpressionMatch match = network.match(spec);
    if (!match.hasMatch())
        throw UsageError(QStringLiteral("target '%1' is neither HOST[:UDPPORT][/ID] nor PORT/ID").arg(spec));
    target.link = LinkKind::Network;
    target.host = match.captured(1);
    if (target.host.startsWith(QLatin1Char('[')))
        target.host = target.host.mid(1, target.host.size() - 2);
    if (const QString problem = AddressProblem(target.host); !problem.isEmpty())
        throw UsageError(QStringLiteral("target '%1': %2").arg(spec, problem.mid(problem.indexOf(QLatin1Char('\'')))));
    if (match.capturedStart(2) >= 0)
        target.udpPort = SpecNumber(spec, QStringLiteral("UDP port"), match.captured(2), 1, 65535);
    if (match.capturedStart(3) >= 0)
        target.id = SpecNumber(spec, QStringLiteral("ID"), match.captured(3), 1, 255);
    return target;
}

QList<FleetTarget> FleetTargets(const Options &options)
{
    QList<FleetTarget> targets;
    for (const QString &spec : options.targets)
        targets << ParseFleetTarget(spec, options);
    if (!options.targetsFile.isEmpty()) {
        QFile file(options.targetsFile);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
            throw norvik::EInOutError(QStringLiteral("cannot read the target list \"%1\": %2")
                                          .arg(options.targetsFile, file.errorString())
                                          .toStdString());
        int lineNumber = 0;
        while (!file.atEnd()) {
            ++lineNumber;
            QString line = QString::fromUtf8(file.readLine());
            if (const qsizetype hash = line.indexOf(QLatin1Char('#')); hash >= 0)
                line.truncate(hash);
            line = line.trimmed();
            if (line.isEmpty())
                continue;
            try {
                targets << ParseFleetTarget(line, options);
            } catch (const UsageError &e) {
                throw UsageError(QStringLiteral("%1 line %2: %3").arg(options.targetsFile).arg(lineNumber).arg(e.Message()));
            }
        }
    }
    if (targets.isEmpty())
        throw UsageError(QStringLiteral("fleet needs its controllers: give --target SPEC or --targets FILE"));
    // Two runs on one controller at once would interleave their record lines.
    QSet<QString> seen;
    for (const FleetTarget &target : targets) {
        const QString key = target.LinkKey() + QStringLiteral("/%1").arg(target.id);
        if (seen.contains(key))
            throw UsageError(QStringLiteral("target '%1' names controller %2 at %3 a second time")
                                 .arg(target.spec)
                                 .arg(target.id)
                                 .arg(target.Address()));
        seen.insert(key);
    }
    return targets;
}

} // namespace ctl
