#include "firmware/HexFile.h"

#include "common/Errors.h"
#include "common/IntConv.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace norvik {

namespace {

QString Quoted(const QString &fileName)
{
    return QLatin1Char('"') + QDir::toNativeSeparators(fileName) + QLatin1Char('"');
}

// Messages are 8-bit text like everything the component and the window pass around.
[[noreturn]] void RaiseFileError(const QString &action, const QString &fileName, const QString &reason)
{
    const QString message = QStringLiteral("Cannot %1 %2: %3").arg(action, Quoted(fileName), reason);
    throw EInOutError(message.toLatin1().toStdString());
}

// The text lines of a file, line ends removed. A line ends with LF or CR LF
// (a CR just before the end of the file counts as a line end too); the last
// line needs no line end, and a final line end does not start an empty line.
// The firmware files are 8-bit text.
QStringList ReadTextLines(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        RaiseFileError(QStringLiteral("open"), fileName, file.errorString());
    const QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError)
        RaiseFileError(QStringLiteral("read"), fileName, file.errorString());

    QStringList lines;
    qsizetype start = 0;
    while (start < content.size()) {
        qsizetype end = content.indexOf('\n', start);
        const qsizetype next = end < 0 ? content.size() : end + 1;
        if (end < 0)
            end = content.size();
        qsizetype length = end - start;
        if (length > 0 && content.at(start + length - 1) == '\r')
            --length;
        lines.append(QString::fromLatin1(content.constData() + start, length));
        start = next;
    }
    return lines;
}

bool IsRecordLine(const QString &line)
{
    return line.startsWith(QLatin1Char(':'));
}

// One field of the information record, read as the hexadecimal number the
// device stores; the error names the field as "$" + its text.
int HexField(const QString &field)
{
    const QString text = QLatin1Char('$') + field;
    const std::string latin1 = text.toLatin1().toStdString();
    const std::optional<int> value = TryStrToInt(latin1);
    if (!value)
        throw EConvertError(InvalidIntegerMessage(latin1));
    return *value;
}

} // namespace

HexFileInfo ReadHexFileInfo(const QString &fileName)
{
    HexFileInfo info;
    if (!QFileInfo::exists(fileName))
        return info;
    const QStringList lines = ReadTextLines(fileName);
    if (std::none_of(lines.begin(), lines.end(), IsRecordLine))
        return info;

    // The device keeps its type code and version at 0x77BA..0x77BD, that is
    // characters 126..133 of the 64-byte record at address 0x7780.
    static const QString marker = QStringLiteral(":407780");
    for (const QString &line : lines) {
        if (!line.contains(marker))
            continue;
        const QString field = line.mid(125, 8);
        const int typeCode = HexField(field.mid(0, 4));
        const int major = HexField(field.mid(4, 2));
        const int minor = HexField(field.mid(6, 2));
        info.typeCode = QString::number(typeCode);
        info.version = QString::number(major) + QLatin1Char('.') + QString::number(minor);
        info.ok = true;
    }
    return info;
}

void ConvertHexFile(const QString &source, const QString &target)
{
    // The whole source is read before the target is opened, so that choosing
    // the work file itself as the firmware file cannot wipe the firmware.
    const QStringList lines = ReadTextLines(source);

    // The boot loader must not receive the record at 0x77C0 and what follows
    // (the area holding the device's own settings); an end record closes the
    // image instead.
    QByteArray out;
    for (const QString &line : lines) {
        if (line.mid(3, 4) == QLatin1String("77c0")) {
            out += ":00000001ff;\r\n";
            break;
        }
        out += line.toLatin1();
        out += ";\r\n";
    }

    QFile file(target);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        RaiseFileError(QStringLiteral("create"), target, file.errorString());
    if (file.write(out) != out.size() || !file.flush())
        RaiseFileError(QStringLiteral("write"), target, file.errorString());
    file.close();
    if (file.error() != QFileDevice::NoError)
        RaiseFileError(QStringLiteral("write"), target, file.errorString());
}

int CountHexLines(const QString &fileName)
{
    if (!QFileInfo::exists(fileName))
        return 0;
    int count = 0;
    for (const QString &line : ReadTextLines(fileName)) {
        if (IsRecordLine(line))
            ++count;
    }
    return count;
}

QStringList LoadHexLines(const QString &fileName)
{
    QStringList records;
    for (const QString &line : ReadTextLines(fileName)) {
        if (IsRecordLine(line))
            records.append(line);
    }
    return records;
}

namespace {

// The folder that holds the work file when the program's folder cannot be
// written: the firmware image must not sit where other users could read or
// swap it between the conversion and the download, so the folder is this
// user's alone (0700, owned by us, not a link to somewhere else).
bool MakePrivateFolder(const QString &folder, QString *why)
{
    const QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                               QFileDevice::ExeOwner | QFileDevice::ReadUser |
                                               QFileDevice::WriteUser | QFileDevice::ExeUser;
    QFileInfo info(folder);
    if (!info.exists() && !info.isSymLink()) {
        const QString parent = info.absolutePath();
        if (!QDir().mkpath(parent)) {
            *why = QStringLiteral("cannot create %1").arg(Quoted(parent));
            return false;
        }
        if (!QDir().mkdir(folder, ownerOnly)) {
            *why = QStringLiteral("cannot create it");
            return false;
        }
        info.refresh();
    }
    if (info.isSymLink() || !info.isDir()) {
        *why = QStringLiteral("it exists and is not a plain folder");
        return false;
    }
#ifdef Q_OS_UNIX
    if (info.ownerId() != static_cast<uint>(::geteuid())) {
        *why = QStringLiteral("it belongs to another user");
        return false;
    }
#endif
    if (info.permissions() != ownerOnly && !QFile::setPermissions(folder, ownerOnly)) {
        *why = QStringLiteral("cannot make it private");
        return false;
    }
    return true;
}

} // namespace

QString PrivateWorkFolder(const QStringList &bases, QString *why)
{
    QStringList refused;
    for (const QString &base : bases) {
        if (base.isEmpty())
            continue;
        const QString folder = QDir(base).filePath(QStringLiteral("norvik-burner"));
        QString reason;
        if (MakePrivateFolder(folder, &reason))
            return folder;
        refused << QStringLiteral("%1 (%2)").arg(Quoted(folder), reason);
    }
    if (why)
        *why = refused.isEmpty() ? QStringLiteral("this user has no runtime or cache folder")
                                 : QStringLiteral("no private folder could be made: %1").arg(refused.join(QStringLiteral("; ")));
    return {};
}

bool IsSystemFolder(const QString &folder)
{
    static const QStringList systemFolders{QStringLiteral("/usr"),   QStringLiteral("/bin"),   QStringLiteral("/sbin"),
                                           QStringLiteral("/lib"),   QStringLiteral("/lib32"), QStringLiteral("/lib64"),
                                           QStringLiteral("/libx32"), QStringLiteral("/opt")};
    if (!QDir::isAbsolutePath(folder))
        return false;
    const QString clean = QDir::cleanPath(folder);
    for (const QString &system : systemFolders)
        if (clean == system || clean.startsWith(system + QLatin1Char('/')))
            return true;
    return false;
}

QString WorkFilePath(QString *why)
{
    static const QString name = QStringLiteral("temp.hex");
    const QString appDir = QCoreApplication::applicationDirPath();
    const QFileInfo appDirInfo(appDir);
    // A program run from a build or an unpacked folder keeps its work file
    // beside it; an installed one (its folder a system folder, writable when
    // root runs it) never writes there.
    if (!appDir.isEmpty() && appDirInfo.isDir() && appDirInfo.isWritable() && !IsSystemFolder(appDir) &&
        !IsSystemFolder(appDirInfo.canonicalFilePath()))
        return QDir(appDir).filePath(name);

    // An installed program's folder is usually read-only for the user.
    const QString folder = PrivateWorkFolder({QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation),
                                              QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation)},
                                             why);
    return folder.isEmpty() ? QString() : QDir(folder).filePath(name);
}

} // namespace norvik
