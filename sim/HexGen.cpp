#include "sim/HexGen.h"

#include "sim/SimConfig.h"

namespace nsim {

std::uint8_t hexGenFill(std::uint32_t address)
{
    return static_cast<std::uint8_t>((address * 7 + (address >> 8)) & 0xFF);
}

bool generateHex(const HexGenOptions &o, QByteArray *text, QString *error)
{
    const std::uint32_t end = o.start + static_cast<std::uint32_t>(o.records) * kHexRecordBytes;
    if (o.start % kHexRecordBytes != 0) {
        *error = QStringLiteral("the start address must be a multiple of 0x40");
        return false;
    }
    if (o.records < 1 || o.start > kIdentityRecord || end < kCutRecord + kHexRecordBytes) {
        *error = QStringLiteral("the records must cover 0x7780 to 0x77FF (start at or below 0x7780, enough "
                                "records to reach 0x7800)");
        return false;
    }
    if (end > 0x10000) {
        *error = QStringLiteral("the records must end at or below 0x10000 (no extended addresses)");
        return false;
    }

    QByteArray out;
    for (std::uint32_t address = o.start; address < end; address += kHexRecordBytes) {
        QByteArray record;
        record.append(static_cast<char>(kHexRecordBytes));
        record.append(static_cast<char>(address >> 8));
        record.append(static_cast<char>(address & 0xFF));
        record.append('\0'); // data record
        for (std::uint32_t a = address; a < address + kHexRecordBytes; ++a) {
            std::uint8_t value = hexGenFill(a);
            if (a == 0x77BA)
                value = static_cast<std::uint8_t>(o.typeCode >> 8);
            else if (a == 0x77BB)
                value = static_cast<std::uint8_t>(o.typeCode & 0xFF);
            else if (a == 0x77BC)
                value = static_cast<std::uint8_t>(o.version >> 8);
            else if (a == 0x77BD)
                value = static_cast<std::uint8_t>(o.version & 0xFF);
            record.append(static_cast<char>(value));
        }
        unsigned sum = 0;
        for (char c : record)
            sum += static_cast<std::uint8_t>(c);
        record.append(static_cast<char>((0x100 - (sum & 0xFF)) & 0xFF));
        QByteArray line = ':' + record.toHex();
        out += (o.upperCase ? line.toUpper() : line) + "\r\n";
    }
    out += o.upperCase ? QByteArrayLiteral(":00000001FF\r\n") : QByteArrayLiteral(":00000001ff\r\n");
    *text = out;
    return true;
}

QString hexGenHelpText()
{
    return QStringLiteral(
        "Usage: norvik-hexgen [options] OUTPUT\n"
        "Writes a sample firmware file in Intel-HEX form to OUTPUT (\"-\" for stdout): 64-byte data\n"
        "records (\":40AAAA00...CC\", CR LF) from the start address on, always covering the identity\n"
        "record at 0x7780 (type code at 0x77BA, version at 0x77BC) and the record at 0x77C0, then\n"
        "the end-of-file record.\n"
        "\n"
        "  --type-code N          type code in the image (default 1)\n"
        "  --version MAJ.MIN      firmware version in the image (default 2.5)\n"
        "  --start ADDR           address of the first record, a multiple of 0x40 (default 0x7000)\n"
        "  --records N            number of 64-byte records (default: up to 0x7800)\n"
        "  --size BYTES           as many records as it takes to hold BYTES\n"
        "  --lower                hexadecimal digits in lower case, as real firmware files (default)\n"
        "  --upper                hexadecimal digits in upper case (the burner does not cut such files\n"
        "                         at 0x77C0)\n"
        "  -h, --help             this text\n"
        "  --version              as the only argument: the program's version\n"
        "Numbers may be decimal or 0x-prefixed hexadecimal. Bad options: exit status 2.\n");
}

HexGenParse parseHexGenArguments(const QStringList &args)
{
    HexGenParse result;
    HexGenOptions &o = result.options;
    auto fail = [&](const QString &message) {
        result.kind = HexGenParse::Error;
        result.error = message;
        return result;
    };
    bool recordsGiven = false;
    long long size = -1;
    for (int i = 0; i < args.size(); ++i) {
        QString name = args[i];
        QString value;
        bool inlineValue = false;
        const int eq = name.indexOf(QLatin1Char('='));
        if (name.startsWith(QLatin1String("--")) && eq > 2) {
            value = name.mid(eq + 1);
            name = name.left(eq);
            inlineValue = true;
        }
        if (name == QLatin1String("-h") || name == QLatin1String("--help")) {
            result.kind = HexGenParse::Help;
            return result;
        }
        if (name == QLatin1String("--upper") || name == QLatin1String("--lower")) {
            if (inlineValue)
                return fail(QStringLiteral("option %1 takes no value").arg(name));
            o.upperCase = name == QLatin1String("--upper");
            continue;
        }
        if (!name.startsWith(QLatin1Char('-')) || name == QLatin1String("-")) {
            if (!o.output.isEmpty())
                return fail(QStringLiteral("more than one output file"));
            o.output = name;
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= args.size())
                return fail(QStringLiteral("option %1 needs a value").arg(name));
            value = args[++i];
        }
        long long n = 0;
        if (name == QLatin1String("--type-code")) {
            if (!parseNumber(value, 0, 65535, &n))
                return fail(QStringLiteral("--type-code: '%1' is not a number from 0 to 65535").arg(value));
            o.typeCode = static_cast<std::uint16_t>(n);
        } else if (name == QLatin1String("--version")) {
            if (!parseVersion(value, &o.version))
                return fail(QStringLiteral("--version: '%1' is not MAJOR.MINOR (0..255 each)").arg(value));
        } else if (name == QLatin1String("--start")) {
            if (!parseNumber(value, 0, 0xFFFF, &n))
                return fail(QStringLiteral("--start: '%1' is not an address from 0 to 0xFFFF").arg(value));
            o.start = static_cast<std::uint32_t>(n);
        } else if (name == QLatin1String("--records")) {
            if (!parseNumber(value, 1, 1024, &n))
                return fail(QStringLiteral("--records: '%1' is not a count from 1 to 1024").arg(value));
            o.records = static_cast<int>(n);
            recordsGiven = true;
        } else if (name == QLatin1String("--size")) {
            if (!parseNumber(value, 1, 0x10000, &n))
                return fail(QStringLiteral("--size: '%1' is not a byte count from 1 to 65536").arg(value));
            size = n;
        } else {
            return fail(QStringLiteral("unknown option '%1' (see --help)").arg(args[i]));
        }
    }
    if (recordsGiven && size >= 0)
        return fail(QStringLiteral("give --records or --size, not both"));
    if (size >= 0)
        o.records = static_cast<int>((size + kHexRecordBytes - 1) / kHexRecordBytes);
    else if (!recordsGiven)
        o.records = o.start <= kIdentityRecord
                        ? static_cast<int>((kCutRecord + kHexRecordBytes - o.start) / kHexRecordBytes)
                        : 1;
    if (o.output.isEmpty())
        return fail(QStringLiteral("no output file given"));
    return result;
}

} // namespace nsim
