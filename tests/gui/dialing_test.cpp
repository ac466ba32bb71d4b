// The dial-up window against a modem on a pseudo-terminal: how its one-second
// ticks follow the modem's dial state, Cancel and Escape, and the main
// window's handling of a failed dial.
#include "app/burn.h"
#include "app/dialing.h"
#include "component/Controller.h"
#include "component/MODEM.h"
#include "services/ComPort.h"
#include "tests/gui/FirmwareFile.h"
#include "tests/support/RecordingMessageBoxes.h"
#include "tests/support/RecordingSleeper.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <poll.h>
#include <fcntl.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>

using norvik::BoxIcon;
using norvik::test::Box;

namespace {

// The modem's side of the line. A thread of its own keeps reading, as a
// modem would, so that nothing the computer sends is left in the line when
// the port is closed and its queues are purged.
class ModemPeer {
public:
    ModemPeer()
    {
        char name[128] = {};
        termios raw{};
        cfmakeraw(&raw);
        if (openpty(&m_master, &m_slave, name, &raw, nullptr) != 0)
            throw std::runtime_error("openpty");
        m_slaveName = name;
        m_reader = std::thread([this] { Read(); });
    }
    ~ModemPeer()
    {
        m_stop = true;
        m_reader.join();
        ::close(m_master);
        ::close(m_slave);
    }
    const std::string &SlaveName() const { return m_slaveName; }
    void Say(const std::string &text)
    {
        (void)!::write(m_master, text.data(), text.size());
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    // Everything the computer sent so far, once the line has been quiet for a moment.
    std::string Heard()
    {
        std::size_t seen = static_cast<std::size_t>(-1);
        for (int i = 0; i < 50; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            std::lock_guard lock(m_mutex);
            if (m_heard.size() == seen)
                break;
            seen = m_heard.size();
        }
        std::lock_guard lock(m_mutex);
        return m_heard;
    }

private:
    void Read()
    {
        char buffer[512];
        while (!m_stop) {
            pollfd p{m_master, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN))
                continue;
            const ssize_t n = ::read(m_master, buffer, sizeof buffer);
            if (n > 0) {
                std::lock_guard lock(m_mutex);
                m_heard.append(buffer, static_cast<std::size_t>(n));
            }
        }
    }

    int m_master = -1;
    int m_slave = -1; // kept open so the line never hangs up under the component
    std::string m_slaveName;
    std::mutex m_mutex;
    std::string m_heard;
    std::atomic<bool> m_stop{false};
    std::thread m_reader;
};

struct DialingModem {
    ModemPeer peer;
    norvik::test::RecordingSleeper sleeper; // Dial's settling pause and the hang-up pauses
    TController c1;
    DialingModem()
    {
        c1.SetCOM(peer.SlaveName());
        c1.SetConnectMethod(cmModem);
        c1.Connect();
        c1.Dial("5551234");
    }
    void Answer(const std::string &text)
    {
        peer.Say(text);
        c1.ModemLink()->PollModemReply();
    }
};

TfrmDialing *OpenDialingWindow()
{
    return qobject_cast<TfrmDialing *>(QApplication::activeModalWidget());
}

} // namespace

TEST(DialingWindow, TicksFollowTheModemState)
{
    struct Case {
        const char *answer;
        bool failed;
    };
    for (const Case &c : {Case{"\r\nCONNECT 19200\r\n", false}, Case{"\r\nBUSY\r\n", true},
                          Case{"\r\nNO CARRIER\r\n", true}, Case{"\r\nRING\r\n", true}, Case{"\r\nOK\r\n", true}}) {
        SCOPED_TRACE(c.answer);
        DialingModem modem;
        ASSERT_EQ(modem.c1.DialupStatus(), usConnecting);
        TfrmDialing dialog(&modem.c1, nullptr);
        EXPECT_EQ(dialog.labSec->text(), "0");
        EXPECT_TRUE(dialog.Timer1.isActive());
        dialog.show();
        // Still dialing: count the second and keep waiting.
        dialog.Timer1Timer();
        dialog.Timer1Timer();
        EXPECT_EQ(dialog.SecondsElapsed, 2);
        EXPECT_EQ(dialog.labSec->text(), "2");
        EXPECT_TRUE(dialog.Timer1.isActive());
        EXPECT_TRUE(dialog.isVisible());

        modem.Answer(c.answer);
        dialog.Timer1Timer();
        EXPECT_EQ(dialog.SecondsElapsed, 3);
        EXPECT_EQ(dialog.labSec->text(), "3");
        EXPECT_EQ(dialog.DialFailed, c.failed);
        EXPECT_FALSE(dialog.Timer1.isActive());
        EXPECT_FALSE(dialog.isVisible());
    }
}

TEST(DialingWindow, CancelAndEscapeGiveUpAtOnce)
{
    for (bool escape : {false, true}) {
        SCOPED_TRACE(escape ? "Escape" : "Cancel");
        DialingModem modem;
        TfrmDialing dialog(&modem.c1, nullptr);
        dialog.show();
        QApplication::setActiveWindow(&dialog);
        if (escape)
            QTest::keyClick(&dialog, Qt::Key_Escape);
        else
            QTest::mouseClick(dialog.btnCancel, Qt::LeftButton);
        EXPECT_TRUE(dialog.DialFailed);
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_FALSE(dialog.Timer1.isActive());
        // The window does not hang up; the caller's Disconnect does.
        EXPECT_EQ(modem.c1.DialupStatus(), usConnecting);
    }
}

TEST(DialingWindow, AStateAlreadyFinalClosesAtTheFirstTick)
{
    DialingModem modem;
    modem.Answer("\r\nBUSY\r\n");
    ASSERT_EQ(modem.c1.DialupStatus(), usBusy);
    TfrmDialing dialog(&modem.c1, nullptr);
    QElapsedTimer clock;
    clock.start();
    QTimer::singleShot(5000, &dialog, [&] { dialog.done(5); }); // bound, should it hang
    const int result = dialog.exec();
    const qint64 took = clock.elapsed();
    EXPECT_NE(result, 5);
    EXPECT_TRUE(dialog.DialFailed);
    EXPECT_EQ(dialog.SecondsElapsed, 1);
    EXPECT_GE(took, 900);
    EXPECT_LT(took, 2500);
}

namespace {

struct ModemWindow {
    ModemPeer peer;
    norvik::test::RecordingSleeper sleeper;
    norvik::test::RecordingMessageBoxes boxes;
    std::unique_ptr<TfrmBurn> form;
    ModemWindow()
    {
        qputenv("NORVIK_COM10", QByteArray::fromStdString(peer.SlaveName()));
        form = std::make_unique<TfrmBurn>(QStringList{"norvik-burner"}, &boxes);
        form->rbModem->click();
        form->ComboBox1->setCurrentIndex(9);
        form->edtPhone->setText("0123 456");
    }
    ~ModemWindow() { qunsetenv("NORVIK_COM10"); }
    TfrmBurn *operator->() { return form.get(); }
};

} // namespace

TEST(DialingWindow, ADialTimeOutEndsTheActionWithDialupFail)
{
    ModemWindow w;
    w->C1->SetDialTimeOut(2000);
    QString shownNumber;
    QTimer::singleShot(300, [&] {
        if (TfrmDialing *d = OpenDialingWindow())
            shownNumber = d->labPhoneNumber->text();
    });
    QTimer guard; // bound: cancel the dial if the time-out never comes
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] {
        if (TfrmDialing *d = OpenDialingWindow())
            d->btnCancel->click();
    });
    guard.start(8000);
    QElapsedTimer clock;
    clock.start();
    w->btnCheckVersion->click();
    const qint64 took = clock.elapsed();
    EXPECT_TRUE(guard.isActive()) << "the time-out never ended the dial";
    EXPECT_EQ(shownNumber, "0123 456");
    EXPECT_GE(took, 1800);
    EXPECT_LT(took, 5000);
    ASSERT_EQ(w.boxes.boxes.size(), 1u);
    EXPECT_EQ(w.boxes.boxes[0], Box("QTR", BoxIcon::Error, "Dialup fail."));
    EXPECT_EQ(w->labStatus->text(), "Dialup fail.");
    EXPECT_TRUE(w->Panel2->isEnabled());
    const std::string heard = w.peer.Heard();
    EXPECT_EQ(heard.rfind("ATDT0123 456\n\r", 0), 0u) << heard;
    // Hung up and closed by the caller's Disconnect.
    EXPECT_EQ(w->C1->DialupStatus(), usOK);
    EXPECT_FALSE(w->C1->ModemLink()->SerialPort().Connected());
}

TEST(DialingWindow, CancelDuringTheDownloadDialRestoresThePanel)
{
    const norvik::test::FirmwareFile hex;

    ModemWindow w;
    w->edtPath->setText(hex.path);
    bool panelLockedWhileDialing = false;
    QTimer::singleShot(300, [&] {
        if (TfrmDialing *d = OpenDialingWindow()) {
            panelLockedWhileDialing = !w->Panel2->isEnabled();
            d->btnCancel->click();
        }
    });
    QElapsedTimer clock;
    clock.start();
    w->btnDownload->click();
    EXPECT_LT(clock.elapsed(), 1500);
    EXPECT_TRUE(panelLockedWhileDialing);
    ASSERT_EQ(w.boxes.boxes.size(), 2u); // the confirmation, then the failure
    EXPECT_EQ(w.boxes.boxes[1], Box("QTR", BoxIcon::Error, "Dialup fail."));
    EXPECT_TRUE(w->Panel2->isEnabled());
    EXPECT_FALSE(w->Download->T1().isActive());
    EXPECT_EQ(w->C1->DialupStatus(), usOK);
    EXPECT_FALSE(w->C1->ModemLink()->SerialPort().Connected());
}

TEST(DialingWindow, AConnectedModemLetsTheActionGoOn)
{
    ModemWindow w;
    QTimer::singleShot(1500, [&] { w.peer.Say("\r\nCONNECT 19200\r\n"); });
    w->btnCheckVersion->click();
    // Nobody answers the info query on the line: the action went on past the dial.
    ASSERT_EQ(w.boxes.boxes.size(), 1u);
    EXPECT_EQ(w.boxes.boxes[0].text, "Controller not found");
    const std::string heard = w.peer.Heard();
    EXPECT_NE(heard.find(std::string("\x33\x01\x42\x00\x76", 5)), std::string::npos);
}

// A modem on a port that does not open cannot answer a dial: the action fails
// at once with the dial failure, no dial-up window to wait out, and the status
// line says why.
TEST(DialingWindow, AModemPortThatDoesNotOpenShowsNoDialupWindow)
{
    ModemWindow w;
    qputenv("NORVIK_COM10", "/dev/norvik-no-such-modem");
    bool windowShown = false;
    QTimer guard; // bound: a dial-up window that did open is cancelled
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] {
        if (TfrmDialing *d = OpenDialingWindow()) {
            windowShown = true;
            d->btnCancel->click();
        }
    });
    guard.start(300);
    w->btnCheckVersion->click();
    EXPECT_FALSE(windowShown);
    ASSERT_EQ(w.boxes.boxes.size(), 1u);
    EXPECT_EQ(w.boxes.boxes[0], Box("QTR", BoxIcon::Error, "Dialup fail."));
    EXPECT_TRUE(w->labStatus->text().startsWith(
        "Dialup fail.  Cannot open serial port COM10 (/dev/norvik-no-such-modem): not found"))
        << w->labStatus->text().toStdString();
    EXPECT_TRUE(w->Panel2->isEnabled());
}
