// Main window: its controls and start state, the port list it fills when shown, and the link
// label's hover and click.
#include "app/FrmMain.h"

#include "app/RadioGroup.h"
#include "app/UrlLabel.h"
#include "platform/win32.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QEnterEvent>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <gmock/gmock.h>

#include <functional>
#include <string>
#include <vector>

namespace
{

// Pumps events until the condition holds or the time is up; returns the condition.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 10000)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

// A machine whose device map lists the given values (name, data) as REG_SZ strings.
class InjectedPorts
{
public:
    explicit InjectedPorts(const std::vector<std::pair<std::string, std::string>>& values)
    {
        version.dwOSVersionInfoSize = sizeof(version);
        version.dwMajorVersion = 6;
        version.dwMinorVersion = 1;
        version.dwPlatformId = VER_PLATFORM_LINUX;
        platform::SetVersionForTesting(&version);
        platform::RegistryKey key;
        key.path = "\\hardware\\devicemap\\serialcomm";
        for (const auto& [name, data] : values)
            key.values.push_back({name, REG_SZ, data});
        keys.push_back(key);
        platform::SetRegistryForTesting(&keys);
    }
    ~InjectedPorts()
    {
        platform::SetRegistryForTesting(nullptr);
        platform::SetVersionForTesting(nullptr);
    }

private:
    OSVERSIONINFOA version{};
    std::vector<platform::RegistryKey> keys;
};

QStringList ComboItems(const QComboBox* combo)
{
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items.append(combo->itemText(i));
    return items;
}

TEST(FormMainTest, StartsWithTheStoredControlsAndState)
{
    TFormMain form;
    EXPECT_EQ(form.windowTitle(), QStringLiteral("  ORV / ODL - Lintaker  -  11/12/2014"));
    EXPECT_EQ(form.minimumSize(), QSize(611, 478));
    EXPECT_EQ(form.maximumSize(), QSize(611, 478));
    const Qt::WindowFlags flags = form.windowFlags();
    EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Window) << "a tool window would leave the task bar";
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));

    // Every control can be found by its name; a few must sit exactly where the layout needs them.
    const std::pair<const char*, QRect> placed[] = {
        {"PanelMain", QRect(0, 0, 611, 478)},
        {"PanelHeader", QRect(0, 0, 611, 121)},
        {"ImageLogo", QRect(32, 27, 300, 64)},
        {"ButtonSaveComConnection", QRect(24, 183, 125, 35)},
        {"RadioGroupBaudrate", QRect(312, 126, 129, 115)},
        {"RadioGroupParameterRS232", QRect(456, 126, 129, 115)},
        {"MemoPolling", QRect(0, 249, 611, 229)},
    };
    for (const auto& [name, geometry] : placed) {
        const auto* widget = form.findChild<QWidget*>(QString::fromLatin1(name));
        ASSERT_NE(widget, nullptr) << name;
        EXPECT_EQ(QRect(widget->mapTo(&form, QPoint(0, 0)), widget->size()), geometry) << name;
    }
    for (const char* name : {"ComboBoxCOM", "CheckBoxProtocol", "Label13", "Label1", "RadioButtonPolling",
                             "RadioButtonListen", "LabelUrl"})
        EXPECT_NE(form.findChild<QWidget*>(QString::fromLatin1(name)), nullptr) << name;
    EXPECT_FALSE(form.ImageLogo->pixmap().isNull()) << "the logo resource is not linked in";

    EXPECT_EQ(form.ButtonSaveComConnection->text(), QStringLiteral("Connect"));
    EXPECT_TRUE(form.RadioButtonPolling->isChecked());
    EXPECT_FALSE(form.RadioButtonListen->isChecked());
    EXPECT_TRUE(form.CheckBoxProtocol->isHidden());
    EXPECT_EQ(form.RadioGroupBaudrate->Items(),
              QStringList({"1200", "2400", "4800", "9600", "19200", "38400"}));
    EXPECT_EQ(form.RadioGroupBaudrate->ItemIndex(), 3);
    EXPECT_EQ(form.RadioGroupParameterRS232->Items(),
              QStringList({"7-N-1", "7_E-1", "7-O-1", "8-N-1 (default)", "8-E-1", "8-O-1"}));
    EXPECT_EQ(form.RadioGroupParameterRS232->ItemIndex(), 3);
    EXPECT_TRUE(form.MemoPolling->toPlainText().isEmpty());
    EXPECT_FALSE(form.TimerPolling->isActive());
    EXPECT_EQ(form.TimerPolling->interval(), 500);
}

TEST(FormMainTest, ShowingFillsThePortListOnceAndSelectsTheFirst)
{
    const InjectedPorts ports({{"\\Device\\Serial0", "COM3"},
                               {"\\Device\\Serial1", "COM1"},
                               {"\\Device\\Other", "ttyX0"},
                               {"\\Device\\Serial2", "com3"}});
    TFormMain form;
    form.ComboBoxCOM->addItem(QStringLiteral("COM1")); // already listed: not added again
    form.ComboBoxCOM->setCurrentIndex(-1);
    form.show();
    EXPECT_EQ(ComboItems(form.ComboBoxCOM), QStringList({"COM1", "COM3"}));
    EXPECT_EQ(form.ComboBoxCOM->currentIndex(), 0);
    EXPECT_EQ(form.ComboBoxCOM->currentText(), QStringLiteral("COM1"));
    EXPECT_EQ(form.focusWidget(), form.ButtonSaveComConnection);

    // Shown again, the list is filled again, and nothing comes twice.
    form.ComboBoxCOM->setCurrentIndex(1);
    form.hide();
    form.show();
    EXPECT_EQ(ComboItems(form.ComboBoxCOM), QStringList({"COM1", "COM3"}));
    EXPECT_EQ(form.ComboBoxCOM->currentIndex(), 0);
}

TEST(FormMainTest, WithoutPortsTheListAndItsTextStayEmpty)
{
    const InjectedPorts ports({});
    TFormMain form;
    form.show();
    EXPECT_EQ(form.ComboBoxCOM->count(), 0);
    EXPECT_TRUE(form.ComboBoxCOM->currentText().isEmpty());
    EXPECT_EQ(form.focusWidget(), form.ButtonSaveComConnection);
}

TEST(FormMainTest, HoveringTheLinkChangesTheCursorForTheWholeApplication)
{
    TFormMain form;
    form.show();
    TUrlLabel* label = form.LabelUrl;
    EXPECT_TRUE(label->font().underline());
    EXPECT_FALSE(label->font().bold());
    ASSERT_EQ(QGuiApplication::overrideCursor(), nullptr);

    const QPointF inside(5, 5);
    QEnterEvent enter(inside, inside, label->mapToGlobal(inside));
    // Entering twice (the window system may report it again) must still leave one cursor to undo.
    for (int i = 0; i < 2; ++i) {
        QCoreApplication::sendEvent(label, &enter);
        ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
        EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::PointingHandCursor);
        EXPECT_TRUE(label->font().bold());
        EXPECT_TRUE(label->font().underline());
    }

    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(label, &leave);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_FALSE(label->font().bold());
    EXPECT_TRUE(label->font().underline());
}

TEST(FormMainTest, TheLinkCaptionIsTheUserGuideBesideTheProgram)
{
    TFormMain form;
    const QString caption = form.LabelUrl->text();
    EXPECT_TRUE(QDir::isAbsolutePath(caption));
    EXPECT_TRUE(QFile::exists(caption)) << "the build does not put the guide beside the executables";

    // A caption too wide for the label is drawn shortened, but stays whole as the text a click opens.
    const QString longPath =
        QStringLiteral("/home/technician/field-service/lintaker/install/bin/UserGuide.html");
    form.LabelUrl->setText(longPath);
    const QString shown = form.LabelUrl->ShownText();
    EXPECT_LE(form.LabelUrl->fontMetrics().horizontalAdvance(shown), form.LabelUrl->contentsRect().width());
    EXPECT_THAT(shown.toStdString(), testing::MatchesRegex("/home/\u2026/.*bin/UserGuide\\.html"));
    EXPECT_EQ(form.LabelUrl->text(), longPath);
}

TEST(FormMainTest, TheGuideIsTheInstalledOneElseTheOneBesideTheProgram)
{
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QDir prefix(root.path());
    ASSERT_TRUE(prefix.mkpath(QStringLiteral("bin")));
    const QString bin = prefix.filePath(QStringLiteral("bin"));
    const QString installed = prefix.filePath(QStringLiteral("share/doc/lintaker/UserGuide.html"));
    const QString beside = prefix.filePath(QStringLiteral("bin/UserGuide.html"));
    const auto put = [](const QString& path) {
        QFile file(path);
        return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly);
    };

    // With no guide anywhere the caption still names where an installation puts it.
    EXPECT_EQ(TFormMain::UserGuidePathFor(bin), installed);
    // A build tree: the guide beside the executable.
    ASSERT_TRUE(put(beside));
    EXPECT_EQ(TFormMain::UserGuidePathFor(bin), beside);
    // Installed, the documentation folder wins over a guide an older installation left in bin/.
    ASSERT_TRUE(put(installed));
    EXPECT_EQ(TFormMain::UserGuidePathFor(bin), installed);
}

TEST(FormMainTest, ClickingTheLinkOpensItsCaptionThroughTheShell)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString record = dir.filePath(QStringLiteral("opened.txt"));
    const QString opener = dir.filePath(QStringLiteral("open.sh"));
    {
        QFile script(opener);
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        // Written aside and renamed, so the test never reads half a record.
        script.write(QStringLiteral("#!/bin/sh\nprintf '%s' \"$1\" > '%1.tmp' && mv '%1.tmp' '%1'\n")
                         .arg(record)
                         .toLocal8Bit());
        script.close();
        ASSERT_TRUE(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }
    platform::SetOpenCommandForTesting(opener.toStdString());

    TFormMain form;
    form.show();
    TUrlLabel* label = form.LabelUrl;
    const QPointF inside(5, 5);
    const QPointF global = label->mapToGlobal(inside);
    QMouseEvent press(QEvent::MouseButtonPress, inside, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, inside, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QCoreApplication::sendEvent(label, &press);
    QCoreApplication::sendEvent(label, &release);

    const bool opened = WaitUntil([&] { return QFile::exists(record); });
    platform::SetOpenCommandForTesting("");
    ASSERT_TRUE(opened) << "the open command was not started";
    QFile file(record);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromLocal8Bit(file.readAll()), label->text());
}

} // namespace

namespace
{

class TDetailsForm : public TFormMain
{
public:
    using TFormMain::ShowDetailedMessage;
};

// Runs `show` and reads the message box it opens, then closes it; bounded by a deadline.
struct TShownBox {
    QString Text;
    QString Details;
    bool Seen = false;
};
TShownBox ReadBox(const std::function<void()>& show)
{
    TShownBox shown;
    QTimer watcher;
    QDeadlineTimer deadline(10000);
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            shown = {box->text(), box->detailedText(), true};
            box->accept();
        } else if (deadline.hasExpired()) {
            watcher.stop();
        }
    });
    watcher.start(10);
    show();
    return shown;
}

} // namespace

TEST(FormMainTest, AHeldPortKeepsItsMessageAndNamesTheHolderInTheDetails)
{
    TDetailsForm form;
    form.show();
    TShownBox box = ReadBox(
        [&] { form.ShowDetailedMessage("ie_Open - device already open", "held by picocom (process 1234)"); });
    ASSERT_TRUE(box.Seen);
    EXPECT_EQ(box.Text, "ie_Open - device already open");
    EXPECT_EQ(box.Details, "held by picocom (process 1234)");

    box = ReadBox([&] { form.ShowDetailedMessage("ie_Open - device already open", ""); });
    ASSERT_TRUE(box.Seen);
    EXPECT_EQ(box.Text, "ie_Open - device already open");
    EXPECT_EQ(box.Details, "") << "a box without details has no details button";
}
