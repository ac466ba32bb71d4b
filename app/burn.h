#pragma once
// TfrmBurn: the burner's main window. It holds the connection settings, the
// firmware file, the clock inputs and the action buttons, owns the controller
// component C1 through which every controller operation runs, and drives the
// firmware download.
#include "app/MessageBoxes.h"
#include "app/Pictures.h"
#include "firmware/DownloadSequence.h"

#include <QComboBox>
#include <QList>
#include <QStringList>
#include <QWidget>

#include <cstdint>
#include <exception>
#include <functional>

class QCheckBox;
class QDateEdit;
class QFrame;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTimeEdit;
class TController;
struct TControllerInfo;

// The logo: a picture that reports clicks.
class TImage : public norvik::TPicture {
    Q_OBJECT
public:
    explicit TImage(QWidget *parent);

Q_SIGNALS:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
};

namespace norvik {
// A serial port the system reports: the device path the links open, and what
// tells the user which adapter it is.
struct SystemSerialPort {
    QString path;
    QString description;
    QString serialNumber;
};
} // namespace norvik

// The COM list: asks for the system's ports each time it is opened, since
// USB adapters come and go while the window is up.
class TPortComboBox : public QComboBox {
public:
    using QComboBox::QComboBox;
    std::function<void()> aboutToPopup;
    void showPopup() override
    {
        if (aboutToPopup)
            aboutToPopup();
        QComboBox::showPopup();
    }
};

class TfrmBurn : public QWidget, public norvik::DownloadSink {
    Q_OBJECT
public:
    static const QString ApplicationTitle; // "Norvik Controller Firmware Burner"
    static const QString Caption;          // the window's caption

    // arguments as QCoreApplication::arguments() gives them: the program first,
    // then the controller ID and the IP address, both optional.
    explicit TfrmBurn(const QStringList &arguments, norvik::MessageBoxes *boxes = nullptr,
                      QWidget *parent = nullptr);
    ~TfrmBurn() override;

    // --- controls (named as the window's users know them) ------------------
    TImage *Image1 = nullptr;
    QLabel *labStatus = nullptr;
    QProgressBar *ProgressBar1 = nullptr;
    QFrame *Panel2 = nullptr;
    QFrame *Panel1 = nullptr;
    QComboBox *cmbControllerID = nullptr;
    QLineEdit *edtSN = nullptr;
    QLineEdit *edtSerialDelay = nullptr;
    QLineEdit *edtRetrySleep = nullptr;
    QLineEdit *edtRetry = nullptr;
    QRadioButton *rbModem = nullptr;
    QLineEdit *edtPhone = nullptr;
    QRadioButton *rbSerial = nullptr;
    TPortComboBox *ComboBox1 = nullptr;
    QRadioButton *rbTCPIP = nullptr;
    QLineEdit *edtIP = nullptr;
    QLineEdit *edtPort = nullptr;
    QLineEdit *edtPath = nullptr;
    QPushButton *BitBtn1 = nullptr;
    QLabel *labHexInfo = nullptr;
    QDateEdit *dt_date = nullptr;
    QTimeEdit *dt_time = nullptr;
    QCheckBox *CheckBox8 = nullptr;
    QPushButton *btnOK = nullptr;
    QPushButton *btnWriteSNID = nullptr;
    QPushButton *btnCheckVersion = nullptr;
    QPushButton *btnDownload = nullptr;
    QPushButton *btnExit = nullptr;
    QLabel *labVersion = nullptr;

    TController *C1 = nullptr;
    norvik::DownloadSequence *Download = nullptr;

    // The serial ports the system reports now (QSerialPortInfo by default).
    std::function<QList<norvik::SystemSerialPort>()> SystemSerialPorts;

    bool CommandLineMode = false;
    // FormCreate asked the application to end (command-line run finished).
    bool TerminateRequested() const { return m_terminateRequested; }

    // --- behaviour ---------------------------------------------------------
    void ApplySettings();
    void UpdateLinkControls();
    bool CheckHexFileExists();
    // labHexInfo for the file edtPath names: its type code and version,
    // "Invalid Hex File", or empty when no file has that name. With
    // reportErrors a broken information line is also shown in the error box.
    void ShowHexFileInfo(bool reportErrors);
    // A broken record, or a file without records, would leave the controller
    // in its boot loader: refused with the line and the reason before anything
    // is sent. True when the file may go out.
    bool CheckHexFileSound();
    // The work file needs a folder of its own; false (after saying so) when
    // none can be made.
    bool CheckWorkFile();
    // ComboBox1 anew: COM1 to COM10, then the system's ports by device path,
    // the current choice kept.
    void RefreshPortList();
    // Shows the dial-up window until the modem connects or gives up; true when the dial failed.
    bool WaitForDialup(const QString &phoneNumber);
    // Applies the settings, connects and, on the modem, dials. False when the dial failed
    // (already reported and the link closed).
    bool ConnectForCommand();
    // The "&Controller Info" text for a record and an 8-byte serial number area.
    static QString InfoText(const TControllerInfo &info, const std::uint8_t sn[8]);
    // edtSN's key filter: true when the key may reach the field.
    static bool edtSNKeyPress(const QKeyEvent *event);

    // click handlers
    void rbModemClick();
    void Image1Click();
    void BitBtn1Click();
    void btnDownloadClick();
    void btnCheckVersionClick();
    void btnWriteSNIDClick();
    void btnOKClick();
    void CheckBox8Click();
    void btnExitClick();

    // --- DownloadSink ------------------------------------------------------
    void SetStatus(const QString &text) override;
    void SetProgressRange(int minimum, int maximum) override;
    void SetProgress(int position) override;
    void ShowResult(norvik::DownloadOutcome outcome, const QString &text) override;
    void ShowError(const QString &message) override;
    void SetInputEnabled(bool enabled) override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void BuildControls();
    void ApplyStoredSettings();
    void FormCreate(const QStringList &arguments);
    void FormDestroy();
    // A raised error at an action's boundary (the link's and the conversions'
    // errors, and anything else that must not cross the event loop): the error
    // box, or stderr in command-line mode.
    void ShowException(const std::exception &error);
    void DisconnectQuietly();
    void ReportDialFailure();
    // When the serial or modem port did not open or was lost: the status line
    // shows status followed by why (the port's own message), and its tool tip
    // the reason whole. Nothing changes when the port is fine.
    void ShowLinkFault(const QString &status);
    // The frame of the maintenance actions: ConnectForCommand, the action's
    // commands, Disconnect; a raised error is shown and the link closed.
    void RunMaintenanceAction(const std::function<void()> &commands);

    static constexpr int kComNames = 10; // COM1 to COM10 head the COM list

    norvik::MessageBoxes *m_boxes;
    QString m_openDialogDir;
    QString m_lastBrowseDir; // the folder of the last file chosen in this run
    bool m_terminateRequested = false;
    bool m_centred = false;
};
