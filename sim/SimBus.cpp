#include "sim/SimBus.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QTimer>

#include <cstdio>

namespace nsim {

namespace {

QString hexDump(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

// Printable form of boot-loader and modem text: control bytes as \r, \n, \xNN.
QString printable(const QByteArray &bytes)
{
    QString out;
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\r')
            out += QLatin1String("\\r");
        else if (c == '\n')
            out += QLatin1String("\\n");
        else if (c < 0x20 || c >= 0x7F)
            out += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
        else
            out += QLatin1Char(static_cast<char>(c));
    }
    return out;
}

bool selectedBySn(std::uint8_t code)
{
    return code == 0x03 || code == 0x27 || code == 0x29;
}

} // namespace

SimBus::SimBus(const SimConfig &config) : m_config(config)
{
    for (const ControllerConfig &c : m_config.controllers)
        m_controllers.push_back(std::make_unique<SimController>(c));
}

SimController *SimBus::byId(std::uint8_t id)
{
    for (auto &c : m_controllers)
        if (c->id() == id)
            return c.get();
    return nullptr;
}

SimController *SimBus::bySn(const QByteArray &sn)
{
    for (auto &c : m_controllers)
        if (c->sn() == sn)
            return c.get();
    return nullptr;
}

void SimBus::powerCycleAll(const QString &why)
{
    for (auto &c : m_controllers) {
        if (!c->inBootLoader())
            continue; // a running image just starts again: nothing to see
        const bool newImage = c->powerCycle();
        note(QStringLiteral("bus"), QStringLiteral("controller %1 %2: %3")
                                        .arg(c->id())
                                        .arg(why, newImage ? QStringLiteral("the new image runs")
                                                           : QStringLiteral("boot loader left, image unchanged")));
    }
}

void SimBus::downloadEnded(const SimController &controller)
{
    for (const auto &[endpoint, ms] : m_config.powerCycleAt) {
        note(QStringLiteral("bus"), QStringLiteral("controller %1: power switched off and on in %2 ms (--power-cycle-at)")
                                        .arg(controller.id())
                                        .arg(ms));
        QTimer::singleShot(ms, &m_timers, [this, ms = ms] {
            powerCycleAll(QStringLiteral("power switched off and on %1 ms after the end of file").arg(ms));
        });
    }
}

void SimBus::addEvents()
{
    for (auto &c : m_controllers)
        note(QStringLiteral("bus"), c->addEvent()
                                        ? QStringLiteral("controller %1 stored a new record").arg(c->id())
                                        : QStringLiteral("controller %1: record memory full, record lost").arg(c->id()));
}

void SimBus::expireBootLoaders()
{
    if (m_config.powerCycleAfterMs <= 0)
        return;
    for (auto &c : m_controllers) {
        bool newImage = false;
        if (c->expireBootLoader(m_config.powerCycleAfterMs, &newImage))
            note(QStringLiteral("bus"), QStringLiteral("controller %1 power-cycled after %2 ms in the boot loader: %3")
                                            .arg(c->id())
                                            .arg(m_config.powerCycleAfterMs)
                                            .arg(newImage ? QStringLiteral("the new image runs")
                                                          : QStringLiteral("image unchanged")));
    }
}

QJsonDocument SimBus::state()
{
    expireBootLoaders();
    QJsonArray list;
    for (auto &c : m_controllers)
        list.append(c->state());
    QJsonObject root;
    root[QStringLiteral("controllers")] = list;
    return QJsonDocument(root);
}

void SimBus::trace(const QString &link, const char *direction, const QByteArray &bytes, bool text,
                   const QString &noteText)
{
    if (!m_config.trace)
        return;
    QString line = QStringLiteral("%1 %2 %3 ")
                       .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz")), link,
                            QLatin1String(direction));
    line += text ? QStringLiteral("\"%1\"").arg(printable(bytes)) : hexDump(bytes);
    if (!noteText.isEmpty())
        line += QStringLiteral("  (%1)").arg(noteText);
    emitLine(line);
}

void SimBus::note(const QString &link, const QString &text)
{
    if (!m_config.trace)
        return;
    emitLine(QStringLiteral("%1 %2 -- %3")
                 .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz")), link, text));
}

void SimBus::emitLine(const QString &line)
{
    if (m_sink) {
        m_sink(line);
    } else {
        std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
        std::fflush(stderr);
    }
}

SimSession::SimSession(SimBus &bus, QString linkName, bool datagrams)
    : m_bus(bus), m_link(std::move(linkName)), m_datagrams(datagrams)
{
}

void SimSession::reset()
{
    m_buffer.clear();
    m_line.clear();
}

SimController *SimSession::bootTarget()
{
    if (m_boot && !m_boot->readsLines())
        m_boot = nullptr;
    return m_boot;
}

std::vector<Write> SimSession::receive(const QByteArray &bytes)
{
    std::vector<Write> out;
    m_bus.expireBootLoaders();
    if (m_bus.config().faults.silent) {
        m_bus.trace(m_link, "RX", bytes, bootTarget() != nullptr, QStringLiteral("silent: not answered"));
        return out;
    }

    if (m_datagrams) {
        if (bootTarget()) {
            feedBootLoader(bytes, out);
            return out;
        }
        // One datagram carries one frame, no more and no less.
        if (bytes.size() < 5 || static_cast<std::uint8_t>(bytes[0]) != kStartByte ||
            bytes.size() != static_cast<std::uint8_t>(bytes[3]) + 5) {
            m_bus.trace(m_link, "RX", bytes, false, QStringLiteral("not one whole frame, ignored"));
            return out;
        }
        handleFrame(bytes, out);
        return out;
    }

    if (!m_buffer.isEmpty() && m_lastInput.isValid() && m_lastInput.elapsed() > kStaleFrameMs) {
        m_bus.trace(m_link, "RX", m_buffer, false, QStringLiteral("incomplete frame given up"));
        m_buffer.clear();
    }
    m_lastInput.start();

    QByteArray pending = m_buffer + bytes;
    m_buffer.clear();
    while (!pending.isEmpty()) {
        if (bootTarget()) {
            m_buffer.clear();
            feedBootLoader(pending, out);
            return out;
        }
        if (static_cast<std::uint8_t>(pending[0]) != kStartByte) {
            qsizetype skip = pending.indexOf(static_cast<char>(kStartByte));
            if (skip < 0)
                skip = pending.size();
            m_bus.trace(m_link, "RX", pending.left(skip), false, QStringLiteral("no frame start, skipped"));
            pending.remove(0, skip);
            continue;
        }
        if (pending.size() < 4 || pending.size() < static_cast<std::uint8_t>(pending[3]) + 5) {
            m_buffer = pending; // the rest of the frame is still on its way
            break;
        }
        const int length = static_cast<std::uint8_t>(pending[3]) + 5;
        const QByteArray frame = pending.left(length);
        pending.remove(0, length);
        handleFrame(frame, out);
    }
    return out;
}

void SimSession::handleFrame(const QByteArray &frame, std::vector<Write> &out)
{
    const int last = static_cast<int>(frame.size()) - 1;
    if (checksum(frame, last) != static_cast<std::uint8_t>(frame[last])) {
        m_bus.trace(m_link, "RX", frame, false, QStringLiteral("bad checksum, ignored"));
        return;
    }
    const auto address = static_cast<std::uint8_t>(frame[1]);
    const auto code = static_cast<std::uint8_t>(frame[2]);
    const QByteArray data = frame.mid(4, static_cast<std::uint8_t>(frame[3]));

    SimController *target = nullptr;
    if (selectedBySn(code)) {
        // The controller holding the SN answers; its ID is unknown to the host.
        const QByteArray sn = code == 0x29 ? data.left(8) : data.mid(1, 8);
        if (sn.size() == 8)
            target = m_bus.bySn(sn);
        if (target && address != 0 && address != target->id())
            target = nullptr;
    } else if (address != 0) {
        target = m_bus.byId(address);
    }
    if (!target) {
        m_bus.trace(m_link, "RX", frame, false, QStringLiteral("no controller answers to this address or SN"));
        return;
    }
    m_bus.trace(m_link, "RX", frame, false, QStringLiteral("to controller %1").arg(target->id()));

    const SimController::Outcome outcome = target->handleFrame(
        code, data,
        [this, target](std::uint8_t id) {
            const SimController *other = m_bus.byId(id);
            return other && other != target;
        },
        m_bus.config().faults);
    if (!outcome.note.isEmpty())
        m_bus.note(m_link, outcome.note);
    if (outcome.reply)
        emitReply(*outcome.reply, code, out, outcome.raw);
    if (outcome.enteredBootLoader) {
        m_boot = target;
        m_line.clear();
    }
}

void SimSession::emitReply(const QByteArray &replyFrame, std::uint8_t code, std::vector<Write> &out, bool raw)
{
    const FaultConfig &f = m_bus.config().faults;
    QByteArray reply = replyFrame;
    QStringList faults;
    if (f.framesAffected(code)) {
        // A raw block has no length byte or checksum to get wrong.
        if (f.lengthDelta != 0 && !raw) {
            QByteArray data = reply.mid(4, static_cast<std::uint8_t>(reply[3]));
            if (f.lengthDelta > 0)
                data.append(QByteArray(f.lengthDelta, '\0'));
            else
                data.chop(qMin<qsizetype>(-f.lengthDelta, data.size()));
            reply = buildFrame(static_cast<std::uint8_t>(reply[1]), static_cast<std::uint8_t>(reply[2]), data);
            faults << QStringLiteral("length %1").arg(f.lengthDelta > 0 ? QStringLiteral("+%1").arg(f.lengthDelta)
                                                                        : QString::number(f.lengthDelta));
        }
        if (f.badChecksum && !raw) {
            reply[reply.size() - 1] = static_cast<char>(static_cast<std::uint8_t>(reply[reply.size() - 1]) + 1);
            faults << QStringLiteral("bad checksum");
        }
        if (f.extraBytes > 0) {
            reply.append(QByteArray(f.extraBytes, '\xEE'));
            faults << QStringLiteral("%1 extra bytes").arg(f.extraBytes);
        }
    }
    const int parts = f.framesAffected(code) ? qMin<int>(f.splitParts, static_cast<int>(reply.size())) : 1;
    const int pieceSize = (static_cast<int>(reply.size()) + parts - 1) / parts;
    for (int i = 0, offset = 0; offset < reply.size(); ++i, offset += pieceSize) {
        Write w{reply.mid(offset, pieceSize), f.replyDelayMs + i * f.splitGapMs};
        QStringList notes = faults;
        if (parts > 1)
            notes << QStringLiteral("piece %1 of %2").arg(i + 1).arg(parts);
        if (w.delayMs > 0)
            notes << QStringLiteral("sent after %1 ms").arg(w.delayMs);
        m_bus.trace(m_link, "TX", w.bytes, false, notes.join(QStringLiteral(", ")));
        out.push_back(std::move(w));
    }
}

void SimSession::feedBootLoader(const QByteArray &bytes, std::vector<Write> &out)
{
    const FaultConfig &f = m_bus.config().faults;
    qsizetype i = 0;
    while (i < bytes.size()) {
        SimController *target = bootTarget();
        if (!target) {
            // Power-cycled between two lines, or the end of file taken: what
            // follows is framed again.
            const QByteArray rest = bytes.mid(i);
            std::vector<Write> more = receive(rest);
            out.insert(out.end(), more.begin(), more.end());
            return;
        }
        const char c = bytes[i++];
        if (m_line.isEmpty()) {
            if (c == ':')
                m_line.append(c); // anything between lines is noise to the boot loader
            continue;
        }
        if (c != ';' && m_line.size() <= 600) {
            m_line.append(c);
            continue;
        }
        if (c != ';')
            m_line.append(c); // over-long: judged (and refused) now, not held on to
        const SimController::LineOutcome line = target->handleLine(m_line, f);
        const QByteArray &letters = line.letters;
        m_bus.trace(m_link, "RX", c == ';' ? m_line + ';' : m_line, true, line.note);
        m_line.clear();
        if (!letters.isEmpty()) {
            m_bus.trace(m_link, "TX", letters, true,
                        f.replyDelayMs > 0 ? QStringLiteral("sent after %1 ms").arg(f.replyDelayMs) : QString());
            out.push_back({letters, f.replyDelayMs});
        }
        if (line.ended)
            m_bus.downloadEnded(*target);
    }
}

} // namespace nsim
