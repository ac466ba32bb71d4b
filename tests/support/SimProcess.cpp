#include "tests/support/SimProcess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>

#include <csignal>

namespace norvik::test {

SimProcess::SimProcess(QString program) : m_program(std::move(program)), m_dir(std::make_unique<QTemporaryDir>())
{
    m_stderrPath = m_dir->filePath(QStringLiteral("sim-stderr.txt"));
}

SimProcess::~SimProcess()
{
    stop();
}

bool SimProcess::running() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

bool SimProcess::start(const QStringList &args, int timeoutMs)
{
    stop();
    m_readyLine.clear();
    m_error.clear();
    m_process = std::make_unique<QProcess>();
    m_process->setProgram(m_program);
    m_process->setArguments(args);
    m_process->setStandardErrorFile(m_stderrPath);
    m_process->start();
    if (!m_process->waitForStarted(timeoutMs)) {
        m_error = QStringLiteral("cannot start %1: %2").arg(m_program, m_process->errorString());
        return false;
    }
    const QDeadlineTimer deadline(timeoutMs);
    QByteArray out;
    while (!deadline.hasExpired()) {
        if (m_process->canReadLine() || m_process->waitForReadyRead(static_cast<int>(deadline.remainingTime()))) {
            while (m_process->canReadLine()) {
                const QByteArray line = m_process->readLine().trimmed();
                out += line + '\n';
                if (line.startsWith("ready")) {
                    m_readyLine = QString::fromLocal8Bit(line);
                    return true;
                }
            }
            continue;
        }
        if (m_process->state() == QProcess::NotRunning)
            break;
    }
    m_error = QStringLiteral("norvik-sim did not become ready; stdout: %1; stderr: %2")
                  .arg(QString::fromLocal8Bit(out), QString::fromLocal8Bit(stderrText()));
    stop(1000);
    return false;
}

int SimProcess::stop(int timeoutMs)
{
    if (!m_process)
        return -1;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(timeoutMs)) {
            m_process->kill();
            m_process->waitForFinished(timeoutMs);
            m_process.reset();
            return -1;
        }
    }
    const int status = m_process->exitStatus() == QProcess::NormalExit ? m_process->exitCode() : -1;
    m_process.reset();
    return status;
}

void SimProcess::powerCycle()
{
    if (running())
        ::kill(static_cast<pid_t>(m_process->processId()), SIGUSR1);
}

QString SimProcess::readyValue(const QString &key) const
{
    const QStringList tokens = m_readyLine.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QString prefix = key + QLatin1Char('=');
    for (const QString &token : tokens)
        if (token.startsWith(prefix))
            return token.mid(prefix.size());
    return {};
}

quint16 SimProcess::udpPort() const
{
    const QString udp = readyValue(QStringLiteral("udp"));
    return static_cast<quint16>(udp.mid(udp.lastIndexOf(QLatin1Char(':')) + 1).toUInt());
}

QByteArray SimProcess::stderrText() const
{
    QFile file(m_stderrPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString SimProcess::uniquePtyPath()
{
    // The serial service locks ports by their base name, so the name is unique
    // across every test program that may run at the same time.
    return m_dir->filePath(QStringLiteral("norvik-sim-%1-%2-%3")
                               .arg(QCoreApplication::applicationPid())
                               .arg(reinterpret_cast<quintptr>(this), 0, 16)
                               .arg(++m_ptyCount));
}

QByteArray SimRequest(int address, int code, const QByteArray &data)
{
    QByteArray frame;
    frame.append(char(0x33)).append(char(address)).append(char(code)).append(char(data.size())).append(data);
    int sum = 0;
    for (char c : frame)
        sum += static_cast<unsigned char>(c);
    return frame.append(char(sum & 0xFF));
}

QByteArray SimJumpRequest(int address)
{
    QByteArray key;
    for (int i = 0; i < 16; ++i)
        key.append(char(i * 0x11));
    return SimRequest(address, 0xE0, key);
}

} // namespace norvik::test
