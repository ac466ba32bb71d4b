#pragma once
// A firmware file for the window tests, in a temporary folder that lives as
// long as the object.
#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <stdexcept>

namespace norvik::test {

struct FirmwareFile {
    QTemporaryDir dir;
    QString path;
    // The default holds just an end record.
    explicit FirmwareFile(const QByteArray &content = ":00000001FF\r\n") : path(dir.filePath("fw.hex"))
    {
        QFile file(path);
        if (!dir.isValid() || !file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            throw std::runtime_error("cannot write the firmware file");
    }
};

} // namespace norvik::test
