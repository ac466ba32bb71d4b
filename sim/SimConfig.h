#pragma once
// Everything norvik-sim can be told on its command line: the links it serves,
// the controllers on them, the modem in front of the serial side and the faults
// a rehearsal wants to see. Parsed once; the simulator never re-reads options.
#include <QByteArray>
#include <QSet>
#include <QtGlobal>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <set>
#include <utility>
#include <vector>

namespace nsim {

struct ControllerConfig {
    std::uint8_t id = 1;
    QByteArray sn = "00000001"; // exactly 8 bytes
    std::uint16_t typeCode = 1;
    std::uint16_t version = 0x0205; // high byte major, low byte minor
    std::uint16_t cardMax = 1000;
    std::uint16_t recordMax = 4000;
    std::uint16_t sortCardCount = 10;
    std::uint16_t unsortCardCount = 5;
    std::uint16_t recordCount = 500;
    int cardBytes = 4;     // width of card numbers in transaction records: 4, 7, 8 or 12
    int transactions = -1; // records stored at start; -1: none, and the info reply shows recordCount
    // After the end of file the controller starts the new image by itself;
    // otherwise it waits, silent, until its power is switched off and on.
    bool restartOnEnd = false;
};

// Faults that a misbehaving controller or a bad line shows. Frame faults touch
// only the framed replies (of the commands in `commands`, or of all when it is
// empty); the bl* faults touch the boot loader's one-letter answers.
struct FaultConfig {
    bool silent = false;        // never answer anything
    int replyDelayMs = 0;       // every answer (frames and letters) this much later
    int lengthDelta = 0;        // framed reply carries this many data bytes more (or fewer)
    bool badChecksum = false;   // framed reply checksum off by one
    int extraBytes = 0;         // bytes appended after the framed reply, in the same write
    int splitParts = 1;         // framed reply written in this many pieces
    int splitGapMs = 10;        // pause between two pieces
    QSet<int> commands;         // frame faults only for these command codes (empty = all)

    int blSilentAfter = -1;     // answer boot-loader lines 1..P, then nothing more
    int blNakEvery = 0;         // "N" for every m-th line received
    bool blNakAll = false;      // "N" for every line
    bool blAckLower = false;    // "k" instead of "K"
    bool blAckDouble = false;   // "KK" instead of "K"
    QByteArray blEndReply = "Z"; // answer to the end-of-file record
    int blDropEvery = 0;        // no answer at all to every m-th line

    // The k-th frame of a command code that a controller receives (counted from 1)
    // is refused with status 1, or not answered at all when failSilent.
    std::set<std::pair<int, int>> failFrames; // (code, k)
    bool failSilent = false;
    bool failAnswerLost = false; // the frame takes effect, its answer is not sent

    bool framesAffected(int code) const { return commands.isEmpty() || commands.contains(code); }
};

struct ModemConfig {
    bool enabled = false;
    int delayMs = 500;
    QByteArray result = "CONNECT 19200"; // empty: the modem never answers a dial
    int dropAfterBytes = -1;             // carrier lost once this many bytes went through on line
};

struct SimConfig {
    std::vector<ControllerConfig> controllers;
    FaultConfig faults;
    ModemConfig modem;
    // One "ADDR:PORT" per UDP endpoint, empty when not served. Each endpoint is
    // a site network's controller box of its own: its own controllers, state,
    // boot loader and faults (see forEndpoint).
    QStringList udp;
    // Controllers of endpoints 2, 3, ...: the same IDs as `controllers` (those
    // of the first endpoint and of the serial side), with serial numbers of their own.
    std::vector<std::vector<ControllerConfig>> moreEndpoints;
    QSet<int> silentEndpoints;   // endpoint numbers (from 1) that never answer
    QSet<int> refusingEndpoints; // endpoint numbers (from 1) whose boot loader refuses every line
    QString pty;    // symlink path for a new pseudo-terminal
    QString device; // an existing tty to serve
    bool trace = false;
    QString stateFile;
    int powerCycleAfterMs = -1; // leave the boot loader on its own after this long
    // (endpoint number from 1, ms): that endpoint's power is switched off and
    // on this long after each end of file one of its controllers takes.
    std::vector<std::pair<int, int>> powerCycleAt;
    // Datagram loss on the UDP endpoints: this share (0..100 %) of the
    // datagrams received and sent is lost, drawn from a generator seeded
    // from dropSeed and the endpoint's index together, so that a run repeats
    // and neither two endpoints nor two seeds share their draws.
    double dropPercent = 0;
    quint64 dropSeed = 1;
    int dropStream = 0; // the endpoint's index
    int eventEveryMs = 0;       // every controller stores a new transaction record this often (0: never)

    // The configuration of UDP endpoint `index` (from 0): its controllers and
    // faults, with `udp` holding that endpoint alone.
    SimConfig forEndpoint(int index) const;
};

struct ParseResult {
    enum Kind { Ok, Help, Error } kind = Ok;
    QString error; // for Error: one line, without the program name
    SimConfig config;
};

// Parses the arguments after the program name.
ParseResult parseSimArguments(const QStringList &args);
QString simHelpText();

// "2.5" -> 0x0205, "2.10" -> 0x020A; false for anything else.
bool parseVersion(const QString &text, std::uint16_t *out);
// Decimal or 0x-prefixed hexadecimal, within [min, max].
bool parseNumber(const QString &text, long long min, long long max, long long *out);

} // namespace nsim
