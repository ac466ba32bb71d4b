#include "cli/Recovery.h"

#include <QCoreApplication>
#include <QRegularExpression>

namespace ctl {
namespace {

QString Quoted(const QString &word)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_@%+=:,./\\[\\]-]+$"));
    if (plain.match(word).hasMatch())
        return word;
    QString quoted = word;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

struct Edit {
    QStringList dropValued; // options with a value, left out
    QStringList dropFlags;
    QString verb;           // the command's action replaced by this (empty: kept)
    QStringList add;        // options added before the end of the options
};

QString Edited(const Options &options, const Edit &edit)
{
    const QStringList &line = options.line;
    // The action: the command itself, or the first argument of fleet.
    const int verbAt = options.positionalAt.isEmpty() ? -1
                       : options.command == QLatin1String("fleet") && options.positionalAt.size() > 1
                           ? options.positionalAt.at(1)
                           : options.positionalAt.at(0);
    QStringList words;
    const QString program = QCoreApplication::arguments().value(0);
    words << (program.isEmpty() ? QStringLiteral("norvik-ctl") : program);
    bool added = false;
    for (int i = 0; i < line.size(); ++i) {
        const QString &arg = line.at(i);
        if (options.positionalAt.contains(i)) {
            words << (i == verbAt && !edit.verb.isEmpty() ? edit.verb : arg);
            continue;
        }
        if (arg == QLatin1String("--") && !added) {
            words << edit.add;
            added = true;
        }
        const QString name = arg.section(QLatin1Char('='), 0, 0);
        if (edit.dropFlags.contains(arg))
            continue;
        if (edit.dropValued.contains(name)) {
            if (!arg.contains(QLatin1Char('=')))
                ++i; // its value
            continue;
        }
        words << arg;
    }
    if (!added)
        words << edit.add;
    for (QString &word : words)
        word = Quoted(word);
    return words.join(QLatin1Char(' '));
}

QStringList TargetOptions(const QStringList &targets)
{
    QStringList add;
    for (const QString &target : targets)
        add << QStringLiteral("--target") << target;
    return add;
}

const QStringList kRolloutFlags = {QStringLiteral("--allow-other-type"), QStringLiteral("--allow-older"),
                                   QStringLiteral("--allow-reinstall")};

} // namespace

QString RecoveryCommand(const Options &options, const QStringList &targets)
{
    Edit edit;
    edit.dropFlags = kRolloutFlags + QStringList{QStringLiteral("--in-bootloader"), QStringLiteral("--yes")};
    edit.add = QStringList{QStringLiteral("--in-bootloader"), QStringLiteral("--yes")};
    if (!targets.isEmpty()) {
        edit.dropValued = QStringList{QStringLiteral("--target"), QStringLiteral("--targets")};
        edit.add += TargetOptions(targets);
    }
    return Edited(options, edit);
}

QString VerifyCommand(const Options &options, const QStringList &targets)
{
    Edit edit;
    edit.verb = QStringLiteral("verify");
    edit.dropFlags = kRolloutFlags + QStringList{QStringLiteral("--in-bootloader"), QStringLiteral("--yes")};
    edit.dropValued = QStringList{QStringLiteral("--restart-wait")};
    if (!targets.isEmpty()) {
        edit.dropValued += QStringList{QStringLiteral("--target"), QStringLiteral("--targets")};
        edit.add = TargetOptions(targets);
    }
    return Edited(options, edit);
}

} // namespace ctl
