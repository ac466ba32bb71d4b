// The main window: its start-up state, the link buttons, the settings it
// copies into its component, the SN key filter, the clock pickers, the file
// choice and the first steps of a download.
#include "app/burn.h"
#include "common/Errors.h"
#include "component/Controller.h"
#include "component/MODEM.h"
#include "component/TCPIP.h"
#include "component/UART.h"
#include "firmware/HexFile.h"
#include "tests/gui/FirmwareFile.h"
#include "tests/gui/ScriptedController.h"
#include "tests/support/RecordingMessageBoxes.h"
#include "tests/support/Pty.h"
#include "tests/support/RecordingSleeper.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QTest>
#include <QTimeEdit>

#include <gtest/gtest.h>

#include <memory>

using norvik::BoxButtons;
using norvik::BoxIcon;
using norvik::test::Box;
using norvik::test::RecordingMessageBoxes;

namespace {

const QString kProgram = QStringLiteral("norvik-burner");

struct Window {
    RecordingMessageBoxes boxes;
    std::unique_ptr<TfrmBurn> form;
    explicit Window(QStringList args = {kProgram}) : form(std::make_unique<TfrmBurn>(args, &boxes)) {}
    TfrmBurn *operator->() { return form.get(); }
};

QStringList LinkFieldStates(TfrmBurn &w)
{
    auto s = [](QWidget *x) { return x->isEnabled() ? QStringLiteral("on") : QStringLiteral("off"); };
    return {s(w.edtPhone), s(w.ComboBox1), s(w.edtIP), s(w.edtPort)};
}

} // namespace

TEST(BurnWindow, StartsWithTheStoredDefaults)
{
    Window w;
    EXPECT_FALSE(w->CommandLineMode);

    EXPECT_TRUE(w->rbSerial->isChecked());
    EXPECT_FALSE(w->rbModem->isChecked());
    EXPECT_FALSE(w->rbTCPIP->isChecked());
    EXPECT_EQ(w->cmbControllerID->count(), 128);
    EXPECT_EQ(w->cmbControllerID->itemText(0), "1");
    EXPECT_EQ(w->cmbControllerID->itemText(127), "128");
    EXPECT_EQ(w->cmbControllerID->currentText(), "1");
    ASSERT_GE(w->ComboBox1->count(), 10); // the system's own ports follow
    for (int n = 1; n <= 10; ++n)
        EXPECT_EQ(w->ComboBox1->itemText(n - 1), QStringLiteral("COM%1").arg(n));
    EXPECT_EQ(w->ComboBox1->currentText(), "COM1");

    EXPECT_EQ(w->edtSerialDelay->text(), "200");
    EXPECT_EQ(w->edtRetrySleep->text(), "20");
    EXPECT_EQ(w->edtRetry->text(), "20");
    EXPECT_EQ(w->edtPort->text(), "1001");
    for (QLineEdit *empty : {w->edtPhone, w->edtIP, w->edtSN, w->edtPath})
        EXPECT_TRUE(empty->text().isEmpty()) << empty->objectName().toStdString();
    EXPECT_EQ(w->edtSN->maxLength(), 8);
    EXPECT_TRUE(w->labHexInfo->text().isEmpty());
    EXPECT_EQ(w->labStatus->text(), QStringLiteral("1. Load Hex.  ->  2. Click Download  -> 3. Power Reset "
                                                   "controller -> 4. QTR Reset Controller"));
    EXPECT_EQ(w->ProgressBar1->value(), 0);
    EXPECT_FALSE(w->CheckBox8->isChecked());

    // The pickers hold "now".
    EXPECT_EQ(w->dt_date->date(), QDate::currentDate());
    EXPECT_LE(std::abs(w->dt_time->time().secsTo(QTime::currentTime())), 2);

    // The link rule has not run yet: all four fields are usable.
    EXPECT_EQ(LinkFieldStates(*w.form), QStringList({"on", "on", "on", "on"}));

    // The header stays outside the panel that a download locks; Panel1 sits inside it.
    for (QWidget *header : {static_cast<QWidget *>(w->Image1), static_cast<QWidget *>(w->labStatus),
                            static_cast<QWidget *>(w->ProgressBar1)})
        EXPECT_FALSE(w->Panel2->isAncestorOf(header)) << header->objectName().toStdString();
    EXPECT_TRUE(w->Panel2->isAncestorOf(w->Panel1));
    EXPECT_TRUE(w->Panel2->isAncestorOf(w->btnExit));
    EXPECT_TRUE(w->Panel1->isAncestorOf(w->rbTCPIP));

    // The component carries the window's stored settings.
    EXPECT_EQ(w->C1->DialTimeOut(), 90000u);
    EXPECT_EQ(w->C1->ConnectMethod(), cmSerial);
    EXPECT_EQ(w->C1->ControllerID(), 1);
    EXPECT_EQ(w->C1->HostPort(), 1001);
    EXPECT_EQ(w->C1->COM(), "COM1");
    EXPECT_EQ(w->C1->ReadTimeOut(), 100);
    EXPECT_EQ(w->C1->RetrySleep(), 100);
    EXPECT_EQ(w->C1->RetryTime(), 5);
    EXPECT_EQ(w->C1->SendAfterSleep(), 0);
    EXPECT_FALSE(w->C1->DebugMode());
    EXPECT_EQ(w->C1->CardBytes(), cbNormal);
    EXPECT_TRUE(w.boxes.boxes.empty());
}

TEST(BurnWindow, LinkButtonsEnableTheirFields)
{
    Window w;
    w->rbTCPIP->click();
    EXPECT_TRUE(w->rbTCPIP->isChecked());
    EXPECT_EQ(LinkFieldStates(*w.form), QStringList({"off", "off", "on", "on"}));
    w->rbModem->click();
    EXPECT_TRUE(w->rbModem->isChecked());
    EXPECT_FALSE(w->rbTCPIP->isChecked());
    EXPECT_EQ(LinkFieldStates(*w.form), QStringList({"on", "on", "off", "off"}));
    w->rbSerial->click();
    EXPECT_EQ(LinkFieldStates(*w.form), QStringList({"off", "on", "off", "off"}));
    // Clicking the already checked button runs the rule as well.
    w->rbSerial->click();
    EXPECT_TRUE(w->rbSerial->isChecked());
    EXPECT_EQ(LinkFieldStates(*w.form), QStringList({"off", "on", "off", "off"}));
    // The link is not changed in the component until an action applies the settings.
    EXPECT_EQ(w->C1->ConnectMethod(), cmSerial);
}

TEST(BurnWindow, ApplySettingsCopiesInOrderAndStopsAtTheFirstBadField)
{
    struct Case {
        const char *badField; // none: every field converts
        int applied;          // how many of port, delay, retry, retry sleep reached C1 before the bad one
    };
    for (const Case &c : {Case{"edtPort", 0}, Case{"edtSerialDelay", 1}, Case{"edtRetry", 2},
                          Case{"edtRetrySleep", 3}, Case{nullptr, 4}}) {
        SCOPED_TRACE(c.badField ? c.badField : "none");
        Window w;
        w->ComboBox1->setCurrentIndex(4);
        w->edtIP->setText(" 127.0.0.9");
        w->edtPort->setText("2002");
        w->edtSerialDelay->setText("333");
        w->edtRetry->setText("9");
        w->edtRetrySleep->setText("44");
        w->cmbControllerID->setCurrentIndex(6);
        w->rbTCPIP->click();
        if (c.badField) {
            w->findChild<QLineEdit *>(QString::fromLatin1(c.badField))->setText("12 ");
            try {
                w->ApplySettings();
                ADD_FAILURE() << "no conversion error";
            } catch (const norvik::EConvertError &e) {
                EXPECT_STREQ(e.what(), "'12 ' is not a valid integer value");
            }
        } else {
            w->ApplySettings();
        }
        // COM (to the serial and the modem link) and Host (unchanged) come first and always arrive.
        EXPECT_EQ(w->C1->SerialLink()->COM(), "COM5");
        EXPECT_EQ(w->C1->ModemLink()->COM(), "COM5");
        EXPECT_EQ(w->C1->Host(), " 127.0.0.9");
        EXPECT_EQ(w->C1->HostPort(), c.applied >= 1 ? 2002 : 1001);
        EXPECT_EQ(w->C1->NetworkLink()->ReadTimeOut(), c.applied >= 2 ? 333 : 100);
        // The retry values go to the link current before the switch, which comes last.
        EXPECT_EQ(w->C1->SerialLink()->RetryTime, c.applied >= 3 ? 9 : 5);
        EXPECT_EQ(w->C1->SerialLink()->RetrySleep, c.applied >= 4 ? 44 : 100);
        EXPECT_EQ(w->C1->NetworkLink()->RetryTime, 5);
        EXPECT_EQ(w->C1->ControllerID(), c.applied >= 4 ? 7 : 1);
        EXPECT_EQ(w->C1->ConnectMethod(), c.applied >= 4 ? cmTCPIP : cmSerial);
    }
}

TEST(BurnWindow, RetryValuesReachANewLinkOnlyFromItsSecondOperation)
{
    norvik::test::RecordingSleeper sleeper;
    Window w;
    w->edtRetry->setText("3");
    w->edtRetrySleep->setText("15");
    w->rbModem->click();
    w->ApplySettings(); // first operation over the modem
    EXPECT_EQ(w->C1->ConnectMethod(), cmModem);
    EXPECT_EQ(w->C1->RetryTime(), 5);
    EXPECT_EQ(w->C1->RetrySleep(), 100);
    w->ApplySettings(); // second one
    EXPECT_EQ(w->C1->RetryTime(), 3);
    EXPECT_EQ(w->C1->RetrySleep(), 15);
}

TEST(BurnWindow, SnFieldTakesOnlyDigitsFromTheKeyboardButPastingWorks)
{
    Window w;
    w->show();
    QApplication::setActiveWindow(w.form.get());
    w->edtSN->setFocus();
    QTest::keyClicks(w->edtSN, "12a 3-B4");
    EXPECT_EQ(w->edtSN->text(), "1234");
    QTest::keyClick(w->edtSN, Qt::Key_Backspace);
    EXPECT_EQ(w->edtSN->text(), "123");
    QTest::keyClick(w->edtSN, Qt::Key_A, Qt::ControlModifier); // Ctrl+A is a character too: refused
    QTest::keyClick(w->edtSN, Qt::Key_X, Qt::ControlModifier);
    EXPECT_EQ(w->edtSN->text(), "123");

    QApplication::clipboard()->setText("AB");
    QTest::keyClick(w->edtSN, Qt::Key_End);
    QTest::keyClick(w->edtSN, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(w->edtSN->text(), "123AB");
    QTest::keyClicks(w->edtSN, "456789");
    EXPECT_EQ(w->edtSN->text(), "123AB456"); // at most 8 characters

    // The filter on its own: what passes and what does not.
    auto passes = [](Qt::Key key, const QString &text, Qt::KeyboardModifiers mods = Qt::NoModifier) {
        QKeyEvent e(QEvent::KeyPress, key, mods, text);
        return TfrmBurn::edtSNKeyPress(&e);
    };
    EXPECT_TRUE(passes(Qt::Key_0, "0"));
    EXPECT_TRUE(passes(Qt::Key_9, "9"));
    EXPECT_TRUE(passes(Qt::Key_Backspace, "\b"));
    EXPECT_TRUE(passes(Qt::Key_C, "\x03", Qt::ControlModifier));
    EXPECT_FALSE(passes(Qt::Key_Space, " "));
    EXPECT_FALSE(passes(Qt::Key_Period, "."));
    EXPECT_FALSE(passes(Qt::Key_unknown, QString(QChar(0x0663)))); // a digit of another script
}

TEST(BurnWindow, SyncPcFreezesThePickersAtTheMomentItIsChecked)
{
    Window w;
    w->dt_date->setDate(QDate(2011, 3, 4));
    w->dt_time->setTime(QTime(1, 2, 3));
    w->CheckBox8->click();
    EXPECT_FALSE(w->dt_date->isEnabled());
    EXPECT_FALSE(w->dt_time->isEnabled());
    EXPECT_EQ(w->dt_date->date(), QDate::currentDate());
    const QTime frozen = w->dt_time->time();
    EXPECT_LE(std::abs(frozen.secsTo(QTime::currentTime())), 1);
    QTest::qWait(1100);
    EXPECT_EQ(w->dt_time->time(), frozen); // no longer follows the clock

    w->dt_time->setTime(QTime(5, 6, 7));
    w->CheckBox8->click();
    EXPECT_TRUE(w->dt_date->isEnabled());
    EXPECT_TRUE(w->dt_time->isEnabled());
    EXPECT_LE(std::abs(w->dt_time->time().secsTo(QTime::currentTime())), 1); // refilled with now
}

TEST(BurnWindow, BrowseShowsTheFilesInfoOrKeepsTheLabelOnAnError)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    auto write = [&](const QString &name, const QByteArray &content) {
        QFile f(dir.filePath(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
        return f.fileName();
    };
    // 64-byte record at 0x7780 whose bytes 0x3A..0x3D are 01 05 02 0A.
    QByteArray data(128, '0');
    data.replace(116, 8, "0105020A");
    const QString good = write("good.hex", ":10000000" + QByteArray(32, '1') + "11\r\n:407780" + QByteArray("00") +
                                               data + "FF\r\n:00000001FF\r\n");
    const QString invalid = write("plain.hex", ":00000001FF\r\n");
    const QString broken = write("broken.hex", ":407780" + QByteArray("00") + QByteArray(20, '0') + "\r\n");

    Window w;
    w.boxes.fileAnswers = {good};
    w->BitBtn1->click();
    ASSERT_EQ(w.boxes.fileDialogs.size(), 1u);
    EXPECT_EQ(w.boxes.fileDialogs[0].filter, "HEX (*.hex);;All files (*)");
    EXPECT_EQ(QDir(w.boxes.fileDialogs[0].directory).absolutePath(), QDir::home().absolutePath());
    EXPECT_EQ(w->edtPath->text(), QDir::toNativeSeparators(good));
    EXPECT_EQ(w->labHexInfo->text(), "Hex File Info: Type code = 261, Version = 2.10");

    // Cancel: nothing changes. The dialog opened in the current file's folder.
    w->BitBtn1->click();
    EXPECT_EQ(QDir(w.boxes.fileDialogs[1].directory).absolutePath(), QDir(dir.path()).absolutePath());
    EXPECT_EQ(w->edtPath->text(), QDir::toNativeSeparators(good));
    EXPECT_EQ(w->labHexInfo->text(), "Hex File Info: Type code = 261, Version = 2.10");

    // No path: the folder last chosen from.
    w->edtPath->clear();
    w->BitBtn1->click();
    EXPECT_EQ(QDir(w.boxes.fileDialogs[2].directory).absolutePath(), QDir(dir.path()).absolutePath());

    w.boxes.fileAnswers = {invalid};
    w->BitBtn1->click();
    EXPECT_EQ(w->labHexInfo->text(), "Invalid Hex File");

    // A short information line: the conversion error, the path already taken, the label as it was.
    w.boxes.fileAnswers = {broken};
    w->BitBtn1->click();
    EXPECT_EQ(w->edtPath->text(), QDir::toNativeSeparators(broken));
    EXPECT_EQ(w->labHexInfo->text(), "Invalid Hex File");
    ASSERT_EQ(w.boxes.boxes.size(), 1u);
    EXPECT_EQ(w.boxes.boxes[0].caption, "Norvik Controller Firmware Burner");
    EXPECT_EQ(w.boxes.boxes[0].icon, BoxIcon::Error);
    EXPECT_TRUE(w.boxes.boxes[0].text.endsWith("is not a valid integer value")) << w.boxes.boxes[0].text.toStdString();
}

TEST(BurnWindow, TheInfoLineFollowsATypedOrPastedPath)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    auto write = [&](const QString &name, const QByteArray &info) {
        QByteArray data(128, '0');
        data.replace(116, 8, info);
        QFile f(dir.filePath(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(":407780" + QByteArray("00") + (info.isEmpty() ? QByteArray(20, '0') : data) + "FF\r\n:00000001FF\r\n");
        return f.fileName();
    };
    const struct {
        QString path;
        bool paste;
        QString label;
    } cases[] = {
        {write("a.hex", "0105020A"), false, "Hex File Info: Type code = 261, Version = 2.10"},
        {dir.filePath("missing.hex"), true, ""},
        {write("b.hex", "01060301"), true, "Hex File Info: Type code = 262, Version = 3.1"},
        {write("broken.hex", ""), false, "Invalid Hex File"},
        {QString(), false, ""},
    };
    Window w;
    for (const auto &c : cases) {
        w->edtPath->clear();
        if (c.paste) {
            QApplication::clipboard()->setText(c.path);
            w->edtPath->paste();
        } else {
            QTest::keyClicks(w->edtPath, c.path);
        }
        EXPECT_EQ(w->labHexInfo->text(), c.label) << c.path.toStdString();
    }
    EXPECT_TRUE(w.boxes.boxes.empty()); // typing is never interrupted by a box
}

TEST(BurnWindow, DownloadRefusesAMissingFileAndStopsOnNo)
{
    norvik::test::ScriptedController controller(norvik::test::HealthyController({}));
    Window w;
    w->rbTCPIP->click();
    w->edtIP->setText("127.0.0.1");
    w->edtPort->setText(QString::number(controller.Port()));
    w->edtPath->setText("/nonexistent/firmware.hex");
    w->btnDownload->click();
    ASSERT_EQ(w.boxes.boxes.size(), 1u);
    EXPECT_EQ(w.boxes.boxes[0], Box("QTR", BoxIcon::Error, "HEX File \"/nonexistent/firmware.hex\" not found."));

    const norvik::test::FirmwareFile hex;
    w->edtPath->setText(hex.path);
    w->cmbControllerID->setCurrentIndex(6);
    w.boxes.Clear();
    w.boxes.yesNoAnswers = {false};
    w->btnDownload->click();
    ASSERT_EQ(w.boxes.boxes.size(), 1u);
    EXPECT_EQ(w.boxes.boxes[0],
              Box("QTR", BoxIcon::Information,
                  "Please Terminate ALL program. Doors on \"Controller 7\" will not function during upgrade (3~10 "
                  "minute). All information on controller will be loss. Are you sure?",
                  BoxButtons::YesNo));
    EXPECT_TRUE(w->Panel2->isEnabled());
    EXPECT_FALSE(w->Download->T1().isActive());
    EXPECT_EQ(w->C1->ConnectMethod(), cmSerial); // settings not even applied
    QTest::qWait(300);
    EXPECT_TRUE(controller.Requests().empty());
}

TEST(BurnWindow, EnterPressesDownloadUnlessAButtonHasTheFocus)
{
    Window w;
    w->show();
    QApplication::setActiveWindow(w.form.get());
    w->edtPath->setText("/nonexistent/a.hex");
    w->edtPath->setFocus();
    QTest::keyClick(w->edtPath, Qt::Key_Return);
    ASSERT_EQ(w.boxes.boxes.size(), 1u);
    EXPECT_EQ(w.boxes.boxes[0].text, "HEX File \"/nonexistent/a.hex\" not found.");

    // A focused button takes Enter itself.
    w.boxes.Clear();
    w->edtSN->setText("123");
    w->btnWriteSNID->setFocus();
    QTest::keyClick(w->btnWriteSNID, Qt::Key_Return);
    ASSERT_EQ(w.boxes.boxes.size(), 1u);
    EXPECT_EQ(w.boxes.boxes[0].text, "ERROR: Please Input Controller SN.");
}

TEST(BurnWindow, DownloadLocksThePanelAndRestoresItOnABadSetting)
{
    const norvik::test::FirmwareFile hex;

    Window w;
    w->edtPath->setText(hex.path);
    w.boxes.onShow = [&](const norvik::test::RecordedBox &box) {
        if (box.buttons == BoxButtons::Ok) { // the error box appears while the panel is still locked
            EXPECT_FALSE(w->Panel2->isEnabled());
        }
    };
    w->edtRetry->setText("");
    w->btnDownload->click();
    ASSERT_EQ(w.boxes.boxes.size(), 2u);
    EXPECT_EQ(w.boxes.boxes[1],
              Box("Norvik Controller Firmware Burner", BoxIcon::Error, "'' is not a valid integer value"));
    EXPECT_TRUE(w->Panel2->isEnabled());
    EXPECT_FALSE(w->Download->T1().isActive());

    // With good settings the panel stays locked and the download's start is armed.
    w.boxes.onShow = nullptr;
    w.boxes.Clear();
    w->edtRetry->setText("20");
    norvik::test::ScriptedController controller; // silent
    w->rbTCPIP->click();
    w->edtIP->setText("127.0.0.1");
    w->edtPort->setText(QString::number(controller.Port()));
    w->btnDownload->click();
    EXPECT_FALSE(w->Panel2->isEnabled());
    EXPECT_TRUE(w->Download->T1().isActive());
    EXPECT_EQ(w->Download->T1().interval(), 100);
    // The silent controller never acknowledges the boot-loader command.
    for (int i = 0; i < 40 && !w->Panel2->isEnabled(); ++i)
        QTest::qWait(50);
    EXPECT_TRUE(w->Panel2->isEnabled());
    EXPECT_EQ(w->labStatus->text(), "Controller not found.");
    ASSERT_EQ(w.boxes.boxes.size(), 2u);
    EXPECT_EQ(w.boxes.boxes[1], Box("QTR", BoxIcon::Error, "Controller not found."));
    ASSERT_EQ(controller.RequestsWithCode(0xE0).size(), 1u);
}

TEST(BurnWindow, ClosingTheWindowRemovesTheWorkFile)
{
    // The work file lives beside the program unless a test moves it.
    {
        Window w;
        EXPECT_EQ(w->Download->WorkFile(), norvik::WorkFilePath());
    }
    QTemporaryDir dir;
    const QString workFile = dir.filePath("temp.hex");
    const QString neighbour = dir.filePath("other.hex");
    for (const QString &name : {workFile, neighbour}) {
        QFile f(name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(":00000001ff;\r\n");
    }
    {
        Window w;
        w->Download->SetWorkFile(workFile);
        EXPECT_TRUE(QFile::exists(workFile));
    }
    EXPECT_FALSE(QFile::exists(workFile));
    EXPECT_TRUE(QFile::exists(neighbour));
    // No work file: nothing to do, nothing reported.
    {
        Window w;
        w->Download->SetWorkFile(workFile);
        w.form.reset();
        EXPECT_TRUE(w.boxes.boxes.empty());
    }
}

TEST(BurnWindow, ComListOffersTheSystemsPortsByPathAndKeepsTheChoice)
{
    norvik::test::Pty adapter; // stands in for a USB adapter's device
    const QString usb = QString::fromStdString(adapter.DevicePath());
    QList<norvik::SystemSerialPort> ports{{usb, "FT232R USB UART", "A10K3"}, {"/dev/ttyACM0", {}, {}}};
    Window w;
    w->SystemSerialPorts = [&] { return ports; };
    auto open = [&] { w->ComboBox1->showPopup(), w->ComboBox1->hidePopup(); }; // the list is read as it opens
    open();
    ASSERT_EQ(w->ComboBox1->count(), 12);
    EXPECT_EQ(w->ComboBox1->itemText(11), "/dev/ttyACM0");
    EXPECT_EQ(w->ComboBox1->itemData(10, Qt::ToolTipRole).toString(), "FT232R USB UART\nSerial number: A10K3");

    // Chosen, then unplugged while another comes: the choice stays.
    w->ComboBox1->setCurrentIndex(10);
    ports = {{"/dev/ttyUSB7", {}, {}}};
    open();
    EXPECT_EQ(w->ComboBox1->currentText(), usb);
    EXPECT_EQ(w->ComboBox1->findText("/dev/ttyACM0"), -1);
    EXPECT_EQ(w->ComboBox1->findText("/dev/ttyUSB7"), 10);
    w->ApplySettings(); // the chosen device is what the serial link opens
    EXPECT_TRUE(w->C1->Connect()) << w->C1->LinkFault();
    w->C1->Disconnect();
}

TEST(BurnWindow, EnterAndEscapeNeverConfirmAndKeypadEnterIsEnter)
{
    // The real confirmation box: a stray Enter or Escape answers No.
    norvik::QtMessageBoxes real;
    for (const auto &[key, modifiers] : {std::pair{Qt::Key_Return, Qt::NoModifier},
                                         std::pair{Qt::Key_Enter, Qt::KeypadModifier},
                                         std::pair{Qt::Key_Escape, Qt::NoModifier}}) {
        int presses = 0; // a second one: the first did not close the box
        QTimer press;
        QObject::connect(&press, &QTimer::timeout, [&, key = key, modifiers = modifiers] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()))
                ++presses == 1 ? QTest::keyClick(box, key, modifiers) : box->done(QMessageBox::Abort);
        });
        press.start(20);
        EXPECT_FALSE(real.Question(nullptr, "QTR", BoxIcon::Information, "Are you sure?")) << key;
        EXPECT_EQ(presses, 1) << key;
    }
    // The keypad's Enter in a field activates "&Download" like the main Enter key.
    Window w;
    w->show();
    QApplication::setActiveWindow(w.form.get());
    w->edtPath->setText("/nonexistent/a.hex");
    w->edtPath->setFocus();
    QTest::keyClick(w->edtPath, Qt::Key_Enter, Qt::KeypadModifier);
    ASSERT_EQ(w.boxes.boxes.size(), 1u);
    EXPECT_EQ(w.boxes.boxes[0].text, "HEX File \"/nonexistent/a.hex\" not found.");
}

TEST(BurnWindow, BadNumberFieldStopsAnActionBeforeAnyLinkIsTouched)
{
    struct Case {
        const char *field;
        const char *text;
        bool download; // else "&Controller Info"
        const char *message;
    };
    const norvik::test::FirmwareFile hex;
    for (const Case &c : {Case{"edtSerialDelay", "2x", false, "'2x' is not a valid integer value"},
                          Case{"edtRetry", "", true, "'' is not a valid integer value"},
                          Case{"edtPort", "70000", false,
                               "Port: 70000 is not a UDP port number. Enter a number from 0 to 65535."}}) {
        SCOPED_TRACE(c.field);
        Window w;
        w->rbModem->click();
        w->ApplySettings(); // the modem is the current link, as after an earlier action
        w->edtPath->setText(hex.path);
        w->findChild<QLineEdit *>(c.field)->setText(c.text);
        norvik::test::RecordingSleeper sleeper; // a modem's hang-up would pause here
        (c.download ? w->btnDownload : w->btnCheckVersion)->click();
        ASSERT_FALSE(w.boxes.boxes.empty());
        EXPECT_EQ(w.boxes.boxes.back(), Box("Norvik Controller Firmware Burner", BoxIcon::Error, c.message));
        EXPECT_TRUE(sleeper.pauses.empty());
        EXPECT_TRUE(w->Panel2->isEnabled());
    }
    Window w; // the controller's clock counts years from 2000 in one byte
    w->dt_date->setDate(QDate(1999, 12, 31));
    EXPECT_GE(w->dt_date->date().year(), 2000);
}
