// The port selection dialog on the offscreen platform: what it lists among linked ports that are
// usable, held elsewhere or gone, and what OK, Cancel and closing it do to an open that needs a port.
#include "serial/port/ComSelectForm.h"

#include "HeldElsewhere.h"
#include "platform/posix/devicemap.h"
#include "runtime/qt/QtApplication.h"
#include "serial/port/AdSelCom.h"
#include "serial/port/ApdComPort.h"
#include "serial/port/ApdExceptions.h"
#include "tests/support/PtyPair.h"
#include "tests/support/ScopedDeviceMap.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <gmock/gmock.h>

#include <functional>
#include <memory>

namespace
{

using testing::ElementsAre;

QStringList Entries(const TComSelectForm& form)
{
    QStringList entries;
    for (int i = 0; i < form.PortsComboBox->count(); ++i)
        entries.append(form.PortsComboBox->itemText(i));
    return entries;
}

/// Runs `act` on the selection dialog once it is shown modally; a dialog still open after 10 s is
/// rejected, so that a test that goes wrong ends instead of waiting in the dialog for ever.
class TWhenShown
{
public:
    explicit TWhenShown(std::function<void(TComSelectForm&)> act) : Act(std::move(act))
    {
        QObject::connect(&Poll, &QTimer::timeout, [this] {
            auto* form = qobject_cast<TComSelectForm*>(QApplication::activeModalWidget());
            if (!form)
                return;
            if (!Acted) {
                Acted = true;
                Entries = ::Entries(*form);
                Act(*form);
            } else if (++Ticks > 1000) {
                form->reject();
            }
        });
        Poll.start(10);
    }
    bool Acted = false;
    QStringList Entries;

private:
    std::function<void(TComSelectForm&)> Act;
    QTimer Poll;
    int Ticks = 0;
};

class ComSelectForm : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { InstallRuntimeBridge(QCoreApplication::instance()); }

    void SetUp() override
    {
        // Only the links of the test count: the machine's own serial ports stay out of the list.
        platform::SetSysClassTtyRootForTesting(map.Directory() + "/no-sysfs");
        map.Link(4, free.SlavePath());
        map.Link(9, held.SlavePath());
        map.Link(12, map.Directory() + "/gone");
        holder = std::make_unique<THeldElsewhere>(held.SlavePath());
        ASSERT_TRUE(holder->Held());
    }
    void TearDown() override
    {
        port.SetOpen(false);
        platform::SetSysClassTtyRootForTesting("");
    }

    /// Opens the port with ComNumber 0, acting in the dialog as `act` says.
    /// @return the entries the dialog listed.
    QStringList OpenThroughDialog(std::function<void(TComSelectForm&)> act)
    {
        TWhenShown shown(std::move(act));
        port.SetOpen(true);
        EXPECT_TRUE(shown.Acted) << "the dialog was not shown";
        return shown.Entries;
    }

    testsupport::ScopedDeviceMap map;
    testsupport::PtyPair free, held;
    std::unique_ptr<THeldElsewhere> holder;
    TApdComPort port;
};

} // namespace

TEST_F(ComSelectForm, ElementsTextsAndTheUsablePortsInOrder)
{
    map.Link(1, free.SlavePath()); // one device under two names: both usable
    map.Link(51, free.SlavePath());
    TComSelectForm form;
    EXPECT_EQ(form.windowTitle(), "Select Port");
    EXPECT_EQ(form.size(), QSize(220, 131));
    EXPECT_EQ(form.Label1->text(), "The configured serial port is not valid.");
    EXPECT_EQ(form.Label2->text(), "Please choose another port.");
    EXPECT_FALSE(form.PortsComboBox->isEditable());
    EXPECT_EQ(form.OkBtn->text(), "OK");
    EXPECT_TRUE(form.OkBtn->isDefault());
    EXPECT_EQ(form.AbortBtn->text(), "Cancel");

    // Usable and held ports, never the dangling link nor a number above 50.
    EXPECT_THAT(Entries(form), ElementsAre("COM1", "COM4", "COM9"));
    EXPECT_EQ(form.PortsComboBox->currentIndex(), 0);
    EXPECT_EQ(form.ChosenNumber(), 1);
    form.PortsComboBox->setCurrentIndex(2);
    EXPECT_EQ(form.ChosenNumber(), 9);
}

TEST_F(ComSelectForm, OkOpensOnTheChosenPort)
{
    port.SetPromptForPort(true);
    const QStringList listed = OpenThroughDialog([](TComSelectForm& form) { form.OkBtn->click(); });
    EXPECT_THAT(listed, ElementsAre("COM4", "COM9"));
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(port.ComNumber(), 4);
    port.SendString("picked");
    EXPECT_EQ(free.ReadExactly(6), "picked");
}

TEST_F(ComSelectForm, AHeldPortIsListedButOpeningItFailsAsAlreadyOpen)
{
    EXPECT_THROW(OpenThroughDialog([](TComSelectForm& form) {
                     form.PortsComboBox->setCurrentIndex(1);
                     form.OkBtn->click();
                 }),
                 EAlreadyOpen);
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.ComNumber(), 9);
}

TEST_F(ComSelectForm, CancelClosingAndAnEmptyListLeaveThePortClosed)
{
    const std::function<void(TComSelectForm&)> cancels[] = {
        [](TComSelectForm& form) { form.AbortBtn->click(); },
        [](TComSelectForm& form) { form.close(); }, // the title bar's close
    };
    for (const auto& cancel : cancels) {
        EXPECT_THROW(OpenThroughDialog(cancel), ENoPortSelected);
        EXPECT_FALSE(port.Open());
        EXPECT_EQ(port.ComNumber(), 0);
    }

    map.Unlink(4);
    holder.reset();
    map.Unlink(9);
    QStringList listed;
    try {
        listed = OpenThroughDialog([](TComSelectForm& form) { form.OkBtn->click(); });
        ADD_FAILURE() << "opened with nothing chosen";
    } catch (const EListError& error) {
        EXPECT_EQ(error.Message(), "List index out of bounds (-1)");
    }
    EXPECT_FALSE(port.Open());
    EXPECT_THROW(OpenThroughDialog([](TComSelectForm& form) {
                     EXPECT_EQ(form.PortsComboBox->currentIndex(), -1);
                     form.AbortBtn->click();
                 }),
                 ENoPortSelected);
}

TEST_F(ComSelectForm, WithoutPromptingNoDialogIsShown)
{
    port.SetPromptForPort(false);
    TWhenShown shown([](TComSelectForm& form) { form.OkBtn->click(); });
    EXPECT_THROW(port.SetOpen(true), ENoPortSelected);
    EXPECT_FALSE(shown.Acted);
}
