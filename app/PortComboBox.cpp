// The port list of the main window, filled from the port lister when the window is shown and
// again whenever it drops down.
#include "app/PortComboBox.h"

#include "ports/UnitComPortListe.h"

#include <QSignalBlocker>

#include <string>
#include <vector>

TPortComboBox::TPortComboBox(QWidget* parent) : QComboBox(parent) {}

void TPortComboBox::FillPorts()
{
    std::vector<std::string> ports;
    for (int i = 0; i < count(); ++i)
        ports.push_back(itemText(i).toStdString());
    const size_t known = ports.size();
    ListComPorts(ports);

    // Adding the first entry to an empty list would select it, but the user has not chosen it:
    // the selection is put back without telling anyone of a change that did not happen.
    const int current = currentIndex();
    {
        const QSignalBlocker quiet(current < 0 ? this : nullptr);
        for (size_t i = known; i < ports.size(); ++i)
            addItem(QString::fromStdString(ports[i]));
        if (current < 0)
            setCurrentIndex(-1);
    }

    for (int i = 0; i < count(); ++i) {
        const std::string device = ComPortDevice(itemText(i).toStdString());
        setItemData(i, device.empty() ? QVariant() : QVariant(QString::fromStdString(device)),
                    Qt::ToolTipRole);
    }
}

void TPortComboBox::showPopup()
{
    FillPorts();
    QComboBox::showPopup();
}
