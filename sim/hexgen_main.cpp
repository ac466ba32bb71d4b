// norvik-hexgen: writes a small sample firmware file. See --help.
#include "sim/HexGen.h"

#include <QCoreApplication>
#include <QSaveFile>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments();
    args.removeFirst();

    // "--version MAJ.MIN" sets the simulated firmware's version; alone, it asks
    // for this program's own version, as it does of the other programs.
    if (args == QStringList{QStringLiteral("--version")}) {
        std::printf("norvik-hexgen %s\n", NORVIK_VERSION);
        return 0;
    }

    const nsim::HexGenParse parsed = nsim::parseHexGenArguments(args);
    if (parsed.kind == nsim::HexGenParse::Help) {
        std::fputs(nsim::hexGenHelpText().toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (parsed.kind == nsim::HexGenParse::Error) {
        std::fprintf(stderr, "norvik-hexgen: %s\nTry 'norvik-hexgen --help'.\n",
                     parsed.error.toLocal8Bit().constData());
        return 2;
    }
    QByteArray text;
    QString error;
    if (!nsim::generateHex(parsed.options, &text, &error)) {
        std::fprintf(stderr, "norvik-hexgen: %s\n", error.toLocal8Bit().constData());
        return 2;
    }
    if (parsed.options.output == QLatin1String("-")) {
        std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    QSaveFile file(parsed.options.output);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        std::fprintf(stderr, "norvik-hexgen: cannot write '%s': %s\n",
                     parsed.options.output.toLocal8Bit().constData(), file.errorString().toLocal8Bit().constData());
        return 1;
    }
    return 0;
}
