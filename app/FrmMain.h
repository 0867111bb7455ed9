// The main window: port list, connect button, mode buttons, line settings, the traffic log and
// the header with the logo and the link to the user guide. It owns the program's components.
#pragma once

#include "app/BusOverview.h"
#include "app/DeviceReturn.h"
#include "app/PortComboBox.h"
#include "runtime/Component.h"

#include <QElapsedTimer>
#include <QWidget>

#include <cstdint>
#include <string>
#include <string_view>

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QTimer;
class TApdComPort;
class TDeviceReturn;
class TApdDataPacket;
class TFormBusOverview;
class TTrafficLog;
class TRadioGroup;
class TUrlLabel;

/// The one window of the program. Creating it applies its stored settings and runs FormCreate;
/// showing it runs FormShow. Thread: the user-interface thread only.
class TFormMain : public QWidget, public TComponent
{
    Q_OBJECT

public:
    explicit TFormMain(QWidget* parent = nullptr);
    ~TFormMain() override;

    /// Width and height of the client area; the window cannot be resized.
    static constexpr int kClientWidth = 611;
    static constexpr int kClientHeight = 478;

    /// File name of the user guide: installed with the system's documentation, and put beside the
    /// executables in a build tree.
    static constexpr const char* kUserGuideName = "UserGuide.html";
    /// Absolute path of the user guide of the running executable: the link label's caption.
    static QString UserGuidePath();
    /// Where the user guide of an executable in `programDir` is: in the documentation folder of
    /// the installation it belongs to when that holds the guide, else beside the executable as a
    /// build tree has it; when neither holds it, where the installation would put it.
    static QString UserGuidePathFor(const QString& programDir);

    QWidget* PanelMain = nullptr;
    QWidget* PanelHeader = nullptr;
    QLabel* ImageLogo = nullptr;
    QLabel* LabelContact1 = nullptr;
    QLabel* LabelContact2 = nullptr;
    QLabel* LabelContact3 = nullptr;
    QLabel* LabelContact4 = nullptr;
    TUrlLabel* LabelUrl = nullptr;
    QLabel* Label13 = nullptr;
    TPortComboBox* ComboBoxCOM = nullptr;
    QPushButton* ButtonSaveComConnection = nullptr;
    QCheckBox* CheckBoxProtocol = nullptr;
    QLabel* Label1 = nullptr;
    QRadioButton* RadioButtonPolling = nullptr;
    QRadioButton* RadioButtonListen = nullptr;
    TRadioGroup* RadioGroupBaudrate = nullptr;
    TRadioGroup* RadioGroupParameterRS232 = nullptr;
    QPlainTextEdit* MemoPolling = nullptr;
    QTimer* TimerPolling = nullptr;
    /// The serial port; owned by the window, closed when it closes.
    TApdComPort* ComPort = nullptr;
    /// Cuts the received bytes into messages for DataPacketStringPacket; owned by the window.
    TApdDataPacket* DataPacket = nullptr;

    /// Most lines the traffic log keeps; the oldest go first, so a window left polling for days
    /// does not grow without end.
    static constexpr int kMemoMaxLines = 100000;

    /// The lines of MemoPolling as logged, how they are shown, saving and recording them, and the
    /// context menu and shortcuts of those tools; owned by the window.
    TTrafficLog* TrafficLog = nullptr;
    /// Counts per address what the poll step sends and the answers that are logged.
    const TBusCounter& BusCounter() const { return FBusCounter; }
    /// Opens the bus overview (made on first use) and brings it to the front.
    TFormBusOverview* ShowBusOverview();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    /// Shows a text in a plain message box over the window, as the handlers report caught errors.
    virtual void ShowMessage(const QString& text);
    /// The same box with `details` behind its details button (the holder of a port that could not
    /// be opened); without details it is ShowMessage.
    virtual void ShowDetailedMessage(const QString& text, const QString& details);
    /// Asks for the file to save or record the log to; empty when the user cancels.
    virtual QString PickLogFileName(const QString& title, bool forRecording);

private slots:
    // Window life.
    void FormCreate();
    void FormShow();
    /// The window is closing: the port is closed, errors ignored.
    void FormClose();

    // Header link.
    void LabelUrlMouseEnter(QObject* sender);
    void LabelUrlMouseLeave(QObject* sender);
    void LabelUrlClick(QObject* sender);

    // Connection and mode control.
    /// Opens the port named by the port list, or closes the open port.
    void ButtonSaveComConnectionClick();
    /// The port has opened: button to "Disconnect", port list locked, buffers discarded, polls started.
    void ComPortPortOpen();
    /// The port has closed: button to "Connect", port list free, polls stopped. While the window
    /// waits for a device that has gone, the button keeps "Disconnect" and the list stays locked.
    void ComPortPortClose();
    /// The port's device has gone: a notice in the log, polls stopped, the port closed (so the
    /// device's name is free again), and the wait for its return begins.
    void ComPortPortGone();
    /// The device that had gone is there again, as COM<comNumber>: the port reopens with its
    /// settings and mode, and a second notice says so. A failed open keeps waiting, silently.
    void DeviceReturnPresent(uint16_t comNumber);
    /// The polling mode has been chosen: the packet detector cuts ">" ... LF answers.
    void RadioButtonPollingClick();
    /// The monitoring mode has been chosen: the packet detector cuts messages ending in ETX.
    void RadioButtonListenClick();
    /// Another baud rate has been selected: the port takes it, open or not.
    void RadioGroupBaudrateClick();
    /// Another character format has been selected: the port takes its data bits, parity and stop bits.
    void RadioGroupParameterRS232Click();

    // Traffic.
    /// One poll step: the next address's request is logged and written to the line.
    void TimerPollingTimer();
    /// A message cut out of the received bytes by the packet detector.
    void DataPacketStringPacket(const std::string& data);

private:
    /// How the packet detector cuts the received bytes into messages.
    enum TPacketMode { pmPolling, pmMonitoring };

    void CreateControls();
    void CreateHeader();
    void CreateComPort();
    /// Gives the packet detector the start and end conditions of the mode, while the port is closed.
    void ApplyPacketMode(TPacketMode mode);
    /// The device class a monitored message comes from: "HTE", "B1", "M1", "V1" or empty.
    static std::string ClassifyMessage(const std::string& message);
    /// Lets a close that had to wait for a delivery in progress finish.
    void WaitForClose();
    /// Starts or stops the poll beat; a running beat is left in step.
    void SetPollTimerEnabled(bool enabled);
    /// Ends the wait for a device that has gone; the window is then as after a close.
    void StopWaitingForDevice();
    /// Appends a notice of the window's own to the traffic log: marked so that it cannot be taken
    /// for traffic, whose lines begin with ">" (and ">>> " or "<<< " in monitoring mode).
    void LogNotice(const QString& text);
    /// The bytes the packet detector holds of a message not yet complete; empty when none.
    std::string HeldMessage() const;
    /// Appends a line of traffic to the log: `prefix`, the message's bytes, `suffix`.
    void AppendLogLine(std::string_view prefix, std::string_view message, std::string_view suffix = {});

    /// Advances through the poll addresses; 0 at creation, never reset by closing the port.
    int32_t FPollCounter = 0;
    /// The last request written to the line, CR LF included: its echo is not logged.
    std::string FLastRequest;
    bool FShownBefore = false;
    /// Waits for a device that has gone to come back; owned by the window.
    TDeviceReturn* FDeviceReturn = nullptr;
    /// Who the open port's device is, taken at each open: what the wait looks for if it goes.
    TDeviceIdentity FOpenIdentity;
    /// Since when a device that is back has failed to open, and the failure last logged: a failure
    /// that lasts is told once, one that udev's permissions end at once is not told at all.
    QElapsedTimer FReopenFailingSince;
    QString FReopenFailureLogged;
    TBusCounter FBusCounter;
    TFormBusOverview* FBusOverview = nullptr;
};
