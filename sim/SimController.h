#pragma once
// One simulated door-access controller: its identity, info record, clock,
// device IDs, firmware image and boot loader, and the access-control state
// that SimAccess, SimDoors and SimCalendar keep for it. It knows nothing of
// links: the session hands it whole request frames and whole boot-loader lines.
#include "sim/SimAccess.h"
#include "sim/SimCalendar.h"
#include "sim/SimConfig.h"
#include "sim/SimDoors.h"
#include "sim/SimReply.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonObject>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>

namespace nsim {

constexpr std::uint8_t kStartByte = 0x33;

// Low 8 bits of the sum of the first count bytes.
std::uint8_t checksum(const QByteArray &bytes, int count);
// 0x33, address, code, n, data, checksum.
QByteArray buildFrame(std::uint8_t address, std::uint8_t code, const QByteArray &data);

class SimController {
public:
    explicit SimController(const ControllerConfig &config);

    std::uint8_t id() const { return m_id; }
    const QByteArray &sn() const { return m_sn; }
    QDateTime clock() const;

    // Handles one request addressed to this controller (checksum already
    // verified). Returns the whole reply frame, or nothing for commands that
    // are not answered. idTaken tells whether another controller on the bus
    // already answers to an ID; faults may make this frame fail (--fail-frame).
    struct Outcome {
        std::optional<QByteArray> reply;
        bool raw = false; // the reply is not a frame (the memory block)
        bool enteredBootLoader = false;
        QString note; // for the trace: what the controller did with it
    };
    Outcome handleFrame(std::uint8_t code, const QByteArray &data, const std::function<bool(std::uint8_t)> &idTaken,
                        const FaultConfig &faults = {});

    // A card presented at a reader: one more transaction record. False when
    // the record memory is full and the record is lost.
    bool addEvent();

    // In the boot loader: reading record lines, or done with them and waiting
    // for its power to be switched off and on (it answers nothing meanwhile).
    bool inBootLoader() const { return m_boot != Boot::Off; }
    bool readsLines() const { return m_boot == Boot::Reading; }
    bool waitsForPower() const { return m_boot == Boot::Written; }

    // The boot loader: one record line as received, from ':' up to, not
    // including, the ';'.
    struct LineOutcome {
        QByteArray letters; // to answer (empty: no answer)
        QString note;
        bool ended = false; // the end of file was taken: the new image is written
    };
    LineOutcome handleLine(const QByteArray &line, const FaultConfig &faults);
    // Power removed and restored in the boot loader: in the middle of a
    // download the old image stays, after its end the new one runs. True when
    // it started the new image.
    bool powerCycle();
    // Applies --power-cycle-after when its time has come; true when it did.
    bool expireBootLoader(int afterMs, bool *newImage);

    QJsonObject state() const;

private:
    QByteArray ack(std::uint8_t code, std::uint8_t status) const;
    Outcome outcome(const Reply &reply) const;
    Outcome failed(std::uint8_t code, const QByteArray &data, const FaultConfig &faults) const;
    Outcome act(std::uint8_t code, const QByteArray &data, const std::function<bool(std::uint8_t)> &idTaken);
    QByteArray frame(std::uint8_t code, const QByteArray &data) const { return buildFrame(m_id, code, data); }
    void restartWithNewImage();
    QString versionText() const; // "2.5"

    std::uint8_t m_id;
    QByteArray m_sn;
    std::uint16_t m_typeCode;
    std::uint16_t m_version;
    std::uint16_t m_cardMax, m_recordMax, m_sortCardCount, m_unsortCardCount, m_recordCount;
    qint64 m_clockOffsetMs = 0; // the clock runs from the moment it was set
    std::map<std::uint8_t, std::pair<std::uint8_t, QByteArray>> m_deviceIds; // selector -> value, text
    QByteArray m_summerTime, m_winterTime;

    std::map<std::uint32_t, std::uint8_t> m_image;   // running firmware
    std::map<std::uint32_t, std::uint8_t> m_pending; // being written by the boot loader
    enum class Boot { Off, Reading, Written } m_boot = Boot::Off;
    bool m_restartOnEnd;
    QElapsedTimer m_bootSince;
    std::uint32_t m_addressBase = 0; // from the extended address records
    int m_linesReceived = 0;
    int m_linesAccepted = 0;
    int m_linesRejected = 0;
    int m_downloads = 0;
    int m_powerCycles = 0;

    std::map<std::uint8_t, int> m_framesReceived; // per command code, for --fail-frame
    int m_framesFailed = 0;
    SimAccess m_access;
    SimDoors m_doors;
    SimCalendar m_calendar;
};

} // namespace nsim
