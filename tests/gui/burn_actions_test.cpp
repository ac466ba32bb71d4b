// The maintenance actions against a controller on the network link:
// "&Controller Info", "Write SN + ID" and "Set Clock".
#include "app/burn.h"
#include "component/Controller.h"
#include "tests/gui/ScriptedController.h"
#include "tests/support/RecordingMessageBoxes.h"
#include "tests/support/RecordingSleeper.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimeEdit>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

using norvik::BoxIcon;
using norvik::test::Box;
using norvik::test::Bytes8;
using norvik::test::FakeLink;
using norvik::test::ControllerIdentity;
using norvik::test::HealthyController;
using norvik::test::RecordingMessageBoxes;
using norvik::test::ScriptedController;

namespace {

struct NetworkWindow {
    RecordingMessageBoxes boxes;
    std::unique_ptr<TfrmBurn> form;
    explicit NetworkWindow(const ScriptedController &controller)
        : form(std::make_unique<TfrmBurn>(QStringList{"norvik-burner"}, &boxes))
    {
        form->rbTCPIP->click();
        form->edtIP->setText("127.0.0.1");
        form->edtPort->setText(QString::number(controller.Port()));
    }
    TfrmBurn *operator->() { return form.get(); }
};

} // namespace

TEST(BurnActions, ControllerInfoShowsNineLinesSeparatedByLfCr)
{
    ControllerIdentity who;
    who.id = 5;
    who.version = 0x020A;
    who.typeCode = 261;
    who.sn = "AB12CD34";
    ScriptedController controller(HealthyController(who));
    NetworkWindow w(controller);
    w->cmbControllerID->setCurrentIndex(4);
    w->btnCheckVersion->click();

    ASSERT_EQ(w.boxes.boxes.size(), 1u);
    EXPECT_EQ(w.boxes.boxes[0], Box("Norvik", BoxIcon::Information,
                                    "Info:\n\r"
                                    "   Version: 2.10\n\r"
                                    "   Type code: 261\n\r"
                                    "   CardMax: 1000\n\r"
                                    "   SortCardCount: 10\n\r"
                                    "   UnsortCardCount: 5\n\r"
                                    "   RecordMax: 4000\n\r"
                                    "   RecordCount: 500\n\r"
                                    "   SN: AB12CD34"));
    const auto requests = controller.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], FakeLink::Frame(5, 0x42, {}));
    EXPECT_EQ(requests[1], FakeLink::Frame(5, 0x28, {}));
    EXPECT_TRUE(w->Panel2->isEnabled());
}

TEST(BurnActions, InfoTextShowsTheSerialNumberUpToItsFirstZeroByte)
{
    TControllerInfo info;
    info.Version = 0x0105;
    const std::uint8_t unread[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_TRUE(TfrmBurn::InfoText(info, unread).endsWith("\n\r   SN: "));
    const std::uint8_t latin[8] = {'1', '2', 0xE9, '4', '5', '6', '7', '8'};
    EXPECT_TRUE(TfrmBurn::InfoText(info, latin).endsWith(QString::fromLatin1("   SN: 12\xE9" "45678")));
    EXPECT_TRUE(TfrmBurn::InfoText(info, latin).contains("   Version: 1.5\n\r"));
}

TEST(BurnActions, ControllerInfoWithoutAnAnswerSaysNotFound)
{
    ScriptedController controller; // never answers
    NetworkWindow w(controller);
    w->btnCheckVersion->click();
    ASSERT_EQ(w.boxes.boxes.size(), 1u);
    EXPECT_EQ(w.boxes.boxes[0], Box("Norvik", BoxIcon::Error, "Controller not found"));
    EXPECT_EQ(controller.Requests().size(), 1u); // no SN query after a failed info query
}

TEST(BurnActions, ABadDelaySendsNothingAndShowsTheConversionError)
{
    ScriptedController controller(HealthyController({}));
    NetworkWindow w(controller);
    w->edtSerialDelay->setText("");
    w->btnCheckVersion->click();
    ASSERT_EQ(w.boxes.boxes.size(), 1u);
    EXPECT_EQ(w.boxes.boxes[0],
              Box("Norvik Controller Firmware Burner", BoxIcon::Error, "'' is not a valid integer value"));
    QTest::qWait(200);
    EXPECT_TRUE(controller.Requests().empty());
    EXPECT_TRUE(w->Panel2->isEnabled());
}

TEST(BurnActions, WriteSnRefusesAnythingButEightCharacters)
{
    ScriptedController controller(HealthyController({}));
    NetworkWindow w(controller);
    for (const char *sn : {"1234567", ""}) {
        w.boxes.Clear();
        w->edtSN->setText(QString::fromLatin1(sn));
        w->btnWriteSNID->click();
        ASSERT_EQ(w.boxes.boxes.size(), 1u) << sn;
        EXPECT_EQ(w.boxes.boxes[0], Box("QTR", BoxIcon::Error, "ERROR: Please Input Controller SN."));
    }
    // Eight characters of which one cannot travel as a single byte.
    w.boxes.Clear();
    w->edtSN->setText(QString::fromUtf8("1234567\u20AC"));
    w->btnWriteSNID->click();
    ASSERT_EQ(w.boxes.boxes.size(), 1u);
    EXPECT_EQ(w.boxes.boxes[0].text, "ERROR: Please Input Controller SN.");
    QTest::qWait(200);
    EXPECT_TRUE(controller.Requests().empty());
    EXPECT_EQ(w->C1->ConnectMethod(), cmSerial); // not even the settings were applied
}

TEST(BurnActions, WriteSnSendsTheTextUnchangedAndVerifiesTheIdAfter300ms)
{
    ControllerIdentity who;
    who.id = 9;
    ScriptedController controller(HealthyController(who));
    norvik::test::RecordingSleeper sleeper;
    NetworkWindow w(controller);
    w->cmbControllerID->setCurrentIndex(8);
    w->edtSN->setText("AB12cd34"); // pasted: letters pass the length test
    w->btnWriteSNID->click();

    const auto requests = controller.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], FakeLink::Frame(0, 0x27, {9, 'A', 'B', '1', '2', 'c', 'd', '3', '4'}));
    EXPECT_EQ(requests[1], FakeLink::Frame(0, 0x29, {'A', 'B', '1', '2', 'c', 'd', '3', '4'}));
    EXPECT_NE(std::find(sleeper.pauses.begin(), sleeper.pauses.end(), 300), sleeper.pauses.end());
    ASSERT_EQ(w.boxes.boxes.size(), 1u);
    EXPECT_EQ(w.boxes.boxes[0], Box("Norvik", BoxIcon::Information, "OK: Set SN=AB12cd34 ID=9"));

    // Another controller answers for this SN: a failure, still with the information icon.
    who.id = 3;
    controller.SetScript(HealthyController(who));
    w.boxes.Clear();
    w->btnWriteSNID->click();
    ASSERT_EQ(w.boxes.boxes.size(), 1u);
    EXPECT_EQ(w.boxes.boxes[0], Box("Norvik", BoxIcon::Information, "FAIL: Set SN=AB12cd34 ID=9"));

    // No answer at all.
    controller.SetScript({});
    w.boxes.Clear();
    w->btnWriteSNID->click();
    ASSERT_EQ(w.boxes.boxes.size(), 1u);
    EXPECT_EQ(w.boxes.boxes[0].text, "FAIL: Set SN=AB12cd34 ID=9");
}

TEST(BurnActions, SetClockSendsThePickersAndWaitsAfterTheBox)
{
    ScriptedController controller(HealthyController({}));
    norvik::test::RecordingSleeper sleeper;
    NetworkWindow w(controller);
    w->cmbControllerID->setCurrentIndex(0);
    w->dt_date->setDate(QDate(2024, 2, 29)); // a Thursday
    w->dt_time->setTime(QTime(23, 58, 7, 250));
    std::size_t pausesAtBox = 0;
    w.boxes.onShow = [&](const norvik::test::RecordedBox &) { pausesAtBox = sleeper.pauses.size(); };
    w->btnOK->click();

    ASSERT_EQ(controller.Requests().size(), 1u);
    EXPECT_EQ(controller.Requests()[0], FakeLink::Frame(1, 0x01, {24, 2, 29, 23, 58, 7, 4}));
    ASSERT_EQ(w.boxes.boxes.size(), 1u);
    EXPECT_EQ(w.boxes.boxes[0], Box("Norvik", BoxIcon::Information, "OK - Set Clock on ID: 1"));
    ASSERT_GT(sleeper.pauses.size(), pausesAtBox);
    EXPECT_EQ(sleeper.pauses[pausesAtBox], 300);

    controller.SetScript([](const Bytes8 &) { return FakeLink::Frame(1, 0x01, {0x01, 0x01}); }); // refused
    w.boxes.Clear();
    w->btnOK->click();
    ASSERT_EQ(w.boxes.boxes.size(), 1u);
    EXPECT_EQ(w.boxes.boxes[0], Box("Norvik", BoxIcon::Information, "FAIL - Set Clock on ID: 1"));
}

TEST(BurnActions, SyncPcSendsTheTimeAtWhichTheBoxWasChecked)
{
    ScriptedController controller(HealthyController({}));
    NetworkWindow w(controller);
    // Start just after a second boundary so that the wait below crosses exactly one.
    while (QTime::currentTime().msec() > 200)
        QTest::qWait(20);
    w->CheckBox8->click();
    const QTime checkedAt = w->dt_time->time();
    QTest::qWait(1300);
    w->btnOK->click();
    ASSERT_EQ(controller.Requests().size(), 1u);
    const Bytes8 frame = controller.Requests()[0];
    ASSERT_EQ(frame.size(), 12u);
    EXPECT_EQ(frame[7], checkedAt.hour());
    EXPECT_EQ(frame[8], checkedAt.minute());
    EXPECT_EQ(frame[9], checkedAt.second());
    EXPECT_NE(frame[9], QTime::currentTime().second());
}
