// The window's port list against the live device map of a simulated 4.18 kernel: filled when the
// window is shown, each entry's device as its tool tip, and filled again when it drops down.
#include "app/FrmMain.h"
#include "app/PortComboBox.h"

#include "platform/posix/devicemap.h"
#include "platform/win32.h"
#include "tests/support/ScopedDeviceMap.h"

#include <QAbstractItemView>
#include <QTemporaryDir>

#include <gmock/gmock.h>

#include <filesystem>
#include <ostream>
#include <string>

// Readable failure messages: the names, not their UTF-16 bytes.
void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace
{

QStringList Items(const QComboBox* combo)
{
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items.append(combo->itemText(i));
    return items;
}

QString ToolTip(const QComboBox* combo, const QString& name)
{
    return combo->itemData(combo->findText(name), Qt::ToolTipRole).toString();
}

QString Node(const char* path) { return QString::fromStdString(std::filesystem::canonical(path).string()); }

// A machine with no serial hardware of its own, a 4.18 kernel and a private device-map directory.
class PortListWindow : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sys_.isValid());
        platform::SetSysClassTtyRootForTesting(sys_.path().toStdString());
        platform::SetKernelReleaseForTesting("4.18.0-553.el8_10.x86_64");
    }
    void TearDown() override
    {
        platform::SetKernelReleaseForTesting("");
        platform::SetSysClassTtyRootForTesting("");
    }

    QTemporaryDir sys_;
    testsupport::ScopedDeviceMap map_;
};

TEST_F(PortListWindow, AnAdapterPluggedInLaterAppearsAtTheNextDropDownBehindTheOthers)
{
    map_.Link(3, "/dev/null");
    map_.Link(1, "/dev/zero");
    TFormMain form;
    form.show();
    TPortComboBox* list = form.ComboBoxCOM;
    ASSERT_EQ(Items(list), QStringList({"COM1", "COM3"}));
    EXPECT_EQ(list->currentText(), QStringLiteral("COM1"));
    EXPECT_EQ(ToolTip(list, "COM1"), Node("/dev/zero"));
    EXPECT_EQ(ToolTip(list, "COM3"), Node("/dev/null"));

    list->setCurrentIndex(1);
    map_.Link(2, "/dev/full");
    map_.Unlink(1);
    list->showPopup();
    EXPECT_TRUE(list->view()->isVisible());
    EXPECT_EQ(Items(list), QStringList({"COM1", "COM3", "COM2"})) << "new names come last, gone ones stay";
    EXPECT_EQ(list->currentText(), QStringLiteral("COM3"));
    EXPECT_EQ(ToolTip(list, "COM2"), Node("/dev/full"));
    EXPECT_TRUE(ToolTip(list, "COM1").isEmpty()) << "a gone port names no device";
    list->hidePopup();

    // The port list is still the stored control.
    EXPECT_EQ(list->objectName(), QStringLiteral("ComboBoxCOM"));
    EXPECT_EQ(list->geometry(), QRect(24, 155, 125, 21));
    EXPECT_FALSE(list->isEditable());
}

TEST_F(PortListWindow, APortFoundAtDropDownIsOfferedNotChosen)
{
    TFormMain form;
    form.show();
    TPortComboBox* list = form.ComboBoxCOM;
    ASSERT_EQ(list->count(), 0);

    map_.Link(5, "/dev/null");
    list->showPopup();
    EXPECT_EQ(Items(list), QStringList({"COM5"}));
    EXPECT_EQ(list->currentIndex(), -1);
    EXPECT_TRUE(list->currentText().isEmpty());
    list->hidePopup();
}

} // namespace
