#include "app/dialing.h"

#include "app/Pictures.h"
#include "app/WindowPlacement.h"
#include "component/Controller.h"

#include <QLabel>
#include <QPushButton>

TfrmDialing::TfrmDialing(TController *c1, QWidget *owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), m_c1(c1)
{
    setObjectName(QStringLiteral("frmDialing"));
    setWindowTitle(QStringLiteral("Dialing"));
    setFixedSize(340, 122);
    setModal(true);
    setSizeGripEnabled(false);

    auto *bigPicture = new QLabel(this);
    bigPicture->setGeometry(12, 16, 47, 48);
    bigPicture->setPixmap(norvik::PaintModemPicture(47, 48));
    bigPicture->setAttribute(Qt::WA_TranslucentBackground);
    auto *smallPicture = new QLabel(this);
    smallPicture->setGeometry(24, 76, 24, 24);
    smallPicture->setPixmap(norvik::PaintSignalPicture(24, 24));
    smallPicture->setAttribute(Qt::WA_TranslucentBackground);

    auto *caption = new QLabel(QStringLiteral("Dialing to"), this);
    caption->setGeometry(76, 16, 70, 18);

    labPhoneNumber = new QLabel(this);
    labPhoneNumber->setObjectName(QStringLiteral("labPhoneNumber"));
    labPhoneNumber->setGeometry(150, 16, 176, 18);
    QFont bold = labPhoneNumber->font();
    bold.setBold(true);
    labPhoneNumber->setFont(bold);

    labSec = new QLabel(QStringLiteral("0"), this);
    labSec->setObjectName(QStringLiteral("labSec"));
    labSec->setGeometry(76, 44, 60, 18);

    btnCancel = new QPushButton(QStringLiteral("&Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    btnCancel->setGeometry(240, 84, 88, 28);
    btnCancel->setAutoDefault(false);
    connect(btnCancel, &QPushButton::clicked, this, &TfrmDialing::btnCancelClick);

    Timer1.setObjectName(QStringLiteral("Timer1"));
    Timer1.setInterval(1000);
    Timer1.setSingleShot(false);
    connect(&Timer1, &QTimer::timeout, this, &TfrmDialing::Timer1Timer);

    FormCreate();
}

TfrmDialing::~TfrmDialing() = default;

void TfrmDialing::FormCreate()
{
    SecondsElapsed = 0;
    DialFailed = false;
    Timer1.start();
}

void TfrmDialing::Timer1Timer()
{
    Timer1.stop();
    ++SecondsElapsed;
    labSec->setText(QString::number(SecondsElapsed));
    const TDialupStatus status = m_c1->DialupStatus();
    if (status == usConnecting) {
        Timer1.start();
        return;
    }
    // Busy, no carrier, no answer, no dial tone, an error, an unexpected RING
    // or OK, and the dial time-out all leave the controller out of reach.
    DialFailed = status != usConnected;
    Finish();
}

void TfrmDialing::btnCancelClick()
{
    // The modem keeps dialing; the caller's Disconnect hangs it up.
    DialFailed = true;
    Finish();
}

void TfrmDialing::reject()
{
    btnCancelClick();
}

void TfrmDialing::showEvent(QShowEvent *event)
{
    if (!m_centred) {
        m_centred = true;
        norvik::CentreOnScreen(this);
    }
    QDialog::showEvent(event);
}

void TfrmDialing::Finish()
{
    Timer1.stop();
    // done() rather than close(): closing would run reject() and turn a good
    // connection into a cancel.
    QDialog::done(DialFailed ? QDialog::Rejected : QDialog::Accepted);
}
