// The port selection dialog: the usable ports as "COM<n>" in a drop-down list, with OK and Cancel.
#pragma once

#include <QDialog>

#include <cstdint>

class QComboBox;
class QFrame;
class QLabel;
class QPushButton;

/// Creation lists every port from 1 to 50 that PortValid accepts, in increasing order, and selects
/// the first. OK closes with mrOk, Cancel with mrAbort; closing by the title bar gives Rejected.
/// Thread: the thread of the widget application.
class TComSelectForm : public QDialog
{
    Q_OBJECT

public:
    static constexpr int mrOk = 1;
    static constexpr int mrAbort = 3;

    explicit TComSelectForm(QWidget* parent = nullptr);

    /// The number of the selected entry (COM12 gives 12).
    /// @throws EListError when no entry is selected.
    uint16_t ChosenNumber() const;

    QLabel* Label1;
    QLabel* Label2;
    QFrame* Bevel1;
    QComboBox* PortsComboBox;
    QPushButton* OkBtn;
    QPushButton* AbortBtn;
};
