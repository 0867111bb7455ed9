// Radio group: keeps the selected index in step with the buttons and lays them out evenly.
#include "app/RadioGroup.h"

#include <QEvent>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionGroupBox>

#include <algorithm>

TRadioGroup::TRadioGroup(const QString& caption, QWidget* parent) : QGroupBox(caption, parent) {}

QStringList TRadioGroup::Items() const
{
    QStringList items;
    for (const QRadioButton* button : FButtons)
        items.append(button->text());
    return items;
}

void TRadioGroup::AddItem(const QString& text)
{
    auto* button = new QRadioButton(text, this);
    button->setObjectName(QStringLiteral("%1Item%2").arg(objectName()).arg(FButtons.size()));
    // Buttons of one box exclude each other because they are siblings; the box holds no others.
    connect(button, &QRadioButton::toggled, this,
            [this, button](bool checked) { ButtonToggled(button, checked); });
    FButtons.push_back(button);
    ArrangeButtons();
    if (isVisible())
        button->show();
}

void TRadioGroup::SetItemIndex(int index)
{
    if (index >= 0 && index < static_cast<int>(FButtons.size())) {
        // Checking the button reports through ButtonToggled, exactly as a click does.
        FButtons[static_cast<size_t>(index)]->setChecked(true);
        return;
    }
    FItemIndex = -1;
    for (QRadioButton* button : FButtons) {
        if (button->isChecked()) {
            // An exclusive button refuses to be unchecked; lift that for the moment.
            button->setAutoExclusive(false);
            button->setChecked(false);
            button->setAutoExclusive(true);
        }
    }
}

void TRadioGroup::ButtonToggled(QRadioButton* button, bool checked)
{
    if (!checked)
        return;
    const auto found = std::find(FButtons.begin(), FButtons.end(), button);
    if (found == FButtons.end())
        return;
    const int index = static_cast<int>(found - FButtons.begin());
    if (index == FItemIndex)
        return;
    FItemIndex = index;
    if (FOnClick)
        FOnClick(this);
}

void TRadioGroup::resizeEvent(QResizeEvent* event)
{
    QGroupBox::resizeEvent(event);
    ArrangeButtons();
}

void TRadioGroup::changeEvent(QEvent* event)
{
    QGroupBox::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        ArrangeButtons();
}

void TRadioGroup::ArrangeButtons()
{
    if (FButtons.empty())
        return;
    // One column, rows of equal height over the box's inside, the remainder split above and below,
    // so that the entries fill a box of fixed size however many there are.
    QStyleOptionGroupBox option;
    initStyleOption(&option);
    const QRect inside =
        style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxContents, this);
    const int count = static_cast<int>(FButtons.size());
    const int rowHeight = std::max(1, inside.height() / count);
    const int top = inside.top() + std::max(0, inside.height() - rowHeight * count) / 2;
    const int left = inside.left() + 6;
    const int width = std::max(1, inside.right() - left - 1);
    for (int row = 0; row < count; ++row)
        FButtons[static_cast<size_t>(row)]->setGeometry(left, top + row * rowHeight, width, rowHeight);
}
