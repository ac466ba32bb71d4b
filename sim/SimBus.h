#pragma once
// The controllers that share the simulator's links, and one session per link
// that turns received bytes into the writes to make in answer. Sessions do no
// I/O themselves, so tests can drive them with plain byte arrays.
#include "sim/SimConfig.h"
#include "sim/SimController.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

namespace nsim {

// One write to the link, delayMs after the bytes that caused it arrived.
struct Write {
    QByteArray bytes;
    int delayMs = 0;
};

class SimBus {
public:
    explicit SimBus(const SimConfig &config);

    const SimConfig &config() const { return m_config; }
    SimController *byId(std::uint8_t id);
    SimController *bySn(const QByteArray &sn);

    // The power of every controller is switched off and on: one in the middle
    // of a download keeps its old image, one whose download ended runs the new one.
    void powerCycleAll(const QString &why = QStringLiteral("power switched off and on"));
    // A controller on this bus took the end of file: the power cycles that
    // --power-cycle-at asks for are timed from now.
    void downloadEnded(const SimController &controller);
    // Applies --power-cycle-after to controllers whose time has come.
    void expireBootLoaders();
    // A card presented at every controller: each stores one more transaction record.
    void addEvents();

    QJsonDocument state();

    // The trace goes to stderr unless a test catches it.
    void setTraceSink(std::function<void(const QString &)> sink) { m_sink = std::move(sink); }
    void trace(const QString &link, const char *direction, const QByteArray &bytes, bool text,
               const QString &note = QString());
    void note(const QString &link, const QString &text);

private:
    void emitLine(const QString &line);

    SimConfig m_config;
    std::vector<std::unique_ptr<SimController>> m_controllers;
    std::function<void(const QString &)> m_sink;
    QObject m_timers; // owns the pending power cycles; they die with the bus
};

class SimSession {
public:
    // datagrams: every receive() is one whole datagram (UDP); otherwise the
    // bytes are a stream cut anywhere (serial) and frames are found by their
    // length byte.
    SimSession(SimBus &bus, QString linkName, bool datagrams);

    std::vector<Write> receive(const QByteArray &bytes);
    // A controller's boot loader reads this link: its bytes are record text.
    bool readsRecordText() { return bootTarget() != nullptr; }

    // No request frame or record line is half received: a modem may take "+" as
    // the start of its escape rather than as data.
    bool atBoundary() const { return m_buffer.isEmpty() && m_line.isEmpty(); }
    // The port was closed: whatever was half received is forgotten.
    void reset();

    // A request frame left incomplete this long is given up, so that one lost
    // byte does not swallow the next request.
    static constexpr int kStaleFrameMs = 200;

private:
    void handleFrame(const QByteArray &frame, std::vector<Write> &out);
    void feedBootLoader(const QByteArray &bytes, std::vector<Write> &out);
    void emitReply(const QByteArray &reply, std::uint8_t code, std::vector<Write> &out, bool raw);
    // The controller whose boot loader reads this link's bytes as record text.
    SimController *bootTarget();

    SimBus &m_bus;
    QString m_link;
    bool m_datagrams;
    QByteArray m_buffer; // stream: bytes of a frame not yet complete
    QElapsedTimer m_lastInput;
    SimController *m_boot = nullptr; // the controller whose boot loader reads this link
    QByteArray m_line;               // boot loader: text of the line being received
};

} // namespace nsim
