#include "sim/SimModem.h"

namespace nsim {

namespace {
constexpr int kMaxCommandChars = 256;
const QString kModemLink = QStringLiteral("modem");
} // namespace

SimModem::SimModem(SimBus &bus, SimSession &session, const ModemConfig &config)
    : m_bus(bus), m_session(session), m_config(config)
{
}

Write SimModem::result(const QByteArray &text, int delayMs)
{
    Write w{QByteArrayLiteral("\r\n") + text + QByteArrayLiteral("\r\n"), delayMs};
    m_bus.trace(kModemLink, "TX", w.bytes, true,
                delayMs > 0 ? QStringLiteral("sent after %1 ms").arg(delayMs) : QString());
    return w;
}

void SimModem::portClosed()
{
    if (m_state != Command)
        m_bus.note(kModemLink, QStringLiteral("port closed: DTR dropped, call ended"));
    m_state = Command;
    m_line.clear();
    m_plus = 0;
    m_session.reset();
}

std::vector<Write> SimModem::receive(const QByteArray &bytes)
{
    std::vector<Write> out;
    QByteArray data; // bytes for the controllers, passed on in order
    auto flush = [&] {
        if (data.isEmpty())
            return;
        std::vector<Write> more = m_session.receive(data);
        out.insert(out.end(), more.begin(), more.end());
        data.clear();
    };

    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (m_state == Online) {
            if (m_connecting.isValid() && m_connecting.elapsed() < m_config.delayMs) {
                const QByteArray lost = bytes.mid(i);
                if (!QByteArray(lost).replace('\r', "").replace('\n', "").isEmpty())
                    m_bus.trace(kModemLink, "RX", lost, false, QStringLiteral("still connecting, lost"));
                break;
            }
            if (c == '+') {
                flush();
                if (m_session.atBoundary()) {
                    if (++m_plus == 3) {
                        m_plus = 0;
                        m_state = Escaped;
                        m_bus.note(kModemLink, QStringLiteral("\"+++\": command mode, call kept"));
                    }
                    continue;
                }
            }
            if (m_plus > 0) {
                data.append(QByteArray(m_plus, '+'));
                m_plus = 0;
            }
            if (m_config.dropAfterBytes >= 0 && m_onlineBytes >= m_config.dropAfterBytes) {
                // The line fails: what is under way is lost, and the modem says so.
                flush();
                m_bus.note(kModemLink, QStringLiteral("carrier lost after %1 bytes").arg(m_onlineBytes));
                out.push_back(result("NO CARRIER", 0));
                m_state = Command;
                m_session.reset();
                continue;
            }
            ++m_onlineBytes;
            data.append(c);
            continue;
        }
        if (c == '\r' || c == '\n') {
            if (!m_line.isEmpty())
                commandLine(m_line, out);
            m_line.clear();
        } else if (m_line.size() < kMaxCommandChars) {
            m_line.append(c);
        }
    }
    flush();
    return out;
}

void SimModem::commandLine(const QByteArray &received, std::vector<Write> &out)
{
    // A modem hunts for "AT": whatever came before it on the line is noise.
    const qsizetype start = received.toUpper().indexOf("AT");
    if (start < 0) {
        m_bus.trace(kModemLink, "RX", received, true, QStringLiteral("not a command, ignored"));
        return;
    }
    const QByteArray line = received.mid(start);
    const QByteArray upper = line.toUpper();
    m_bus.trace(kModemLink, "RX", line, true);
    if (upper.startsWith("ATD")) {
        if (m_state != Command) {
            out.push_back(result("ERROR", 0));
            return;
        }
        const int skip = upper.startsWith("ATDT") || upper.startsWith("ATDP") ? 4 : 3;
        const QByteArray number = line.mid(skip);
        if (m_config.result.isEmpty()) {
            m_bus.note(kModemLink, QStringLiteral("dialing %1: no result will come").arg(QString::fromLatin1(number)));
            return;
        }
        m_bus.note(kModemLink, QStringLiteral("dialing %1").arg(QString::fromLatin1(number)));
        out.push_back(result(m_config.result, m_config.delayMs));
        if (m_config.result.startsWith("CONNECT")) {
            m_state = Online;
            m_onlineBytes = 0;
            m_connecting.start();
        }
        return;
    }
    if (upper == "ATH" || upper == "ATH0") {
        if (m_state != Command)
            m_bus.note(kModemLink, QStringLiteral("hung up"));
        m_state = Command;
        m_session.reset();
        out.push_back(result("OK", 0));
        return;
    }
    if (upper == "ATO" || upper == "ATO0") {
        if (m_state != Escaped) {
            out.push_back(result("NO CARRIER", 0));
            return;
        }
        m_state = Online;
        m_connecting.invalidate();
        out.push_back(result(m_config.result.isEmpty() ? QByteArray("CONNECT 19200") : m_config.result, 0));
        return;
    }
    out.push_back(result("OK", 0)); // settings commands are accepted as they are
}

} // namespace nsim
