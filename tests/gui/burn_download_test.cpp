// A whole firmware download driven from the window's "&Download" button over
// the network link: what the window shows while and after the sequence runs.
#include "app/burn.h"
#include "component/Controller.h"
#include "firmware/HexFile.h"
#include "firmware/UpgradeHistory.h"
#include "tests/gui/FirmwareFile.h"
#include "tests/gui/ScriptedController.h"
#include "tests/support/RecordingMessageBoxes.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

using norvik::BoxIcon;
using norvik::test::Box;
using norvik::test::Bytes8;
using norvik::test::FakeLink;
using norvik::test::RecordingMessageBoxes;
using norvik::test::ScriptedController;

namespace {

const char *const kRecords[] = {":020000040000FA", ":10000000000102030405060708090A0B0C0D0E0F78",
                                ":10001000101112131415161718191A1B1C1D1E1F68", ":00000001FF"};

// A boot loader that takes the jump command and acknowledges every line,
// the end record with "Z"; or one that falls silent after the jump.
ScriptedController::Script BootLoader(bool answersLines)
{
    return [answersLines](const Bytes8 &request) -> std::optional<Bytes8> {
        if (request.size() == 21 && request[0] == 0x33 && request[2] == 0xE0)
            return FakeLink::Frame(1, 0xE0, {0xE0, 0x00});
        if (!answersLines)
            return std::nullopt;
        const std::string line(request.begin(), request.end());
        if (line == ":00000001FF;")
            return Bytes8{'Z'};
        return Bytes8{'K'};
    };
}

QByteArray Records()
{
    QByteArray content;
    for (const char *record : kRecords)
        content += QByteArray(record) + "\r\n";
    return content;
}

struct DownloadWindow {
    norvik::test::FirmwareFile hex;
    RecordingMessageBoxes boxes;
    std::unique_ptr<TfrmBurn> form;
    explicit DownloadWindow(const ScriptedController &controller, const QByteArray &content = Records()) : hex(content)
    {
        form = std::make_unique<TfrmBurn>(QStringList{"norvik-burner"}, &boxes);
        form->rbTCPIP->click();
        form->edtIP->setText("127.0.0.1");
        form->edtPort->setText(QString::number(controller.Port()));
        form->edtPath->setText(hex.path);
        form->edtSerialDelay->setText("20"); // a short reply wait keeps silent ticks near their 100 ms
        form->Download->SetWorkFile(hex.dir.filePath("temp.hex"));
    }
    TfrmBurn *operator->() { return form.get(); }
    // Waits (bounded) for the sequence to give the panel back.
    bool WaitForEnd(int limitMs)
    {
        for (int waited = 0; waited < limitMs && !form->Panel2->isEnabled(); waited += 50)
            QTest::qWait(50);
        return form->Panel2->isEnabled();
    }
};

} // namespace

TEST(BurnDownload, ASuccessfulDownloadShowsProgressAndTheSuccessBox)
{
    ScriptedController controller(BootLoader(true));
    DownloadWindow w(controller);
    w->btnDownload->click();
    EXPECT_FALSE(w->Panel2->isEnabled());
    ASSERT_TRUE(w.WaitForEnd(5000));

    const QString success = QStringLiteral("Download Successful, Please reboot controller and then reset.");
    EXPECT_EQ(w->labStatus->text(), success);
    ASSERT_EQ(w.boxes.boxes.size(), 2u);
    EXPECT_EQ(w.boxes.boxes[1], Box("QTR", BoxIcon::Information, success));
    // The end record is answered with "Z", not "K": the bar stops one short.
    EXPECT_EQ(w->ProgressBar1->maximum(), 4);
    EXPECT_EQ(w->ProgressBar1->value(), 3);
    EXPECT_EQ(w->ProgressBar1->text(), "3 / 4");

    // Every record line went out once, with ";" and without a line end.
    std::vector<std::string> lines;
    for (const Bytes8 &r : controller.Requests())
        if (!r.empty() && r[0] == ':')
            lines.emplace_back(r.begin(), r.end());
    ASSERT_EQ(lines.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(lines[i], std::string(kRecords[i]) + ";");

    // Ending the program removes the work file the download wrote.
    const QString workFile = w->Download->WorkFile();
    EXPECT_TRUE(QFile::exists(workFile));
    w.form.reset();
    EXPECT_FALSE(QFile::exists(workFile));
}

TEST(BurnDownload, ASilentBootLoaderEndsWithTheFailureBox)
{
    ScriptedController controller(BootLoader(false));
    DownloadWindow w(controller);
    w->btnDownload->click();
    ASSERT_TRUE(w.WaitForEnd(10000));
    EXPECT_EQ(w->labStatus->text(), "Download Failure.");
    ASSERT_EQ(w.boxes.boxes.size(), 2u);
    EXPECT_EQ(w.boxes.boxes[1], Box("QTR", BoxIcon::Error, "Download Failure."));
    EXPECT_EQ(w->ProgressBar1->value(), 0);
}

// The bar is not reset when a new download starts: it keeps the last one's
// position until the controller acknowledges a line.
TEST(BurnDownload, ASecondDownloadStartsWithTheBarWhereTheFirstLeftIt)
{
    ScriptedController answering(BootLoader(true));
    DownloadWindow w(answering);
    w->btnDownload->click();
    ASSERT_TRUE(w.WaitForEnd(5000));
    ASSERT_EQ(w->ProgressBar1->value(), 3);

    ScriptedController silent(BootLoader(false));
    w->edtPort->setText(QString::number(silent.Port()));
    w->btnDownload->click();
    ASSERT_TRUE(w.WaitForEnd(10000));
    EXPECT_EQ(w->labStatus->text(), "Download Failure.");
    EXPECT_EQ(w->ProgressBar1->maximum(), 4);
    EXPECT_EQ(w->ProgressBar1->value(), 3);
}

// A file that would leave the controller in its boot loader is refused before
// the question, by its line and reason, and nothing reaches the controller.
TEST(BurnDownload, ABrokenFileIsRefusedBeforeAnythingIsSent)
{
    struct Case {
        QByteArray content;
        QString where; // after the path
        QString reason;
    };
    for (const Case &c :
         {Case{"", ":", "the file holds no record lines"},
          Case{"<html>\r\n</html>\r\n", " line 1:", "not a record line, and the file holds no record lines"},
          Case{":020000040000FA\r\n:10000000000102\r\n", " line 2:",
               "truncated record: the count field says 16 data bytes, which take 42 hexadecimal digits; the line "
               "holds 14"},
          Case{":020000040000FB\r\n:00000001FF\r\n", " line 1:", "checksum is 0xFB, should be 0xFA"}}) {
        SCOPED_TRACE(c.reason.toStdString());
        ScriptedController controller(BootLoader(true));
        DownloadWindow w(controller, c.content);
        w->btnDownload->click();
        ASSERT_EQ(w.boxes.boxes.size(), 1u);
        EXPECT_EQ(w.boxes.boxes[0], Box("QTR", BoxIcon::Error,
                                        QStringLiteral("HEX File \"%1\"%2 %3.\nNothing was sent to the controller. "
                                                       "Choose a sound firmware file.")
                                            .arg(w.hex.path, c.where, c.reason)));
        EXPECT_TRUE(w->Panel2->isEnabled());
        QTest::qWait(250);
        EXPECT_TRUE(controller.Requests().empty());
    }
}

// Each download leaves its row in the upgrade history, written quietly; a
// history that cannot be written is said once, after the download's own text.
TEST(BurnDownload, DownloadsAreRecordedAndAnUnwritableHistoryIsSaidOnce)
{
    const QByteArray dataHome = qgetenv("XDG_DATA_HOME");
    QTemporaryDir data;
    qputenv("XDG_DATA_HOME", data.path().toLocal8Bit());
    ScriptedController controller(BootLoader(true));
    DownloadWindow w(controller);
    w->btnDownload->click();
    ASSERT_TRUE(w.WaitForEnd(5000));
    const QString success = QStringLiteral("Download Successful, Please reboot controller and then reset.");

    QList<norvik::UpgradeRecord> rows;
    QString error;
    ASSERT_TRUE(norvik::ReadUpgradeRecords({}, &rows, &error)) << error.toStdString();
    ASSERT_EQ(rows.size(), 1);
    const norvik::UpgradeRecord &row = rows.first();
    QFile image(w.hex.path);
    ASSERT_TRUE(image.open(QIODevice::ReadOnly));
    const QString digest = QString::fromLatin1(QCryptographicHash::hash(image.readAll(), QCryptographicHash::Sha256).toHex());
    // The window reads nothing before the jump: SN, type code and version before stay empty.
    EXPECT_EQ(QStringList({row.link, row.address, row.kind, row.outcome, row.message, row.fileSha256,
                           row.serialNumber + row.typeCode + row.versionBefore}),
              QStringList({"network", QStringLiteral("127.0.0.1:%1").arg(controller.Port()), "download", "success",
                           success, digest, ""}));
    EXPECT_EQ(QList<int>({row.controllerId, row.lines, row.resends}), QList<int>({1, 4, 0}));

    const QString blocker = data.filePath(QStringLiteral("blocker"));
    ASSERT_TRUE(QFile(blocker).open(QIODevice::WriteOnly));
    qputenv("XDG_DATA_HOME", blocker.toLocal8Bit());
    for (const QString &status : {success + QStringLiteral("  Upgrade history not written."), success}) {
        w->btnDownload->click();
        ASSERT_TRUE(w.WaitForEnd(5000));
        EXPECT_EQ(w->labStatus->text(), status);
    }
    EXPECT_EQ(w.boxes.boxes.size(), 6u);

    // The window closed during a download: the run is still on record.
    qputenv("XDG_DATA_HOME", data.path().toLocal8Bit());
    w->btnDownload->click();
    w.form.reset();
    ASSERT_TRUE(norvik::ReadUpgradeRecords({}, &rows, &error)) << error.toStdString();
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows.last().outcome, "interrupted");
    qputenv("XDG_DATA_HOME", dataHome);
}
