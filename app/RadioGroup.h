// A radio group: a captioned box holding one column of radio buttons, one per entry, addressed
// by the index of the selected entry.
#pragma once

#include <QGroupBox>
#include <QStringList>

#include <functional>
#include <vector>

class QRadioButton;

class TRadioGroup : public QGroupBox
{
    Q_OBJECT

public:
    using TNotifyEvent = std::function<void(TRadioGroup* sender)>;

    explicit TRadioGroup(const QString& caption, QWidget* parent = nullptr);

    /// The entries' texts, in order.
    QStringList Items() const;
    /// Appends an entry (a new radio button at the bottom of the column); the selection stays.
    void AddItem(const QString& text);

    /// Index of the selected entry, -1 when none is.
    int ItemIndex() const { return FItemIndex; }
    /// Selects the entry at `index`, as a user's click on it does: OnClick runs when this
    /// changes the selection. An index outside the entries clears the selection without OnClick,
    /// since then there is no entry for the handler to act on.
    void SetItemIndex(int index);

    /// Runs on the user-interface thread whenever another entry becomes selected, by the user
    /// or through SetItemIndex. The handler may set the selection again.
    const TNotifyEvent& OnClick() const { return FOnClick; }
    void SetOnClick(TNotifyEvent handler) { FOnClick = std::move(handler); }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void ButtonToggled(QRadioButton* button, bool checked);
    void ArrangeButtons();

    std::vector<QRadioButton*> FButtons;
    int FItemIndex = -1;
    TNotifyEvent FOnClick;
};
