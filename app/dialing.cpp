#include "app/dialing.h"

#include "app/Pictures.h"
#include "app/SteadyLabel.h"
#include "app/WindowPlacement.h"
#include "component/Controller.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

TfrmDialing::TfrmDialing(TController *c1, QWidget *owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), m_c1(c1)
{
    setObjectName(QStringLiteral("frmDialing"));
    setWindowTitle(QStringLiteral("Dialing"));
    setModal(true);
    setSizeGripEnabled(false);

    // The size its contents need at the desktop's font, fixed: 340 x 122 at
    // the usual font.
    auto *root = new QHBoxLayout(this);
    root->setSizeConstraint(QLayout::SetFixedSize);
    root->setContentsMargins(12, 16, 12, 10);
    root->setSpacing(17);

    auto *pictures = new QVBoxLayout;
    pictures->setSpacing(12);
    root->addLayout(pictures);
    pictures->addWidget(new norvik::TPicture(&norvik::PaintModemPicture, QSize(47, 48), this));
    pictures->addWidget(new norvik::TPicture(&norvik::PaintSignalPicture, QSize(24, 24), this), 0, Qt::AlignHCenter);
    pictures->addStretch(1);

    auto *texts = new QVBoxLayout;
    texts->setSpacing(10);
    root->addLayout(texts, 1);
    auto *numberRow = new QHBoxLayout;
    numberRow->setSpacing(4);
    texts->addLayout(numberRow);
    auto *dialCaption = new QLabel(QStringLiteral("Dialing to"), this);
    dialCaption->setMinimumWidth(70);
    numberRow->addWidget(dialCaption);

    // Fixed width: the number may be long, the window does not follow it.
    labPhoneNumber = new norvik::TSteadyLabel(QString(), QStringLiteral("00000000000000000000"), this);
    labPhoneNumber->setObjectName(QStringLiteral("labPhoneNumber"));
    QFont bold = labPhoneNumber->font();
    bold.setBold(true);
    labPhoneNumber->setFont(bold);
    labPhoneNumber->setMinimumWidth(178);
    numberRow->addWidget(labPhoneNumber, 1);

    labSec = new norvik::TSteadyLabel(QStringLiteral("0"), QStringLiteral("000"), this);
    labSec->setObjectName(QStringLiteral("labSec"));
    texts->addWidget(labSec);
    texts->addSpacerItem(new QSpacerItem(0, 20, QSizePolicy::Minimum, QSizePolicy::Expanding));

    btnCancel = new QPushButton(QStringLiteral("&Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    btnCancel->setMinimumSize(88, 28);
    btnCancel->setAutoDefault(false);
    connect(btnCancel, &QPushButton::clicked, this, &TfrmDialing::btnCancelClick);
    texts->addWidget(btnCancel, 0, Qt::AlignRight);

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
