// Radio group: the selected index follows clicks and SetItemIndex, OnClick runs once per change of
// selection, and the entries fit one column inside the box.
#include "app/RadioGroup.h"

#include <QRadioButton>

#include <gmock/gmock.h>

#include <vector>

namespace
{

class RadioGroupTest : public testing::Test
{
protected:
    void SetUp() override
    {
        group.setGeometry(0, 0, 129, 115);
        for (const char* text : {"1200", "2400", "4800", "9600", "19200", "38400"})
            group.AddItem(QString::fromLatin1(text));
        group.SetOnClick([this](TRadioGroup* sender) { clicks.push_back(sender->ItemIndex()); });
    }

    QList<QRadioButton*> Buttons() const { return group.findChildren<QRadioButton*>(); }

    TRadioGroup group{QStringLiteral("Baudrate")};
    std::vector<int> clicks;
};

TEST_F(RadioGroupTest, OnClickRunsOncePerChangeOfSelection)
{
    struct Step {
        const char* what;
        int index;
        std::vector<int> clicksAfter;
    };
    const Step steps[] = {
        {"first selection", 3, {3}},
        {"same entry again", 3, {3}},
        {"another entry", 0, {3, 0}},
        {"past the end clears silently", 6, {3, 0}},
        {"selecting again after a clear", 0, {3, 0, 0}},
        {"minus one clears silently", -1, {3, 0, 0}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        group.SetItemIndex(step.index);
        EXPECT_EQ(clicks, step.clicksAfter);
        EXPECT_EQ(group.ItemIndex(), step.index >= 0 && step.index < 6 ? step.index : -1);
        const QList<QRadioButton*> buttons = Buttons();
        for (int i = 0; i < buttons.size(); ++i)
            EXPECT_EQ(buttons[i]->isChecked(), i == group.ItemIndex()) << "button " << i;
    }
}

TEST_F(RadioGroupTest, AUsersClickSelectsLikeSetItemIndex)
{
    group.SetItemIndex(3);
    Buttons()[1]->click();
    Buttons()[1]->click(); // the entry that is already selected
    EXPECT_EQ(group.ItemIndex(), 1);
    EXPECT_EQ(clicks, (std::vector<int>{3, 1}));
}

TEST_F(RadioGroupTest, EntriesFillOneColumnInsideTheBox)
{
    group.show();
    int previousBottom = 0;
    for (const QRadioButton* button : Buttons()) {
        SCOPED_TRACE(button->text().toStdString());
        const QRect area = button->geometry();
        EXPECT_TRUE(group.rect().contains(area));
        EXPECT_GE(area.top(), previousBottom);
        EXPECT_GE(area.height(), button->fontMetrics().height()) << "the text would be cut off";
        EXPECT_TRUE(button->isVisible());
        previousBottom = area.bottom() + 1;
    }
    group.AddItem(QStringLiteral("57600")); // added while shown: it must appear too
    EXPECT_TRUE(Buttons().back()->isVisible());
}

} // namespace
