#include "app/burn.h"

#include "app/DownloadHistory.h"
#include "app/WindowPlacement.h"
#include "app/dialing.h"
#include "common/Errors.h"
#include "common/IntConv.h"
#include "common/Sleeper.h"
#include "component/Controller.h"
#include "firmware/HexCheck.h"
#include "firmware/HexFile.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateEdit>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSerialPortInfo>
#include <QSignalBlocker>
#include <QTimeEdit>

#include <algorithm>
#include <cstdio>

using norvik::BoxIcon;

const QString TfrmBurn::ApplicationTitle = QStringLiteral("Norvik Controller Firmware Burner");
const QString TfrmBurn::Caption = QStringLiteral("Norvik Controller Firmware Burner for Controller v5.X");

namespace {

const QString kQtr = QStringLiteral("QTR");
const QString kNorvik = QStringLiteral("Norvik");
const QString kCredit = QStringLiteral("Norvik Controller Firmware Burner - written by the Norvik service tools team.");

std::string Latin1(const QString &text)
{
    return text.toLatin1().toStdString();
}

QList<norvik::SystemSerialPort> AvailableSerialPorts()
{
    QList<norvik::SystemSerialPort> ports;
    const QList<QSerialPortInfo> available = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : available)
        ports.append({info.systemLocation(), info.description(), info.serialNumber()});
    return ports;
}

} // namespace

// ---------------------------------------------------------------------------
// TfrmBurn: construction

TfrmBurn::TfrmBurn(const QStringList &arguments, norvik::MessageBoxes *boxes, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      SystemSerialPorts(&AvailableSerialPorts),
      m_boxes(boxes ? boxes : norvik::DefaultMessageBoxes())
{
    setObjectName(QStringLiteral("frmBurn"));
    setWindowTitle(Caption);

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
    // Firmware files are the user's, not the program's: the browse dialog
    // starts in the home folder until a file has been chosen.
    m_openDialogDir = QDir::homePath();
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
    const int port = norvik::StrToInt(edtPort->text());
    // A UDP port is 16 bits: a larger number would silently reach another port.
    if (port < 0 || port > 65535)
        throw norvik::EConvertError(
            QStringLiteral("Port: %1 is not a UDP port number. Enter a number from 0 to 65535.").arg(port).toStdString());
    C1->SetHostPort(static_cast<std::uint16_t>(port));
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

void TfrmBurn::RefreshPortList()
{
    const QString current = ComboBox1->currentText();
    const QList<norvik::SystemSerialPort> ports = SystemSerialPorts ? SystemSerialPorts() : QList<norvik::SystemSerialPort>();
    const QSignalBlocker quiet(ComboBox1);
    while (ComboBox1->count() > kComNames)
        ComboBox1->removeItem(kComNames);
    for (const norvik::SystemSerialPort &port : ports) {
        if (port.path.isEmpty() || ComboBox1->findText(port.path) >= 0)
            continue;
        QStringList about;
        if (!port.description.isEmpty())
            about << port.description;
        if (!port.serialNumber.isEmpty())
            about << QStringLiteral("Serial number: %1").arg(port.serialNumber);
        ComboBox1->addItem(port.path);
        ComboBox1->setItemData(ComboBox1->count() - 1, about.join(QLatin1Char('\n')), Qt::ToolTipRole);
    }
    int index = ComboBox1->findText(current);
    if (index < 0 && !current.isEmpty()) {
        // An adapter unplugged while chosen stays the choice: opening it then
        // says it is gone, rather than another port being used unasked.
        ComboBox1->addItem(current);
        index = ComboBox1->count() - 1;
        ComboBox1->setItemData(index, QStringLiteral("Not present now"), Qt::ToolTipRole);
    }
    ComboBox1->setCurrentIndex(std::max(index, 0));
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
    // A bad field ends the action before any link is opened, so there is
    // nothing to close: closing a modem link would block for its escape and
    // hang-up pauses after the error box.
    try {
        ApplySettings();
    } catch (const std::exception &error) {
        ShowException(error);
        Panel2->setEnabled(true);
        return false;
    }
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
    // Start where the current file is, else where the last one was chosen,
    // else in the home folder.
    QString directory = m_lastBrowseDir.isEmpty() ? m_openDialogDir : m_lastBrowseDir;
    if (!edtPath->text().trimmed().isEmpty()) {
        const QFileInfo current(QDir::fromNativeSeparators(edtPath->text().trimmed()));
        if (current.absoluteDir().exists())
            directory = current.absolutePath();
    }
    const QString chosen = m_boxes->OpenFileName(this, QStringLiteral("Open"), directory,
                                                 QStringLiteral("HEX (*.hex);;All files (*)"));
    if (chosen.isEmpty())
        return;
    const QFileInfo file(chosen);
    if (!file.isFile())
        return;
    m_lastBrowseDir = file.absolutePath();
    {
        // Read once below, with the conversion error shown.
        const QSignalBlocker quiet(edtPath);
        edtPath->setText(QDir::toNativeSeparators(file.absoluteFilePath()));
    }
    ShowHexFileInfo(true);
}

void TfrmBurn::ShowHexFileInfo(bool reportErrors)
{
    const QString path = edtPath->text();
    if (path.isEmpty() || !QFileInfo(path).isFile()) {
        labHexInfo->clear();
        return;
    }
    try {
        const norvik::HexFileInfo info = norvik::ReadHexFileInfo(path);
        if (info.ok)
            labHexInfo->setText(QStringLiteral("Hex File Info: Type code = %1, Version = %2")
                                    .arg(info.typeCode, info.version));
        else
            labHexInfo->setText(QStringLiteral("Invalid Hex File"));
    } catch (const std::exception &error) {
        // A broken information line: no type code or version to show. Typing
        // gets no box for it at every key; the browse action and the download
        // say why.
        labHexInfo->setText(QStringLiteral("Invalid Hex File"));
        if (reportErrors)
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

bool TfrmBurn::CheckHexFileSound()
{
    const QString path = edtPath->text();
    norvik::HexCheckResult check;
    try {
        check = norvik::CheckHexFile(path);
    } catch (const std::exception &error) {
        ShowException(error);
        return false;
    }
    const std::optional<norvik::HexProblem> problem = norvik::DownloadRefusal(check);
    if (!problem)
        return true;
    const QString where = problem->line > 0 ? QStringLiteral("HEX File \"%1\" line %2: ").arg(path).arg(problem->line)
                                            : QStringLiteral("HEX File \"%1\": ").arg(path);
    m_boxes->Error(this, kQtr,
                   where + problem->reason +
                       QStringLiteral(".\nNothing was sent to the controller. Choose a sound firmware file."));
    return false;
}

bool TfrmBurn::CheckWorkFile()
{
    if (!Download->WorkFile().isEmpty())
        return true;
    QString why;
    const QString workFile = norvik::WorkFilePath(&why);
    if (workFile.isEmpty()) {
        m_boxes->Error(this, kQtr,
                       QStringLiteral("There is no folder for the work file \"temp.hex\": the program's folder cannot "
                                      "be written and %1.\nNothing was sent to the controller. Make the program's "
                                      "folder writable, or set XDG_RUNTIME_DIR or XDG_CACHE_HOME to a folder of yours.")
                           .arg(why));
        return false;
    }
    Download->SetWorkFile(workFile);
    return true;
}

void TfrmBurn::btnDownloadClick()
{
    if (!CheckHexFileExists())
        return;
    // The file may have changed since its path was typed.
    ShowHexFileInfo(false);
    if (!CheckHexFileSound() || !CheckWorkFile())
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
    // An equal minimum and maximum would put the bar into its endless "busy"
    // animation, which never stops and keeps repainting while idle.
    maximum = std::max(maximum, minimum + 1);
    ProgressBar1->setRange(minimum, maximum);
    if (ProgressBar1->value() != position)
        ProgressBar1->setValue(std::clamp(position, minimum, std::max(minimum, maximum)));
    ProgressBar1->setTextVisible(true);
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
    // The numeric keypad's Enter counts as Enter.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        if (btnDownload->isEnabled() && btnDownload->isVisible()) {
            btnDownload->click();
            return;
        }
    }
    QWidget::keyPressEvent(event);
}
