#include "sim/SimConfig.h"

#include <QRegularExpression>

#include <algorithm>
#include <functional>
#include <limits>
#include <map>
#include <set>

namespace nsim {

QString simHelpText()
{
    return QStringLiteral(
        "Usage: norvik-sim [options]\n"
        "Simulates Norvik door-access controllers (framed commands: clock, identity, the firmware\n"
        "boot loader and the access-control command set) and, on the serial side, a dial-up modem\n"
        "in front of them.\n"
        "Prints one line \"ready ...\" on stdout once it listens, for example\n"
        "  ready udp=127.0.0.1:40001 pty=/tmp/ctl0\n"
        "and runs until SIGINT or SIGTERM.\n"
        "\n"
        "Links (at least one):\n"
        "  --udp ADDR:PORT        answer UDP datagrams on ADDR:PORT, one datagram per frame, each\n"
        "                         answer to its sender (PORT 0: any free port, shown on the ready line);\n"
        "                         repeat for several endpoints\n"
        "  --udp-count N          with one --udp ADDR:PORT: N endpoints on the consecutive ports\n"
        "                         PORT, PORT+1, ... (PORT 0: N free ports). Every endpoint has\n"
        "                         controllers of its own (the same IDs, serial numbers counting on),\n"
        "                         with their own state, boot loader and faults; the ready line names\n"
        "                         each as udp=ADDR:PORT, in order\n"
        "  --silent-endpoints LIST endpoints (numbered from 1 in the ready line's order, e.g. 3,7)\n"
        "                         that never answer anything, as --silent\n"
        "  --refusing-endpoints LIST endpoints whose boot loader answers \"N\" to every line, as\n"
        "                         --bl-nak-all\n"
        "  --pty PATH             create a pseudo-terminal and a symbolic link PATH to its device;\n"
        "                         the host opens PATH as its serial port (PATH is removed on exit)\n"
        "  --device PATH          serve an existing serial device (raw, 19200 bit/s, 8N1)\n"
        "  --modem                put a dial-up modem in front of the serial side: \"ATDT<number>\"\n"
        "                         dials, \"+++\" leaves the data mode, \"ATH0\" hangs up\n"
        "  --modem-delay MS       time from the dial command to its result (default 500)\n"
        "  --modem-result TEXT    dial result, sent as CR LF TEXT CR LF (default \"CONNECT 19200\");\n"
        "                         e.g. BUSY, \"NO CARRIER\", \"NO ANSWER\", \"NO DIALTONE\", ERROR, or\n"
        "                         none (never answer). Only a result starting with CONNECT connects.\n"
        "  --modem-drop-after N   the carrier is lost once N bytes have gone through to the\n"
        "                         controllers: \"NO CARRIER\", and the modem is back in command mode\n"
        "\n"
        "Controllers:\n"
        "  --id N                 a controller with bus ID N (1..255); repeat for several\n"
        "                         (default: one controller with ID 1)\n"
        "  --ids A,B,...          several controllers at once\n"
        "  --sn SN                serial number (8 characters) of the next controller in order;\n"
        "                         repeat for several (defaults 00000001, 00000002, ...)\n"
        "  --version MAJ.MIN      firmware version reported before any download (default 2.5)\n"
        "  --type-code N          type code reported before any download (default 1)\n"
        "  --card-max N           info record: maximum cards (default 1000)\n"
        "  --record-max N         info record: maximum transaction records (default 4000)\n"
        "  --sort-count N         info record: cards in the sorted list (default 10)\n"
        "  --unsort-count N       info record: cards in the unsorted list (default 5)\n"
        "  --record-count N       info record: stored transaction records (default 500), until\n"
        "                         records are stored or read; from then on the records waiting\n"
        "  Numbers may be decimal or 0x-prefixed hexadecimal. Every clock starts at the PC's time.\n"
        "\n"
        "Access control (every controller keeps its own cards, records, doors, tables and memory):\n"
        "  --card-bytes W         width of card numbers in transaction records: 4 (default), 7, 8\n"
        "                         or 12 (replies of 20, 23, 24 or 28 bytes); the read by index\n"
        "                         always answers in the 4-byte layout\n"
        "  --transactions N       N records waiting at start (at most --record-max), stamped a\n"
        "                         second apart up to the controller's clock; record k (from 0)\n"
        "                         holds card 2000000 + k (wider cards lead with C0 C1 ...), event\n"
        "                         1 + k mod 8 and the tag k + 1, high byte first\n"
        "  --event-every MS       every controller stores one more record every MS milliseconds\n"
        "                         (SIGUSR2 does it once, at once)\n"
        "  Records wait until the host confirms their tag; a record that does not fit in\n"
        "  --record-max waiting records is lost. The card lists hold --card-max cards together;\n"
        "  the info reply shows their sizes once a card command has arrived. A card written with\n"
        "  an end date before its start date is deleted (in the 7-, 8- and 12-byte layouts, whose\n"
        "  start-date field carries card bytes: an end date before 2000-01-02). Doors 1 to 4 (status\n"
        "  0 normal, 3 opened, 8 held open, 9 held closed), relays 1 to 8, 64 KiB of XRAM starting\n"
        "  zeroed; the I/O state has bit r-1 for relay r and bit 7+d for door d unlocked.\n"
        "\n"
        "Boot loader:\n"
        "  A valid jump request (0xE0) puts the controller in its boot loader: from then on every\n"
        "  byte on that link is record text (\":...;\"), answered K (taken), N (refused) or Z (end\n"
        "  of file: the new image is written). After the end of file the controller stays in its\n"
        "  boot loader and answers no frame until its power is switched off and on; then it runs\n"
        "  the new image and reports its type code and version, read from 0x77BA..0x77BD (bytes\n"
        "  never written read as 0xFF). Switching the power in the middle of a download leaves\n"
        "  the old image. SIGUSR1 switches the power of every controller off and on at once.\n"
        "  --restart-on-end       start the new image at once after the end of file, without\n"
        "                         waiting for the power\n"
        "  --power-cycle-at ENDPOINT:MS  switch the power of that endpoint's controllers off and\n"
        "                         on MS milliseconds after each end of file one of them takes;\n"
        "                         ENDPOINT is the endpoint's number from 1 in the ready line's\n"
        "                         order (1 also names the serial side) or its ADDR:PORT as given\n"
        "                         with --udp (e.g. 127.0.0.1:1001:3000); repeat for several\n"
        "  --power-cycle-after MS switch the power off and on MS after entering the boot loader\n"
        "                         (old image in the middle of a download, new one after its end)\n"
        "\n"
        "Faults of framed replies:\n"
        "  --silent               never answer anything (frames, boot-loader lines)\n"
        "  --reply-delay MS       send every answer (frames and boot-loader letters) MS later\n"
        "  --wrong-length D       replies carry D data bytes more (D > 0, zero bytes) or fewer\n"
        "                         (D < 0), with length byte and checksum to match\n"
        "  --bad-checksum         replies carry a checksum one higher than it should be\n"
        "  --extra-bytes N        append N bytes (0xEE) after each reply, in the same write\n"
        "  --split-reply K        write each reply in K pieces: K datagrams on UDP, K writes on serial\n"
        "  --split-gap MS         pause between two pieces (default 10)\n"
        "  --fault-command CODE   apply the frame faults only to replies to this command code;\n"
        "                         repeat for several (default: all commands)\n"
        "  --fail-frame CODE:K    the K-th frame with command code CODE that a controller receives\n"
        "                         (counted from 1, confirm frames as 0xFF) fails and changes\n"
        "                         nothing; repeat for several\n"
        "  --fail-mode MODE       how it fails: refuse (default; a 7-byte answer with status 1) or\n"
        "                         silent (no answer), or answer-lost (the frame takes effect, its\n"
        "                         answer is not sent). Frames never answered fail silently either way.\n"
        "\n"
        "Faults of the boot loader (lines counted from 1 in the order received, resent lines too):\n"
        "  --bl-silent-after P    answer lines 1..P, then nothing at all\n"
        "  --bl-nak-every M       answer \"N\" to every M-th line (the line is not taken)\n"
        "  --bl-nak-all           answer \"N\" to every line\n"
        "  --bl-ack-lower         acknowledge with \"k\" instead of \"K\"\n"
        "  --bl-ack-double        acknowledge with \"KK\" instead of \"K\"\n"
        "  --bl-end-reply TEXT    answer to the end-of-file record, e.g. KZ or Y (default Z); an\n"
        "                         empty TEXT: the record is taken, its answer never arrives\n"
        "  --bl-drop-every M      no answer at all to every M-th line (the line is not taken)\n"
        "\n"
        "A lossy network (UDP endpoints only):\n"
        "  --drop PERCENT         lose this share (0 to 100, fractions allowed, e.g. 2.5) of the\n"
        "                         datagrams received and of those sent; --trace shows each loss\n"
        "  --drop-seed N          seed of the draws (default 1): the same seed and the same\n"
        "                         traffic lose the same datagrams; every endpoint draws on its own,\n"
        "                         from the seed and its number together\n"
        "\n"
        "Output:\n"
        "  --trace                print every frame and boot-loader line with time and direction\n"
        "                         on stderr\n"
        "  --state FILE           write the controllers' state as JSON to FILE on exit: identity,\n"
        "                         records waiting and delivered, card lists, special cards, doors,\n"
        "                         relays, displays, time zones, tables, groups, lifts and the XRAM\n"
        "                         bytes written (byte blocks as upper-case hexadecimal)\n"
        "  -h, --help             this text\n"
        "  --version              as the only argument: the program's version\n"
        "\n"
        "Bad options end the program with exit status 2.\n");
}

bool parseNumber(const QString &text, long long min, long long max, long long *out)
{
    bool ok = false;
    long long value = 0;
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) && text.size() > 2)
        value = text.mid(2).toLongLong(&ok, 16);
    else if (!text.isEmpty() && (text[0].isDigit() || text[0] == QLatin1Char('-')))
        value = text.toLongLong(&ok, 10);
    if (!ok || value < min || value > max)
        return false;
    *out = value;
    return true;
}

bool parseVersion(const QString &text, std::uint16_t *out)
{
    static const QRegularExpression re(QStringLiteral("^(\\d{1,3})\\.(\\d{1,3})$"));
    const auto match = re.match(text);
    if (!match.hasMatch())
        return false;
    const int major = match.captured(1).toInt();
    const int minor = match.captured(2).toInt();
    if (major > 255 || minor > 255)
        return false;
    *out = static_cast<std::uint16_t>(major << 8 | minor);
    return true;
}

ParseResult parseSimArguments(const QStringList &args)
{
    ParseResult result;
    SimConfig &c = result.config;
    FaultConfig &f = c.faults;
    std::vector<long long> ids;
    QList<QByteArray> sns;
    ControllerConfig common;
    int udpCount = 0;
    std::vector<std::pair<QString, int>> powerCycleAt; // as given: endpoint, ms

    auto fail = [&](const QString &message) {
        result.kind = ParseResult::Error;
        result.error = message;
        return result;
    };

    // Options without a value.
    const std::map<QString, std::function<void()>> flags = {
        {QStringLiteral("--modem"), [&] { c.modem.enabled = true; }},
        {QStringLiteral("--silent"), [&] { f.silent = true; }},
        {QStringLiteral("--bad-checksum"), [&] { f.badChecksum = true; }},
        {QStringLiteral("--bl-nak-all"), [&] { f.blNakAll = true; }},
        {QStringLiteral("--bl-ack-lower"), [&] { f.blAckLower = true; }},
        {QStringLiteral("--bl-ack-double"), [&] { f.blAckDouble = true; }},
        {QStringLiteral("--trace"), [&] { c.trace = true; }},
        {QStringLiteral("--restart-on-end"), [&] { common.restartOnEnd = true; }},
    };

    // Options with a value: each returns an error text, empty when fine.
    auto number = [](const QString &v, long long min, long long max, auto *target) -> QString {
        long long n = 0;
        if (!parseNumber(v, min, max, &n))
            return QStringLiteral("'%1' is not a number from %2 to %3").arg(v).arg(min).arg(max);
        *target = static_cast<std::remove_pointer_t<decltype(target)>>(n);
        return {};
    };
    auto path = [](QString *target) {
        return [target](const QString &v) -> QString {
            if (v.isEmpty())
                return QStringLiteral("empty path");
            *target = v;
            return {};
        };
    };
    auto endpointList = [](QSet<int> *target) {
        return [target](const QString &v) -> QString {
            for (const QString &part : v.split(QLatin1Char(','))) {
                long long n = 0;
                if (!parseNumber(part.trimmed(), 1, 1000, &n))
                    return QStringLiteral("'%1' is not an endpoint number from 1 to 1000").arg(part);
                target->insert(static_cast<int>(n));
            }
            return {};
        };
    };
    const std::map<QString, std::function<QString(const QString &)>> valued = {
        {QStringLiteral("--udp"),
         [&](const QString &v) -> QString {
             const int colon = v.lastIndexOf(QLatin1Char(':'));
             long long port = 0;
             if (colon <= 0 || !parseNumber(v.mid(colon + 1), 0, 65535, &port))
                 return QStringLiteral("'%1' is not ADDR:PORT").arg(v);
             c.udp << v;
             return {};
         }},
        {QStringLiteral("--udp-count"), [&](const QString &v) { return number(v, 1, 1000, &udpCount); }},
        {QStringLiteral("--silent-endpoints"), endpointList(&c.silentEndpoints)},
        {QStringLiteral("--refusing-endpoints"), endpointList(&c.refusingEndpoints)},
        {QStringLiteral("--pty"), path(&c.pty)},
        {QStringLiteral("--device"), path(&c.device)},
        {QStringLiteral("--modem-delay"), [&](const QString &v) { return number(v, 0, 600000, &c.modem.delayMs); }},
        {QStringLiteral("--modem-drop-after"),
         [&](const QString &v) { return number(v, 0, 1000000000, &c.modem.dropAfterBytes); }},
        {QStringLiteral("--modem-result"),
         [&](const QString &v) -> QString {
             if (v.isEmpty())
                 return QStringLiteral("empty result text (use none for no answer)");
             c.modem.result = v == QLatin1String("none") ? QByteArray() : v.toLatin1();
             return {};
         }},
        {QStringLiteral("--id"),
         [&](const QString &v) -> QString {
             long long id = 0;
             if (!parseNumber(v, 1, 255, &id))
                 return QStringLiteral("'%1' is not an ID from 1 to 255").arg(v);
             ids.push_back(id);
             return {};
         }},
        {QStringLiteral("--ids"),
         [&](const QString &v) -> QString {
             const QStringList parts = v.split(QLatin1Char(','));
             for (const QString &part : parts) {
                 long long id = 0;
                 if (!parseNumber(part.trimmed(), 1, 255, &id))
                     return QStringLiteral("'%1' is not an ID from 1 to 255").arg(part);
                 ids.push_back(id);
             }
             return {};
         }},
        {QStringLiteral("--sn"),
         [&](const QString &v) -> QString {
             const QByteArray sn = v.toLatin1();
             if (sn.size() != 8 || QString::fromLatin1(sn) != v)
                 return QStringLiteral("'%1' is not a serial number of 8 characters").arg(v);
             sns.append(sn);
             return {};
         }},
        {QStringLiteral("--version"),
         [&](const QString &v) -> QString {
             if (!parseVersion(v, &common.version))
                 return QStringLiteral("'%1' is not MAJOR.MINOR (0..255 each)").arg(v);
             return {};
         }},
        {QStringLiteral("--type-code"), [&](const QString &v) { return number(v, 0, 65535, &common.typeCode); }},
        {QStringLiteral("--card-max"), [&](const QString &v) { return number(v, 0, 65535, &common.cardMax); }},
        {QStringLiteral("--record-max"), [&](const QString &v) { return number(v, 0, 65535, &common.recordMax); }},
        {QStringLiteral("--sort-count"),
         [&](const QString &v) { return number(v, 0, 65535, &common.sortCardCount); }},
        {QStringLiteral("--unsort-count"),
         [&](const QString &v) { return number(v, 0, 65535, &common.unsortCardCount); }},
        {QStringLiteral("--record-count"),
         [&](const QString &v) { return number(v, 0, 65535, &common.recordCount); }},
        {QStringLiteral("--card-bytes"),
         [&](const QString &v) -> QString {
             long long w = 0;
             if (!parseNumber(v, 4, 12, &w) || (w != 4 && w != 7 && w != 8 && w != 12))
                 return QStringLiteral("'%1' is not 4, 7, 8 or 12").arg(v);
             common.cardBytes = static_cast<int>(w);
             return {};
         }},
        {QStringLiteral("--transactions"),
         [&](const QString &v) { return number(v, 0, 65535, &common.transactions); }},
        {QStringLiteral("--event-every"), [&](const QString &v) { return number(v, 1, 86400000, &c.eventEveryMs); }},
        {QStringLiteral("--fail-frame"),
         [&](const QString &v) -> QString {
             const int colon = v.indexOf(QLatin1Char(':'));
             long long code = 0;
             long long k = 0;
             if (colon <= 0 || !parseNumber(v.left(colon), 0, 255, &code) ||
                 !parseNumber(v.mid(colon + 1), 1, 1000000000, &k))
                 return QStringLiteral("'%1' is not CODE:K (code 0 to 0xFF, K from 1)").arg(v);
             f.failFrames.insert({static_cast<int>(code), static_cast<int>(k)});
             return {};
         }},
        {QStringLiteral("--fail-mode"),
         [&](const QString &v) -> QString {
             if (v != QLatin1String("refuse") && v != QLatin1String("silent") && v != QLatin1String("answer-lost"))
                 return QStringLiteral("'%1' is not refuse, silent or answer-lost").arg(v);
             f.failSilent = v == QLatin1String("silent");
             f.failAnswerLost = v == QLatin1String("answer-lost");
             return {};
         }},
        {QStringLiteral("--power-cycle-at"),
         [&](const QString &v) -> QString {
             const int colon = static_cast<int>(v.lastIndexOf(QLatin1Char(':')));
             long long ms = 0;
             if (colon <= 0 || !parseNumber(v.mid(colon + 1), 0, 86400000, &ms))
                 return QStringLiteral("'%1' is not ENDPOINT:MS (MS from 0 to 86400000)").arg(v);
             powerCycleAt.push_back({v.left(colon), static_cast<int>(ms)});
             return {};
         }},
        {QStringLiteral("--drop"),
         [&](const QString &v) -> QString {
             bool ok = false;
             const double percent = v.toDouble(&ok);
             if (!ok || !(percent >= 0 && percent <= 100))
                 return QStringLiteral("'%1' is not a share from 0 to 100").arg(v);
             c.dropPercent = percent;
             return {};
         }},
        {QStringLiteral("--drop-seed"),
         [&](const QString &v) { return number(v, 0, std::numeric_limits<long long>::max(), &c.dropSeed); }},
        {QStringLiteral("--power-cycle-after"),
         [&](const QString &v) { return number(v, 1, 86400000, &c.powerCycleAfterMs); }},
        {QStringLiteral("--reply-delay"), [&](const QString &v) { return number(v, 0, 600000, &f.replyDelayMs); }},
        {QStringLiteral("--wrong-length"),
         [&](const QString &v) -> QString {
             long long d = 0;
             if (!parseNumber(v, -250, 250, &d) || d == 0)
                 return QStringLiteral("'%1' is not a non-zero count from -250 to 250").arg(v);
             f.lengthDelta = static_cast<int>(d);
             return {};
         }},
        {QStringLiteral("--extra-bytes"), [&](const QString &v) { return number(v, 1, 1000, &f.extraBytes); }},
        {QStringLiteral("--split-reply"), [&](const QString &v) { return number(v, 2, 64, &f.splitParts); }},
        {QStringLiteral("--split-gap"), [&](const QString &v) { return number(v, 0, 10000, &f.splitGapMs); }},
        {QStringLiteral("--fault-command"),
         [&](const QString &v) -> QString {
             long long code = 0;
             if (!parseNumber(v, 0, 255, &code))
                 return QStringLiteral("'%1' is not a command code from 0 to 0xFF").arg(v);
             f.commands.insert(static_cast<int>(code));
             return {};
         }},
        {QStringLiteral("--bl-silent-after"),
         [&](const QString &v) { return number(v, 0, 1000000000, &f.blSilentAfter); }},
        {QStringLiteral("--bl-nak-every"), [&](const QString &v) { return number(v, 1, 1000000000, &f.blNakEvery); }},
        {QStringLiteral("--bl-drop-every"),
         [&](const QString &v) { return number(v, 1, 1000000000, &f.blDropEvery); }},
        {QStringLiteral("--bl-end-reply"),
         [&](const QString &v) -> QString {
             const QByteArray text = v.toLatin1();
             if (text.size() > 16 || QString::fromLatin1(text) != v)
                 return QStringLiteral("'%1' is not a reply text of 0 to 16 characters").arg(v);
             f.blEndReply = text;
             return {};
         }},
        {QStringLiteral("--state"), path(&c.stateFile)},
    };

    for (int i = 0; i < args.size(); ++i) {
        QString name = args[i];
        QString value;
        bool hasInlineValue = false;
        if (name == QLatin1String("-h") || name == QLatin1String("--help")) {
            result.kind = ParseResult::Help;
            return result;
        }
        const int eq = name.indexOf(QLatin1Char('='));
        if (name.startsWith(QLatin1String("--")) && eq > 2) {
            value = name.mid(eq + 1);
            name = name.left(eq);
            hasInlineValue = true;
        }
        if (const auto flag = flags.find(name); flag != flags.end()) {
            if (hasInlineValue)
                return fail(QStringLiteral("option %1 takes no value").arg(name));
            flag->second();
            continue;
        }
        const auto opt = valued.find(name);
        if (opt == valued.end())
            return fail(QStringLiteral("unknown option '%1' (see --help)").arg(args[i]));
        if (!hasInlineValue) {
            if (i + 1 >= args.size())
                return fail(QStringLiteral("option %1 needs a value").arg(name));
            value = args[++i];
        }
        const QString problem = opt->second(value);
        if (!problem.isEmpty())
            return fail(QStringLiteral("%1: %2").arg(name, problem));
    }

    if (c.udp.isEmpty() && c.pty.isEmpty() && c.device.isEmpty())
        return fail(QStringLiteral("no link: give --udp, --pty or --device"));
    if (!c.pty.isEmpty() && !c.device.isEmpty())
        return fail(QStringLiteral("--pty and --device both name the serial side; give one"));
    if (c.modem.enabled && c.pty.isEmpty() && c.device.isEmpty())
        return fail(QStringLiteral("--modem needs a serial side (--pty or --device)"));
    if (udpCount > 0) {
        if (c.udp.size() != 1)
            return fail(QStringLiteral("--udp-count needs exactly one --udp ADDR:BASEPORT"));
        const QString base = c.udp.takeFirst();
        const int colon = static_cast<int>(base.lastIndexOf(QLatin1Char(':')));
        const int basePort = base.mid(colon + 1).toInt();
        if (basePort != 0 && basePort + udpCount - 1 > 65535)
            return fail(QStringLiteral("--udp-count %1 from port %2 runs past port 65535").arg(udpCount).arg(basePort));
        for (int k = 0; k < udpCount; ++k)
            c.udp << QStringLiteral("%1:%2").arg(base.left(colon)).arg(basePort == 0 ? 0 : basePort + k);
    }
    // An endpoint by its number, or by its ADDR:PORT once the list is complete.
    const int endpointCount = std::max(1, static_cast<int>(c.udp.size()));
    for (const auto &[name, ms] : powerCycleAt) {
        long long endpoint = 0;
        if (!parseNumber(name, 1, endpointCount, &endpoint)) {
            if (c.udp.count(name) > 1)
                return fail(QStringLiteral("--power-cycle-at: several endpoints are named '%1' (ports chosen by the "
                                           "system): give the endpoint's number")
                                .arg(name));
            endpoint = c.udp.indexOf(name) + 1;
            if (endpoint == 0)
                return fail(QStringLiteral("--power-cycle-at: '%1' is neither an endpoint number from 1 to %2 nor "
                                           "one of the --udp endpoints")
                                .arg(name)
                                .arg(endpointCount));
        }
        c.powerCycleAt.push_back({static_cast<int>(endpoint), ms});
    }
    for (const QSet<int> *list : {&c.silentEndpoints, &c.refusingEndpoints})
        for (int endpoint : *list)
            if (endpoint > c.udp.size())
                return fail(QStringLiteral("endpoint %1 does not exist: %2 UDP endpoint(s) are served")
                                .arg(endpoint)
                                .arg(c.udp.size()));

    if (common.transactions > common.recordMax)
        return fail(QStringLiteral("--transactions %1 exceeds --record-max %2: the records would not fit")
                        .arg(common.transactions)
                        .arg(common.recordMax));

    if (ids.empty())
        ids.push_back(1);
    std::set<long long> seenIds;
    for (long long id : ids)
        if (!seenIds.insert(id).second)
            return fail(QStringLiteral("controller ID %1 given twice: two controllers would answer at once").arg(id));
    if (sns.size() > static_cast<qsizetype>(ids.size()))
        return fail(QStringLiteral("more --sn than controllers"));
    std::set<QByteArray> seenSns(sns.begin(), sns.end());
    if (seenSns.size() != static_cast<std::size_t>(sns.size()))
        return fail(QStringLiteral("the same serial number is given twice"));

    int nextDefault = 1;
    for (std::size_t k = 0; k < ids.size(); ++k) {
        ControllerConfig cc = common;
        cc.id = static_cast<std::uint8_t>(ids[k]);
        if (k < static_cast<std::size_t>(sns.size())) {
            cc.sn = sns[static_cast<qsizetype>(k)];
        } else {
            // Distinct defaults that never collide with a serial number given by hand.
            QByteArray sn;
            do
                sn = QByteArray::number(nextDefault++).rightJustified(8, '0');
            while (seenSns.count(sn));
            seenSns.insert(sn);
            cc.sn = sn;
        }
        c.controllers.push_back(cc);
    }
    // Every further endpoint: the same controllers under serial numbers that
    // no other endpoint uses, so that a fleet's records tell them apart.
    for (qsizetype e = 1; e < c.udp.size(); ++e) {
        std::vector<ControllerConfig> more = c.controllers;
        for (ControllerConfig &cc : more) {
            QByteArray sn;
            do
                sn = QByteArray::number(nextDefault++).rightJustified(8, '0');
            while (seenSns.count(sn));
            seenSns.insert(sn);
            cc.sn = sn;
        }
        c.moreEndpoints.push_back(std::move(more));
    }
    return result;
}

SimConfig SimConfig::forEndpoint(int index) const
{
    SimConfig one = *this;
    one.udp = QStringList{udp.value(index)};
    one.moreEndpoints.clear();
    if (index > 0 && index <= static_cast<int>(moreEndpoints.size()))
        one.controllers = moreEndpoints[static_cast<std::size_t>(index - 1)];
    if (silentEndpoints.contains(index + 1))
        one.faults.silent = true;
    if (refusingEndpoints.contains(index + 1))
        one.faults.blNakAll = true;
    one.powerCycleAt.clear();
    for (const auto &entry : powerCycleAt)
        if (entry.first == index + 1)
            one.powerCycleAt.push_back(entry);
    one.dropStream = index;
    return one;
}

} // namespace nsim
