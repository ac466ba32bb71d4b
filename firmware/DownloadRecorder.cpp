#include "firmware/DownloadRecorder.h"

#include "component/Controller.h"

#include <QAtomicInt>
#include <QFileInfo>

namespace norvik {

namespace {

// One report per process, whichever recorder meets the failure first.
QAtomicInt g_failureReported;

} // namespace

DownloadRecorder::DownloadRecorder(DownloadSequence *sequence, const TController *controller, QObject *parent)
    : QObject(parent), m_sequence(sequence), m_controller(controller)
{
    connect(sequence, &DownloadSequence::started, this, &DownloadRecorder::Started);
    connect(sequence, &DownloadSequence::finished, this,
            [this](DownloadOutcome outcome) {
                if (!m_hold)
                    Close(outcome, m_sequence->ResultText());
            });
}

QString DownloadRecorder::OutcomeText(DownloadOutcome outcome)
{
    switch (outcome) {
    case DownloadOutcome::Success: return QStringLiteral("success");
    case DownloadOutcome::Aborted: return QStringLiteral("interrupted");
    case DownloadOutcome::Failure:
    case DownloadOutcome::ControllerNotFound:
    case DownloadOutcome::Error: break;
    }
    return QStringLiteral("failure");
}

void DownloadRecorder::DescribeLink(const TController &controller, UpgradeRecord *record)
{
    switch (controller.ConnectMethod()) {
    case cmTCPIP:
        record->link = QStringLiteral("network");
        record->address = QStringLiteral("%1:%2").arg(QString::fromStdString(controller.Host())).arg(controller.HostPort());
        break;
    case cmModem:
        record->link = QStringLiteral("modem");
        record->address = QString::fromStdString(controller.COM());
        break;
    case cmSerial:
        record->link = QStringLiteral("serial");
        record->address = QString::fromStdString(controller.COM());
        break;
    }
    record->controllerId = controller.ControllerID();
}

void DownloadRecorder::Started()
{
    m_record = UpgradeRecord{};
    m_record.started = QDateTime::currentDateTime();
    DescribeLink(*m_controller, &m_record);
    const QString path = m_sequence->HexPath();
    m_record.fileName = QFileInfo(path).absoluteFilePath();
    // Hashed now: the file may change on disk before the run ends.
    m_record.fileSha256 = FileSha256(path);
    m_open = true;
}

void DownloadRecorder::Close(DownloadOutcome outcome, const QString &message)
{
    if (!m_open)
        return;
    m_record.ended = m_sequence->EndedAt().isValid() ? m_sequence->EndedAt() : QDateTime::currentDateTime();
    Write(OutcomeText(outcome), message);
}

void DownloadRecorder::Finish(const QString &outcome, const QString &message)
{
    if (!m_open)
        return;
    m_record.ended = QDateTime::currentDateTime();
    Write(outcome, message);
}

void DownloadRecorder::Write(const QString &outcome, const QString &message)
{
    m_open = false;
    m_record.lines = m_sequence->LinesSent();
    m_record.resends = m_sequence->Resends();
    m_record.outcome = outcome;
    m_record.message = message;
    QString error;
    if (!AppendUpgradeRecord(m_record, &error) && g_failureReported.testAndSetRelaxed(0, 1))
        Q_EMIT writeFailed(error);
}

} // namespace norvik
