// The traffic log's tools: saving what the log shows, recording it past the cap and through a file
// that goes away or a disk that is full, time stamps and control-byte names in the view only, and
// clearing; reached through the window's shortcuts.
#include "app/FrmMain.h"
#include "app/TrafficLog.h"

#include "protocol/UnitEntDeCoder.h"
#include "tests/app/FormLineSupport.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QMenu>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <gmock/gmock.h>

#include <cstring>

#include <sys/stat.h>

using namespace formtest;

namespace
{

QByteArray FileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// The window with the file dialog answered by the test.
class TLogForm : public TTestFormMain
{
public:
    QString NextFileName;
    QStringList Asked;

protected:
    QString PickLogFileName(const QString& title, bool) override
    {
        Asked.append(title);
        return NextFileName;
    }
};

class TrafficLogTest : public FormLineTest
{
protected:
    QTemporaryDir Dir;
    QString PathOf(const char* name) const { return Dir.filePath(QString::fromLatin1(name)); }
};

// A log of its own with a small cap, on a plain log area.
struct TSmallLog {
    explicit TSmallLog(int cap) : Log(&Memo, cap)
    {
        Log.OnShowMessage = [this](const QString& text) { Messages.append(text); };
    }
    QPlainTextEdit Memo;
    TTrafficLog Log;
    QStringList Messages;
};

TEST_F(TrafficLogTest, SavedFileIsTheLogAsShownAndCtrlSReachesItFromTheLog)
{
    TPeerLine line(41);
    TLogForm form;
    Connect(form, line);
    ASSERT_TRUE(line.WaitForBytes(16));
    line.Write(">0t0001<" + FrameMessage("0t0001").substr(8) + "\r\n");
    ASSERT_TRUE(PumpUntil([&] { return Log(form).contains(">0t0001<"); }));
    form.ButtonSaveComConnection->click();
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));

    form.NextFileName = PathOf("saved.txt");
    form.MemoPolling->setFocus();
    QTest::keySequence(&form, QKeySequence::Save);
    ASSERT_EQ(form.Asked, QStringList{QStringLiteral("Save log as")});
    EXPECT_EQ(FileBytes(form.NextFileName), Log(form));

    // As shown: with time stamps and names the file has them too, and still equals the window.
    form.TrafficLog->SetOptions({.Timestamps = true, .ControlBytes = true});
    form.TrafficLog->ActionSave->trigger();
    EXPECT_EQ(FileBytes(form.NextFileName), Log(form));
    EXPECT_THAT(Log(form).toStdString(), testing::HasSubstr("<CR><LF>"));

    // A place that cannot be written is said once, and the log stays.
    form.NextFileName = PathOf("no-such-dir/saved.txt");
    form.TrafficLog->ActionSave->trigger();
    ASSERT_TRUE(PumpUntil([&] { return !form.Messages.isEmpty(); }));
    EXPECT_THAT(form.Messages.join(u'\n').toStdString(), testing::HasSubstr("could not be saved"));
    EXPECT_GE(form.MemoPolling->blockCount(), 3);
}

TEST_F(TrafficLogTest, SavedBytesAboveAsciiSurviveAsUtf8OfTheirLatin1Characters)
{
    TSmallLog log(10);
    log.Log.AppendTraffic(">>> ", std::string("A\xE4\xFF\x7F") + "\x03");
    QTemporaryDir dir;
    QString error;
    ASSERT_TRUE(log.Log.SaveTo(dir.filePath(QStringLiteral("a.txt")), error)) << error.toStdString();
    const QByteArray saved = FileBytes(dir.filePath(QStringLiteral("a.txt")));
    EXPECT_EQ(QString::fromUtf8(saved).toLatin1(), QByteArray(">>> A\xE4\xFF\x7F\n"));
}

TEST_F(TrafficLogTest, RecordingKeepsEveryLinePastTheCap)
{
    TSmallLog log(5);
    QString error;
    const QString path = Dir.filePath(QStringLiteral("rec.txt"));
    ASSERT_TRUE(log.Log.StartRecording(path, error)) << error.toStdString();
    QByteArray expected = log.Log.ShownText().toUtf8() + '\n'; // the line that says where it goes
    for (int i = 0; i < 40; ++i) {
        const std::string request = FrameMessage(std::to_string(i % 10) + "T") + "\r\n";
        log.Log.AppendTraffic({}, request);
        expected += QByteArray::fromStdString(request.substr(0, 6)) + '\n';
        // Every line is in the file as soon as it is logged.
        ASSERT_EQ(FileBytes(path), expected) << "line " << i;
    }
    EXPECT_EQ(log.Log.Lines().size(), 5u);
    log.Log.Flush();
    EXPECT_EQ(log.Memo.blockCount(), 5);
    log.Log.StopRecording();
    log.Log.AppendTraffic({}, "not recorded");
    EXPECT_THAT(FileBytes(path).toStdString(), testing::EndsWith(" stopped.\n"));
    EXPECT_TRUE(log.Messages.isEmpty());
}

TEST_F(TrafficLogTest, RecordedFileRemovedStopsRecordingWithOneMessageAndTheLogGoesOn)
{
    TPeerLine line(42);
    TLogForm form;
    form.NextFileName = PathOf("rec.txt");
    form.MemoPolling->setFocus();
    Connect(form, line);
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    form.MemoPolling->setFocus();
    QTest::keyClick(form.MemoPolling, Qt::Key_R, Qt::ControlModifier);
    ASSERT_TRUE(form.TrafficLog->Recording());
    EXPECT_TRUE(form.TrafficLog->ActionRecord->isChecked());
    ASSERT_TRUE(PumpUntil([&] { return FileBytes(form.NextFileName).count('\n') >= 3; }));

    ASSERT_EQ(::unlink(QFile::encodeName(form.NextFileName).constData()), 0);
    const int before = form.MemoPolling->blockCount();
    ASSERT_TRUE(PumpUntil([&] { return !form.Messages.isEmpty(); }));
    EXPECT_FALSE(form.TrafficLog->Recording());
    EXPECT_FALSE(form.TrafficLog->ActionRecord->isChecked());
    EXPECT_THAT(form.Messages.first().toStdString(), testing::HasSubstr("removed"));
    EXPECT_THAT(Log(form).toStdString(), testing::HasSubstr("*** Recording to "));
    // Polls go on, logged in the window only, and nothing more is said.
    ASSERT_TRUE(PumpUntil([&] { return form.MemoPolling->blockCount() >= before + 4; }));
    EXPECT_EQ(form.Messages.size(), 1);
    EXPECT_FALSE(QFile::exists(form.NextFileName));
    EXPECT_TRUE(Errors.empty());
}

TEST_F(TrafficLogTest, FullDiskAndUnwritablePlacesAreToldOnce)
{
    TSmallLog log(100);
    QString error;
    ASSERT_TRUE(log.Log.StartRecording(QStringLiteral("/dev/full"), error)) << error.toStdString();
    EXPECT_FALSE(log.Log.Recording()); // its own first line already met the full disk
    log.Log.AppendTraffic({}, ">0T<FE\r\n");
    ASSERT_TRUE(PumpUntil([&] { return !log.Messages.isEmpty(); }));
    PumpPastOnePoll();
    ASSERT_EQ(log.Messages.size(), 1);
    EXPECT_THAT(log.Messages.first().toStdString(), testing::HasSubstr(std::strerror(ENOSPC)));
    EXPECT_EQ(log.Log.Lines().back().Text, ">0T<FE\r\n");

    if (::geteuid() != 0) { // root writes anywhere
        const QString locked = Dir.filePath(QStringLiteral("locked"));
        ASSERT_EQ(::mkdir(QFile::encodeName(locked).constData(), 0500), 0);
        EXPECT_FALSE(log.Log.StartRecording(locked + QStringLiteral("/rec.txt"), error));
        EXPECT_FALSE(error.isEmpty());
    }
    EXPECT_FALSE(log.Log.StartRecording(Dir.filePath(QStringLiteral("missing/rec.txt")), error));
    EXPECT_FALSE(log.Log.Recording());
}

TEST_F(TrafficLogTest, TimestampsAndControlNamesShowOnlyWhenOnAndNeverOnTheWire)
{
    TPeerLine line(43);
    TLogForm form;
    form.RadioButtonListen->setChecked(true);
    Connect(form, line);
    const std::string messages = "\x02"
                                 "A1\x03"
                                 "\x02\r\n\x03"
                                 "x\xE4\x7F\x03";
    const QByteArray wire("\x02J1\x03\x02\r\n\x03x\xE4\x7F\x03");
    line.Write(messages);
    ASSERT_TRUE(line.WaitForBytes(wire.size()));
    const QByteArray plain(">>> A1\n<<< J1\n>>> \n<<< \n>>> x\xE4\x7F\n<<< x\xE4\x7F\n");
    ASSERT_TRUE(PumpUntil([&] { return Log(form) == plain; })) << Log(form).toStdString();

    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    form.MemoPolling->setFocus();
    QTest::keyClick(form.MemoPolling, Qt::Key_H, Qt::ControlModifier);
    EXPECT_EQ(Log(form), QByteArray(">>> <STX>A1<ETX>\n<<< <STX>J1<ETX>\n>>> <STX><CR><LF><ETX>\n"
                                    "<<< <STX><CR><LF><ETX>\n>>> x<E4><DEL><ETX>\n<<< x<E4><DEL><ETX>\n"));

    QTest::keyClick(form.MemoPolling, Qt::Key_T, Qt::ControlModifier);
    const QStringList lines = form.MemoPolling->toPlainText().split(u'\n');
    ASSERT_EQ(lines.size(), 6);
    const QRegularExpression stamped(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d (>>>|<<<) <STX>"));
    for (const QString& shown : lines.mid(0, 4))
        EXPECT_TRUE(stamped.match(shown).hasMatch()) << shown.toStdString();

    // New traffic under both options: still answered byte for byte as before.
    line.Write("\x02"
               "AR\x03");
    ASSERT_TRUE(line.WaitForBytes(wire.size() + 4));
    EXPECT_EQ(line.Received, wire + QByteArray("\x02JY\x03"));
    ASSERT_TRUE(PumpUntil([&] { return form.MemoPolling->blockCount() == 8; }));
    EXPECT_TRUE(form.MemoPolling->toPlainText().endsWith(QStringLiteral(" <<< <STX>JY<ETX>")));

    // Both off: the plain log again, to the byte.
    QTest::keyClick(form.MemoPolling, Qt::Key_T, Qt::ControlModifier);
    QTest::keyClick(form.MemoPolling, Qt::Key_H, Qt::ControlModifier);
    EXPECT_EQ(Log(form), plain + ">>> AR\n<<< JY\n");
    EXPECT_TRUE(Errors.empty());
}

TEST_F(TrafficLogTest, PollRequestsShowTheirLineEndOnlyWithControlNames)
{
    TPeerLine line(44);
    TLogForm form;
    form.TrafficLog->SetOptions({.Timestamps = false, .ControlBytes = true});
    Connect(form, line);
    ASSERT_TRUE(line.WaitForBytes(16));
    form.ButtonSaveComConnection->click();
    EXPECT_EQ(line.Received.left(16), Polls(2));
    EXPECT_TRUE(Log(form).startsWith(">0T<FE<CR><LF>\n>1T<FF<CR><LF>\n")) << Log(form).toStdString();
    form.TrafficLog->SetOptions({});
    EXPECT_TRUE(Log(form).startsWith(Polls(2, "\n"))) << Log(form).toStdString();
}

TEST_F(TrafficLogTest, ContextMenuOffersTheToolsAfterCopyAndSelectAll)
{
    TLogForm form;
    form.show();
    QStringList entries;
    // The menu runs its own loop; it is read and closed from there.
    QTimer::singleShot(0, [&] {
        PumpUntil([] { return QApplication::activePopupWidget() != nullptr; }, 5000);
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            for (QAction* action : menu->actions())
                if (!action->isSeparator())
                    entries.append(action->text().split(u'\t').first().remove(u'&'));
            menu->close();
        }
    });
    emit form.MemoPolling->customContextMenuRequested(QPoint(10, 10));
    ASSERT_GE(entries.size(), 6);
    EXPECT_EQ(entries.mid(entries.size() - 6),
              (QStringList{QStringLiteral("Save log as…"), QStringLiteral("Record to file…"),
                           QStringLiteral("Timestamps"), QStringLiteral("Show control bytes"),
                           QStringLiteral("Clear log"), QStringLiteral("Bus overview")}));
    EXPECT_TRUE(entries.contains(QStringLiteral("Copy")));
    EXPECT_EQ(form.TrafficLog->ActionSave->shortcut(), QKeySequence(QKeySequence::Save));
    EXPECT_FALSE(form.TrafficLog->ActionTimestamps->isChecked());
    EXPECT_FALSE(form.TrafficLog->ActionControlBytes->isChecked());
}

TEST_F(TrafficLogTest, ABurstIsDrawnInOneFrameInOrderAndCapped)
{
    // The model has every line at once; the view gets a burst within a frame, in one piece, with
    // what the cap keeps, and nothing waits once the frame has passed.
    TSmallLog log(5);
    log.Log.AppendTraffic({}, "first");
    log.Log.Flush();
    for (int i = 0; i < 12; ++i)
        log.Log.AppendTraffic(">>> ", std::to_string(i), "\t[A]");
    EXPECT_EQ(log.Log.Lines().size(), 5u);
    EXPECT_EQ(log.Log.Lines().back().Text, ">>> 11\t[A]");
    EXPECT_EQ(log.Memo.toPlainText(), QStringLiteral("first"));
    ASSERT_TRUE(PumpUntil([&] { return log.Memo.toPlainText() != QStringLiteral("first"); }));
    EXPECT_EQ(log.Memo.toPlainText(), log.Log.ShownText(true));
    EXPECT_EQ(log.Memo.blockCount(), 5);
    EXPECT_EQ(log.Memo.toPlainText().split(u'\n').front(), QStringLiteral(">>> 7\t[A]"));

    // Switching an option shows the model again: nothing is drawn twice after it.
    log.Log.AppendTraffic({}, "12");
    log.Log.SetOptions({true, false});
    log.Log.Flush();
    EXPECT_EQ(log.Memo.blockCount(), 5);
    EXPECT_EQ(log.Memo.toPlainText(), log.Log.ShownText()); // the view's text gives a space for the stamp's
}

TEST_F(TrafficLogTest, ClearEmptiesTheLogAndARecordingGoesOn)
{
    TSmallLog log(10);
    const QString path = Dir.filePath(QStringLiteral("rec.txt"));
    QString error;
    ASSERT_TRUE(log.Log.StartRecording(path, error));
    log.Log.AppendTraffic({}, "one");
    log.Log.ActionClear->trigger();
    EXPECT_TRUE(log.Log.Lines().empty());
    EXPECT_TRUE(log.Memo.toPlainText().isEmpty());
    log.Log.AppendTraffic({}, "two");
    log.Log.Flush();
    EXPECT_EQ(log.Memo.toPlainText(), QStringLiteral("two"));
    EXPECT_THAT(FileBytes(path).toStdString(), testing::EndsWith("one\ntwo\n"));
}

} // namespace
