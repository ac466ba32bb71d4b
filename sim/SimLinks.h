#pragma once
// The simulator's two kinds of link, event driven so that it costs nothing
// while idle: a UDP socket (one datagram per frame, answered to its sender)
// and a tty (a new pseudo-terminal or an existing serial device), optionally
// behind a modem.
#include "sim/SimBus.h"
#include "sim/SimModem.h"

#include <QHostAddress>
#include <QObject>
#include <QUdpSocket>

#include <memory>
#include <random>

class QSocketNotifier;

namespace nsim {

class UdpLink : public QObject {
    Q_OBJECT
public:
    // linkName: how the trace names this endpoint.
    UdpLink(SimBus &bus, const QString &linkName = QStringLiteral("udp"), QObject *parent = nullptr);
    // hostPort "ADDR:PORT"; port 0 takes any free port.
    bool open(const QString &hostPort, QString *error);
    QString description() const; // "udp=127.0.0.1:40001"

private:
    void readPending();
    // One draw per datagram: true when this one is lost (--drop).
    bool lose();

    SimBus &m_bus;
    QString m_name;
    QUdpSocket m_socket;
    SimSession m_session;
    std::mt19937_64 m_loss; // its output is fixed by the standard: a seed repeats on every platform
    std::uint64_t m_lossPerMillion = 0;
};

class TtyLink : public QObject {
    Q_OBJECT
public:
    TtyLink(SimBus &bus, QObject *parent = nullptr);
    ~TtyLink() override;

    // A new pseudo-terminal with a symbolic link at path to its device.
    bool openPty(const QString &path, QString *error);
    // An existing serial device.
    bool openDevice(const QString &path, QString *error);
    QString description() const; // "pty=PATH" or "device=PATH"

signals:
    // The device went away (unplugged); the simulator cannot go on serving it.
    void failed(const QString &reason);

private:
    void setUp(int fd);
    void readInput();
    void writeQueued();
    void queue(const QByteArray &bytes);
    void schedule(const std::vector<Write> &writes);
    void watchOpenClose();
    void readOpenClose();
    // The last host-side user closed the port: what it left unread is lost, a modem hangs up.
    void hostClosed();
    // How many descriptors other processes hold on the pty device now.
    int hostHolders() const;

    SimBus &m_bus;
    SimSession m_session;
    std::unique_ptr<SimModem> m_modem;
    int m_fd = -1;    // master side of the pty, or the device
    int m_slave = -1; // kept open so the master never sees a hang-up while the host is away
    int m_inotify = -1;
    int m_openers = 0; // host-side opens of the pty device seen so far
    int m_generation = 0; // counts host closes; delayed answers of an earlier opening are dropped
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QSocketNotifier *m_inotifyNotifier = nullptr;
    QByteArray m_outQueue;
    QString m_linkPath;   // our symbolic link (pty only)
    QString m_devicePath; // the tty device itself
    QString m_description;
};

} // namespace nsim
