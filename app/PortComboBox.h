// The port list of the main window: a drop-down list of COM names that looks for the machine's
// ports again each time it drops down, so an adapter plugged in after start can be chosen.
#pragma once

#include <QComboBox>

/// A QComboBox whose entries are port names. Thread: the user-interface thread only.
class TPortComboBox : public QComboBox
{
    Q_OBJECT

public:
    explicit TPortComboBox(QWidget* parent = nullptr);

    /// Appends the ports present on the machine that the list lacks (compared without regard to
    /// case), in the order the port lister gives them. Entries already there keep their places,
    /// also those whose port has gone, so nothing moves under the user's eyes and a port that is
    /// plugged back finds its old place; opening a gone one reports it as missing. The current
    /// entry stays, and so does an empty selection. Every entry's tool tip is then set to what
    /// its port stands for now ("/dev/ttyUSB0"), or cleared when the port is not there.
    void FillPorts();

    /// Fills the list before it drops down.
    void showPopup() override;
};
