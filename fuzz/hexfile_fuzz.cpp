// A firmware file of arbitrary bytes: its information record read, its record
// lines counted and loaded, and the work file the boot loader is fed written
// from it and loaded back.
#include "common/Errors.h"
#include "firmware/HexFile.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static QTemporaryDir dir;
    static const QString source = dir.filePath(QStringLiteral("firmware.hex"));
    static const QString work = dir.filePath(QStringLiteral("temp.hex"));
    if (!dir.isValid())
        std::abort();
    {
        QFile file(source);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            std::abort();
        file.write(reinterpret_cast<const char *>(data), static_cast<qint64>(size));
    }

    try {
        (void)norvik::ReadHexFileInfo(source);
    } catch (const norvik::EConvertError &) {
        // A short or non-hexadecimal information field is refused this way.
    }
    const int records = norvik::CountHexLines(source);
    if (records != norvik::LoadHexLines(source).size())
        std::abort();

    norvik::ConvertHexFile(source, work);
    // Every record line of the work file is closed by the boot loader's ";",
    // and cutting the image never adds more than its end record.
    const QStringList lines = norvik::LoadHexLines(work);
    for (const QString &line : lines) {
        if (!line.endsWith(QLatin1Char(';')))
            std::abort();
    }
    if (lines.size() > records + 1)
        std::abort();
    return 0;
}
