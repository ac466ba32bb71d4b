// norvik-ctl: the controller component on the command line.
#include "cli/Commands.h"
#include "cli/Diagnosis.h"
#include "cli/ExitCodes.h"
#include "cli/Interrupt.h"
#include "cli/Options.h"
#include "cli/Output.h"
#include "cli/SerialPorts.h"
#include "common/Errors.h"
#include "services/IdUDPClient.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>

#include <exception>

namespace {

int UsageFailure(const QString &message, const ctl::Output *out = nullptr)
{
    if (out)
        out->Error(message);
    else
        ctl::WriteErr(QStringLiteral("norvik-ctl: %1\n").arg(message));
    ctl::WriteErr(QStringLiteral("%1\nTry 'norvik-ctl --help' for more information.\n").arg(ctl::UsageLine()));
    return ctl::ExitUsage;
}

// With --json every run ends with one result object on stdout, a refusal included.
void ResultObject(const QString &command, const QString &error, int code)
{
    ctl::WriteOut(QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("command"), command},
                                                              {QStringLiteral("ok"), false},
                                                              {QStringLiteral("error"), error},
                                                              {QStringLiteral("exit_code"), code}})
                                        .toJson(QJsonDocument::Compact) +
                                    '\n'));
}

// Whether the command opens the serial port that --port names.
bool UsesSerialPort(const ctl::Options &options)
{
    static const QStringList offline = {QStringLiteral("ports"), QStringLiteral("hex-info"), QStringLiteral("history")};
    return options.Link() != ctl::LinkKind::Network && !offline.contains(options.command) && !options.list;
}

int Run(const ctl::Options &options, const ctl::Output &out)
{
    try {
        return ctl::RunCommand(options, out);
    } catch (const ctl::UsageError &e) {
        return UsageFailure(e.Message(), &out);
    } catch (const EIdException &e) {
        // Socket faults of the network link: the socket layer's words, with what was tried.
        out.Error(QStringLiteral("%1 failed: %2")
                      .arg(ctl::LinkText(options),
                           QString::fromStdString(e.what()).replace(QLatin1String("\r\n"), QLatin1String(" "))));
        return ctl::ExitIo;
    } catch (const norvik::EDateError &e) {
        // The controller answered with a clock that cannot exist.
        out.Error(QStringLiteral("the controller answered an impossible date: %1").arg(QString::fromStdString(e.what())));
        return ctl::ExitController;
    } catch (const norvik::EArgumentError &e) {
        // An argument the controller's frame cannot carry: nothing was sent.
        out.Error(QString::fromStdString(e.what()));
        return ctl::ExitUsage;
    } catch (const norvik::EConvertError &e) {
        out.Error(QString::fromStdString(e.what()));
        return ctl::ExitUsage;
    } catch (const norvik::NorvikError &e) {
        // File and serial-port faults, with the system's reason in the message.
        out.Error(QString::fromStdString(e.what()));
        return ctl::ExitIo;
    } catch (const std::exception &e) {
        out.Error(QString::fromStdString(e.what()));
        return ctl::ExitController;
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("norvik-ctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(NORVIK_VERSION));

    ctl::Options options;
    try {
        options = ctl::ParseOptions(QCoreApplication::arguments().mid(1), &options);
    } catch (const ctl::UsageError &e) {
        const int code = UsageFailure(e.Message());
        const QStringList given = QCoreApplication::arguments().mid(1);
        const qsizetype end = given.indexOf(QStringLiteral("--"));
        if (options.json || given.mid(0, end < 0 ? given.size() : end).contains(QStringLiteral("--json")))
            ResultObject(options.command, e.Message(), code);
        return code;
    }
    if (options.help) {
        ctl::WriteOut(ctl::HelpText());
        return ctl::ExitOk;
    }
    if (options.version) {
        ctl::WriteOut(QStringLiteral("norvik-ctl %1\n").arg(QCoreApplication::applicationVersion()));
        return ctl::ExitOk;
    }
    if (options.trace)
        QLoggingCategory::setFilterRules(QStringLiteral("norvik.trace.debug=true"));

    ctl::Interrupt::Install();
    const ctl::Output out(options.json);
    if (options.port.compare(QLatin1String("auto"), Qt::CaseInsensitive) == 0 && UsesSerialPort(options)) {
        const ctl::AutoPort chosen = ctl::FindAutoPort();
        if (chosen.port.isEmpty()) {
            out.Error(chosen.error);
            const int code = chosen.several ? ctl::ExitUsage : ctl::ExitIo;
            if (out.Json())
                ResultObject(options.command, chosen.error, code);
            return code;
        }
        options.port = chosen.port;
    }
    const int code = Run(options, out);
    if (out.Json() && !out.ObjectWritten() && code != ctl::ExitOk)
        ResultObject(options.command, out.LastError(), code);
    return code;
}
