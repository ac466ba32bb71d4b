#include "app/burn.h"

#include "app/DownloadHistory.h"
#include "app/Pictures.h"
#include "app/WindowPlacement.h"
#include "app/dialing.h"
#include "common/IntConv.h"
#include "common/Sleeper.h"
#include "component/Controller.h"
#include "firmware/HexFile.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateEdit>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QTimeEdit>

#include <algorithm>
#include <cstdio>

using norvik::BoxIcon;

const QString TfrmBurn::ApplicationTitle = QStringLiteral("Norvik Controller Firmware Burner");
const QString TfrmBurn::Caption = QStringLiteral("Norvik Controller Firmware Burner for Controller v5.X");

namespace {

const QString kQtr = QStringLiteral("QTR");
const QString kNorvik = QStringLiteral("Norvik");
const QString kInitialStatus = QStringLiteral(
    "1. Load Hex.  ->  2. Click Download  -> 3. Power Reset controller -> 4. QTR Reset Controller");
const QString kCredit = QStringLiteral("Norvik Controller Firmware Burner - written by the Norvik service tools team.");
const QString kVersionNotice = QStringLiteral(
    "Norvik Controller Firmware Burner v1.2.3  -  For authorised Norvik installers only.");

std::string Latin1(const QString &text)
{
    return text.toLatin1().toStdString();
}

QLabel *AddLabel(QWidget *parent, const QString &text, int x, int y, int w, int h = 22)
{
    auto *label = new QLabel(text, parent);
    label->setGeometry(x, y, w, h);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    return label;
}

QLineEdit *AddEdit(QWidget *parent, const char *name, const QString &text, int x, int y, int w)
{
    auto *edit = new QLineEdit(text, parent);
    edit->setObjectName(QLatin1String(name));
    edit->setGeometry(x, y, w, 22);
    return edit;
}

QPushButton *AddButton(QWidget *parent, const char *name, const QString &text, int x, int y, int w, int h)
{
    auto *button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(x, y, w, h);
    // Enter on a focused button presses that button, as users of this kind of tool expect.
    button->setAutoDefault(true);
    return button;
}

} // namespace

// ---------------------------------------------------------------------------
// TImage

TImage::TImage(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setCursor(Qt::PointingHandCursor);
}

void TImage::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.drawPixmap(0, 0, norvik::PaintLogo(width(), height()));
}

void TImage::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
}

// ---------------------------------------------------------------------------
// TfrmBurn: construction

TfrmBurn::TfrmBurn(const QStringList &arguments, norvik::MessageBoxes *boxes, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      m_boxes(boxes ? boxes : norvik::DefaultMessageBoxes())
{
    setObjectName(QStringLiteral("frmBurn"));
    setWindowTitle(Caption);
    setFixedSize(592, 422);

    BuildControls();

    C1 = new TController(this);
    C1->setObjectName(QStringLiteral("C1"));
    ApplyStoredSettings();

    Download = new norvik::DownloadSequence(C1, this, this);
    norvik::RecordWindowDownloads(this);

    FormCreate(arguments);
}

TfrmBurn::~TfrmBurn()
{
    FormDestroy();
}

void TfrmBurn::BuildControls()
{
    // Header: stays usable while a download locks the input panel.
    Image1 = new TImage(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(8, 6, 48, 48);
    connect(Image1, &TImage::clicked, this, &TfrmBurn::Image1Click);

    QLabel *statusCaption = AddLabel(this, QStringLiteral("Status:"), 64, 4, 80, 18);
    QFont bold = statusCaption->font();
    bold.setBold(true);
    statusCaption->setFont(bold);

    labStatus = AddLabel(this, kInitialStatus, 64, 20, 520, 18);
    labStatus->setObjectName(QStringLiteral("labStatus"));
    QPalette maroon = labStatus->palette();
    maroon.setColor(QPalette::WindowText, QColor(0x80, 0x00, 0x00));
    labStatus->setPalette(maroon);
    // The first instruction is the longest text the line shows; keep it whole.
    QFont statusFont = labStatus->font();
    while (QFontMetrics(statusFont).horizontalAdvance(kInitialStatus) > labStatus->width() &&
           statusFont.pointSizeF() > 6)
        statusFont.setPointSizeF(statusFont.pointSizeF() - 0.5);
    labStatus->setFont(statusFont);

    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setGeometry(64, 40, 520, 14);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);

    // Everything else sits in Panel2, which a download disables as a whole.
    Panel2 = new QFrame(this);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Panel2->setFrameShape(QFrame::NoFrame);
    Panel2->setGeometry(0, 60, 592, 362);

    Panel1 = new QFrame(Panel2);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameShape(QFrame::StyledPanel);
    Panel1->setFrameShadow(QFrame::Raised);
    Panel1->setGeometry(8, 2, 576, 128);

    // Left column: controller and link pacing.
    AddLabel(Panel1, QStringLiteral("ControllerID:"), 10, 8, 90);
    cmbControllerID = new QComboBox(Panel1);
    cmbControllerID->setObjectName(QStringLiteral("cmbControllerID"));
    cmbControllerID->setGeometry(104, 8, 70, 22);
    cmbControllerID->setEditable(false);
    for (int id = 1; id <= 128; ++id)
        cmbControllerID->addItem(QString::number(id));
    cmbControllerID->setCurrentIndex(0);

    AddLabel(Panel1, QStringLiteral("Controller SN:"), 10, 36, 90);
    edtSN = AddEdit(Panel1, "edtSN", QString(), 104, 36, 110);
    edtSN->setMaxLength(8);
    edtSN->installEventFilter(this);

    AddLabel(Panel1, QStringLiteral("Delay"), 10, 64, 90);
    edtSerialDelay = AddEdit(Panel1, "edtSerialDelay", QStringLiteral("200"), 104, 64, 60);

    AddLabel(Panel1, QStringLiteral("Retry Sleep:"), 10, 92, 90);
    edtRetrySleep = AddEdit(Panel1, "edtRetrySleep", QStringLiteral("20"), 104, 92, 60);
    AddLabel(Panel1, QStringLiteral("Retry"), 176, 92, 40);
    edtRetry = AddEdit(Panel1, "edtRetry", QStringLiteral("20"), 216, 92, 60);

    // Right column: the link and its address.
    rbModem = new QRadioButton(QStringLiteral("Modem"), Panel1);
    rbModem->setObjectName(QStringLiteral("rbModem"));
    rbModem->setGeometry(300, 8, 80, 22);
    AddLabel(Panel1, QStringLiteral("Phone#"), 384, 8, 50);
    edtPhone = AddEdit(Panel1, "edtPhone", QString(), 436, 8, 130);

    rbSerial = new QRadioButton(QStringLiteral("Serial"), Panel1);
    rbSerial->setObjectName(QStringLiteral("rbSerial"));
    rbSerial->setGeometry(300, 36, 80, 22);
    rbSerial->setChecked(true);
    AddLabel(Panel1, QStringLiteral("COM:"), 384, 36, 50);
    ComboBox1 = new QComboBox(Panel1);
    ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
    ComboBox1->setGeometry(436, 36, 130, 22);
    ComboBox1->setEditable(false);
    // The link maps each "COMn" to a device of this machine (NORVIK_COMn, else ttyS(n-1)).
    for (int n = 1; n <= 10; ++n)
        ComboBox1->addItem(QStringLiteral("COM%1").arg(n));
    ComboBox1->setCurrentIndex(0);

    rbTCPIP = new QRadioButton(QStringLiteral("Network"), Panel1);
    rbTCPIP->setObjectName(QStringLiteral("rbTCPIP"));
    rbTCPIP->setGeometry(300, 64, 80, 22);
    AddLabel(Panel1, QStringLiteral("IP:"), 384, 64, 50);
    edtIP = AddEdit(Panel1, "edtIP", QString(), 436, 64, 130);
    AddLabel(Panel1, QStringLiteral("Port:"), 384, 92, 50);
    edtPort = AddEdit(Panel1, "edtPort", QStringLiteral("1001"), 436, 92, 60);

    // The three link buttons share one parent, so exactly one is checked.
    for (QRadioButton *rb : {rbModem, rbSerial, rbTCPIP})
        connect(rb, &QRadioButton::clicked, this, &TfrmBurn::rbModemClick);

    // Firmware file.
    AddLabel(Panel2, QStringLiteral("Path:"), 16, 138, 40);
    edtPath = AddEdit(Panel2, "edtPath", QString(), 60, 138, 486);
    BitBtn1 = AddButton(Panel2, "BitBtn1", QString(), 552, 136, 30, 26);
    BitBtn1->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    BitBtn1->setToolTip(QStringLiteral("Browse for a HEX file"));
    connect(BitBtn1, &QPushButton::clicked, this, &TfrmBurn::BitBtn1Click);

    labHexInfo = AddLabel(Panel2, QString(), 60, 164, 522, 18);
    labHexInfo->setObjectName(QStringLiteral("labHexInfo"));
    labHexInfo->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QPalette green = labHexInfo->palette();
    green.setColor(QPalette::WindowText, QColor(0x00, 0x80, 0x00));
    labHexInfo->setPalette(green);

    // Clock.
    AddLabel(Panel2, QStringLiteral("Date:"), 16, 192, 40);
    dt_date = new QDateEdit(Panel2);
    dt_date->setObjectName(QStringLiteral("dt_date"));
    dt_date->setGeometry(60, 192, 110, 22);
    dt_date->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    dt_date->setCalendarPopup(true);

    AddLabel(Panel2, QStringLiteral("Time:"), 184, 192, 40);
    dt_time = new QTimeEdit(Panel2);
    dt_time->setObjectName(QStringLiteral("dt_time"));
    dt_time->setGeometry(224, 192, 96, 22);
    dt_time->setDisplayFormat(QStringLiteral("HH:mm:ss"));

    CheckBox8 = new QCheckBox(QStringLiteral("Sync &PC"), Panel2);
    CheckBox8->setObjectName(QStringLiteral("CheckBox8"));
    CheckBox8->setGeometry(334, 192, 90, 22);
    connect(CheckBox8, &QCheckBox::toggled, this, &TfrmBurn::CheckBox8Click);

    btnOK = AddButton(Panel2, "btnOK", QStringLiteral("Set Clock"), 436, 189, 146, 28);
    connect(btnOK, &QPushButton::clicked, this, &TfrmBurn::btnOKClick);

    // Actions.
    btnWriteSNID = AddButton(Panel2, "btnWriteSNID", QStringLiteral("Write SN + ID"), 16, 236, 134, 38);
    connect(btnWriteSNID, &QPushButton::clicked, this, &TfrmBurn::btnWriteSNIDClick);

    btnCheckVersion = AddButton(Panel2, "btnCheckVersion", QStringLiteral("&Controller Info"), 158, 236, 134, 38);
    btnCheckVersion->setIcon(style()->standardIcon(QStyle::SP_MessageBoxInformation));
    connect(btnCheckVersion, &QPushButton::clicked, this, &TfrmBurn::btnCheckVersionClick);

    btnDownload = AddButton(Panel2, "btnDownload", QStringLiteral("&Download"), 300, 236, 134, 38);
    btnDownload->setIcon(style()->standardIcon(QStyle::SP_ArrowDown));
    btnDownload->setDefault(true);
    connect(btnDownload, &QPushButton::clicked, this, &TfrmBurn::btnDownloadClick);

    btnExit = AddButton(Panel2, "btnExit", QStringLiteral("E&xit"), 442, 236, 134, 38);
    btnExit->setIcon(style()->standardIcon(QStyle::SP_DialogCloseButton));
    connect(btnExit, &QPushButton::clicked, this, &TfrmBurn::btnExitClick);

    labVersion = AddLabel(Panel2, kVersionNotice, 16, 330, 566, 18);
    labVersion->setObjectName(QStringLiteral("labVersion"));
    labVersion->setEnabled(false);
}

void TfrmBurn::ApplyStoredSettings()
{
    // The values stored with the window, in the component's property order.
    C1->SetDialTimeOut(90000);
    C1->SetConnectMethod(cmSerial);
    C1->SetControllerID(1);
    // A typical site LAN address; every action overwrites it from edtIP first.
    C1->SetHost("192.168.1.100");
    C1->SetHostPort(1001);
    C1->SetCOM("COM1");
    C1->SetReadTimeOut(100);
    C1->SetRetrySleep(100);
    C1->SetSendAfterSleep(0);
    C1->SetRetryTime(5);
    C1->SetDebugMode(false);
    C1->SetCardBytes(cbNormal);
}

void TfrmBurn::FormCreate(const QStringList &arguments)
{
    m_openDialogDir = QCoreApplication::applicationDirPath() + QLatin1Char('/');
    CommandLineMode = false;

    for (int i = 1; i < arguments.size() && i <= 2; ++i) {
        const QString &argument = arguments.at(i);
        if (i == 1) {
            if (const auto id = norvik::TryStrToInt(Latin1(argument.trimmed()))) {
                CommandLineMode = true;
                const int index = cmbControllerID->findText(QString::number(*id));
                if (index >= 0)
                    cmbControllerID->setCurrentIndex(index);
            }
        } else {
            CommandLineMode = true;
            edtIP->setText(argument);
        }
    }

    const QDateTime now = QDateTime::currentDateTime();
    dt_date->setDate(now.date());
    dt_time->setTime(now.time());

    if (CommandLineMode) {
        rbTCPIP->setChecked(true);
        rbModemClick();
        btnCheckVersionClick();
        btnCheckVersionClick();
        m_terminateRequested = true;
    }
}

void TfrmBurn::FormDestroy()
{
    // The work file of this window's downloads ("temp.hex" beside the program).
    const QString workFile = Download ? Download->WorkFile() : norvik::WorkFilePath();
    if (QFileInfo::exists(workFile))
        QFile::remove(workFile);
}

void TfrmBurn::showEvent(QShowEvent *event)
{
    if (!m_centred) {
        m_centred = true;
        norvik::CentreOnScreen(this);
    }
    QWidget::showEvent(event);
}

// ---------------------------------------------------------------------------
// Settings and links

void TfrmBurn::ApplySettings()
{
    // The link is switched last: the retry values go to the link that is
    // current before the switch.
    C1->SetCOM(Latin1(ComboBox1->currentText()));
    C1->SetHost(Latin1(edtIP->text()));
    C1->SetHostPort(static_cast<std::uint16_t>(norvik::StrToInt(edtPort->text())));
    C1->SetReadTimeOut(norvik::StrToInt(edtSerialDelay->text()));
    C1->SetRetryTime(norvik::StrToInt(edtRetry->text()));
    C1->SetRetrySleep(norvik::StrToInt(edtRetrySleep->text()));
    C1->SetControllerID(static_cast<std::uint8_t>(norvik::StrToInt(cmbControllerID->currentText())));
    if (rbModem->isChecked())
        C1->SetConnectMethod(cmModem);
    else if (rbSerial->isChecked())
        C1->SetConnectMethod(cmSerial);
    else if (rbTCPIP->isChecked())
        C1->SetConnectMethod(cmTCPIP);
}

void TfrmBurn::UpdateLinkControls()
{
    const bool modem = rbModem->isChecked();
    const bool network = rbTCPIP->isChecked();
    edtPhone->setEnabled(modem);
    ComboBox1->setEnabled(!network);
    edtIP->setEnabled(network);
    edtPort->setEnabled(network);
}

void TfrmBurn::rbModemClick()
{
    UpdateLinkControls();
}

bool TfrmBurn::WaitForDialup(const QString &phoneNumber)
{
    auto *dialing = new TfrmDialing(C1, this);
    dialing->labPhoneNumber->setText(phoneNumber);
    dialing->exec();
    const bool failed = dialing->DialFailed;
    delete dialing;
    return failed;
}

void TfrmBurn::ReportDialFailure()
{
    labStatus->setText(QStringLiteral("Dialup fail."));
    ShowLinkFault(labStatus->text());
    m_boxes->Error(this, kQtr, QStringLiteral("Dialup fail."));
    Panel2->setEnabled(true);
    DisconnectQuietly();
}

void TfrmBurn::ShowLinkFault(const QString &status)
{
    const QString fault = QString::fromLatin1(C1->LinkFault());
    if (fault.isEmpty())
        return;
    labStatus->setText(status.isEmpty() ? fault : status + QStringLiteral("  ") + fault);
    labStatus->setToolTip(fault);
}

bool TfrmBurn::ConnectForCommand()
{
    ApplySettings();
    const bool linked = C1->Connect();
    // The commands still run and fail by their own texts; the status line
    // says why beforehand.
    ShowLinkFault(QString());
    if (C1->ConnectMethod() == cmModem) {
        // A modem on a port that did not open never answers a dial: no
        // dial-up window to wait out, the dial has failed already.
        if (!linked) {
            ReportDialFailure();
            return false;
        }
        const QString phone = edtPhone->text();
        C1->Dial(Latin1(phone));
        if (WaitForDialup(phone)) {
            ReportDialFailure();
            return false;
        }
    }
    return true;
}

void TfrmBurn::DisconnectQuietly()
{
    // Closing the link after a failure must not hide the failure itself.
    try {
        C1->Disconnect();
    } catch (const std::exception &error) {
        if (CommandLineMode)
            std::fprintf(stderr, "%s\n", error.what());
    }
}

void TfrmBurn::ShowException(const std::exception &error)
{
    ShowError(QString::fromLatin1(error.what()));
}

// ---------------------------------------------------------------------------
// Header and file

void TfrmBurn::Image1Click()
{
    labStatus->setText(kCredit);
}

void TfrmBurn::BitBtn1Click()
{
    const QString chosen =
        m_boxes->OpenFileName(this, QStringLiteral("Open"), m_openDialogDir, QStringLiteral("HEX (*.hex)"));
    if (chosen.isEmpty())
        return;
    const QFileInfo file(chosen);
    if (!file.isFile())
        return;
    edtPath->setText(QDir::toNativeSeparators(file.absoluteFilePath()));
    try {
        const norvik::HexFileInfo info = norvik::ReadHexFileInfo(edtPath->text());
        if (info.ok)
            labHexInfo->setText(QStringLiteral("Hex File Info: Type code = %1, Version = %2")
                                    .arg(info.typeCode, info.version));
        else
            labHexInfo->setText(QStringLiteral("Invalid Hex File"));
    } catch (const std::exception &error) {
        ShowException(error);
    }
}

bool TfrmBurn::CheckHexFileExists()
{
    if (QFileInfo(edtPath->text()).isFile())
        return true;
    m_boxes->Error(this, kQtr, QStringLiteral("HEX File \"%1\" not found.").arg(edtPath->text()));
    return false;
}

// ---------------------------------------------------------------------------
// Download

void TfrmBurn::btnDownloadClick()
{
    if (!CheckHexFileExists())
        return;
    const QString question = QStringLiteral("Please Terminate ALL program. Doors on \"Controller %1\" will not "
                                            "function during upgrade (3~10 minute). All information on controller "
                                            "will be loss. Are you sure?")
                                 .arg(cmbControllerID->currentText());
    if (!m_boxes->Question(this, kQtr, BoxIcon::Information, question))
        return;

    Panel2->setEnabled(false);
    try {
        // A failed dial has already given the panel back and closed the link.
        if (ConnectForCommand())
            Download->Start(edtPath->text());
    } catch (const std::exception &error) {
        ShowException(error);
        Panel2->setEnabled(true);
        DisconnectQuietly();
    }
}

void TfrmBurn::SetStatus(const QString &text)
{
    labStatus->setText(text);
}

void TfrmBurn::SetProgressRange(int minimum, int maximum)
{
    // The bar keeps its position until the first acknowledgement; a shorter
    // file than last time must not blank it.
    const int position = ProgressBar1->value();
    ProgressBar1->setRange(minimum, maximum);
    if (ProgressBar1->value() != position)
        ProgressBar1->setValue(std::clamp(position, minimum, std::max(minimum, maximum)));
}

void TfrmBurn::SetProgress(int position)
{
    ProgressBar1->setValue(position);
}

void TfrmBurn::ShowResult(norvik::DownloadOutcome outcome, const QString &text)
{
    const BoxIcon icon = outcome == norvik::DownloadOutcome::Success ? BoxIcon::Information : BoxIcon::Error;
    if (outcome != norvik::DownloadOutcome::Success)
        ShowLinkFault(labStatus->text());
    m_boxes->Show(this, kQtr, icon, norvik::BoxButtons::Ok, text);
}

void TfrmBurn::ShowError(const QString &message)
{
    if (CommandLineMode) {
        // A command-line run must never wait for a person.
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
        std::fflush(stderr);
        return;
    }
    m_boxes->Critical(this, ApplicationTitle, message);
}

void TfrmBurn::SetInputEnabled(bool enabled)
{
    Panel2->setEnabled(enabled);
}

// ---------------------------------------------------------------------------
// Maintenance actions

QString TfrmBurn::InfoText(const TControllerInfo &info, const std::uint8_t sn[8])
{
    // The serial number's bytes are characters; a zero byte ends the text as
    // the message box would show it.
    QString snText;
    for (int i = 0; i < 8 && sn[i] != 0; ++i)
        snText += QChar(static_cast<char16_t>(sn[i]));
    const QString separator = QStringLiteral("\n\r");
    QStringList lines;
    lines << QStringLiteral("Info:")
          << QStringLiteral("   Version: %1.%2").arg(info.Version >> 8).arg(info.Version & 0xFF)
          << QStringLiteral("   Type code: %1").arg(info.TypeCode)
          << QStringLiteral("   CardMax: %1").arg(info.CardMax)
          << QStringLiteral("   SortCardCount: %1").arg(info.SortCardCount)
          << QStringLiteral("   UnsortCardCount: %1").arg(info.UnsortCardCount)
          << QStringLiteral("   RecordMax: %1").arg(info.RecordMax)
          << QStringLiteral("   RecordCount: %1").arg(info.RecordCount) << QStringLiteral("   SN: ") + snText;
    return lines.join(separator);
}

void TfrmBurn::RunMaintenanceAction(const std::function<void()> &commands)
{
    try {
        if (!ConnectForCommand())
            return;
        commands();
        ShowLinkFault(QString()); // a port lost during the commands
        C1->Disconnect();
    } catch (const std::exception &error) {
        ShowException(error);
        DisconnectQuietly();
    }
}

void TfrmBurn::btnCheckVersionClick()
{
    RunMaintenanceAction([this] {
        TControllerInfo info;
        if (C1->GetControllerInfo(info)) {
            std::uint8_t sn[8] = {0, 0, 0, 0, 0, 0, 0, 0};
            C1->GetControllerSN(sn);
            const QString text = InfoText(info, sn);
            if (!CommandLineMode)
                m_boxes->Information(this, kNorvik, text);
        } else if (!CommandLineMode) {
            m_boxes->Error(this, kNorvik, QStringLiteral("Controller not found"));
        }
    });
}

void TfrmBurn::btnWriteSNIDClick()
{
    const QString sn = edtSN->text();
    // Eight characters that each travel as one byte; anything else cannot be
    // a controller's serial number.
    if (sn.length() != 8 || QString::fromLatin1(sn.toLatin1()) != sn) {
        m_boxes->Error(this, kQtr, QStringLiteral("ERROR: Please Input Controller SN."));
        return;
    }
    RunMaintenanceAction([this, &sn] {
        const int id = norvik::StrToInt(cmbControllerID->currentText());
        C1->SendSetControllerSN(Latin1(sn), static_cast<unsigned>(id));
        norvik::Sleep(300);
        const int answer = C1->SendReadControllerID(Latin1(sn));
        const QString idText = cmbControllerID->currentText();
        const QString text = (answer == id ? QStringLiteral("OK: Set SN=%1 ID=%2")
                                           : QStringLiteral("FAIL: Set SN=%1 ID=%2"))
                                 .arg(sn, idText);
        m_boxes->Information(this, kNorvik, text);
    });
}

void TfrmBurn::btnOKClick()
{
    RunMaintenanceAction([this] {
        const QDateTime when(dt_date->date(), dt_time->time());
        const int r = C1->SendTime(when);
        const QString idText = cmbControllerID->currentText();
        m_boxes->Information(this, kNorvik,
                             (r == 1 ? QStringLiteral("OK - Set Clock on ID: %1")
                                     : QStringLiteral("FAIL - Set Clock on ID: %1"))
                                 .arg(idText));
        norvik::Sleep(300);
    });
}

void TfrmBurn::CheckBox8Click()
{
    const bool sync = CheckBox8->isChecked();
    dt_time->setEnabled(!sync);
    dt_date->setEnabled(!sync);
    const QDateTime now = QDateTime::currentDateTime();
    dt_time->setTime(now.time());
    dt_date->setDate(now.date());
}

void TfrmBurn::btnExitClick()
{
    QCoreApplication::quit();
}

// ---------------------------------------------------------------------------
// Keys

bool TfrmBurn::edtSNKeyPress(const QKeyEvent *event)
{
    if (event->key() == Qt::Key_Backspace)
        return true;
    if (event->matches(QKeySequence::Paste) || event->matches(QKeySequence::Copy))
        return true;
    const QString text = event->text();
    // Keys that type no character (arrows, Delete, Home, Tab, Enter ...) are
    // editing and navigation, not input.
    if (text.isEmpty())
        return true;
    switch (event->key()) {
    case Qt::Key_Delete:
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_Home:
    case Qt::Key_End:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
        return true;
    default:
        break;
    }
    const bool plain = !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
    return plain && text.size() == 1 && text.at(0) >= QLatin1Char('0') && text.at(0) <= QLatin1Char('9');
}

bool TfrmBurn::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == edtSN && event->type() == QEvent::KeyPress) {
        if (!edtSNKeyPress(static_cast<QKeyEvent *>(event)))
            return true; // rejected: the field never sees it
    }
    return QWidget::eventFilter(watched, event);
}

void TfrmBurn::keyPressEvent(QKeyEvent *event)
{
    // "&Download" is the window's default button: Enter anywhere that does not
    // use it itself activates it.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && event->modifiers() == Qt::NoModifier) {
        if (btnDownload->isEnabled() && btnDownload->isVisible()) {
            btnDownload->click();
            return;
        }
    }
    QWidget::keyPressEvent(event);
}
