// Waiting for the device of a port that has gone (hung up, unplugged) to come back: under the same
// COM name, or for a USB adapter under the same udev identity whatever kernel name it gets now.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <optional>
#include <string>

class QFileSystemWatcher;

/// What tells a port's device from any other, taken while the port is open.
struct TDeviceIdentity {
    uint16_t ComNumber = 0;
    /// The device node the COM name led to; empty when it led to none.
    std::string Node;
    /// The /dev/serial/by-id link of the same device; empty for devices that have none.
    std::string SerialById;
    /// The device is a pseudo-terminal (a simulator's port): its number goes to whoever asks next,
    /// so it counts as back only once its device-map link has been made anew.
    bool PseudoTerminal = false;
    /// How the device-map link of the COM name looked (see platform::LinkStamp); empty for none.
    std::string LinkStamp;
};

/// Watches for the return of one device. Directory notifications (inotify underneath) start a look
/// at once; a slow retry, once a second, covers what brings no notification, such as permissions
/// that become final only after the device is back. Nothing is looked at faster than that.
/// Thread: the user-interface thread only (it lives and reports there).
class TDeviceReturn : public QObject
{
    Q_OBJECT

public:
    explicit TDeviceReturn(QObject* parent = nullptr);

    /// The identity of COM<comNumber>'s device as the machine shows it now.
    static TDeviceIdentity IdentityOf(uint16_t comNumber);

    /// Starts waiting for the device of `identity` (a wait in progress is replaced). The first
    /// look comes from the event loop, after the caller has released the device.
    void Start(const TDeviceIdentity& identity);
    /// Ends the wait: no look runs and nothing is reported after it.
    void Stop();
    bool Waiting() const { return FWaiting; }
    const TDeviceIdentity& Identity() const { return FIdentity; }

    /// Where the device of `identity` is now: the COM number to open it under, or nothing while
    /// it is not back. A device known by its udev identity counts only under that identity, so a
    /// different adapter that took its kernel name is not mistaken for it.
    static std::optional<uint16_t> Find(const TDeviceIdentity& identity);

    /// Time between two looks without notifications.
    static constexpr int kRetryMs = 1000;
    /// A device lost within this time of coming back waits kRetryMs before the next look.
    static constexpr int kFlappingMs = 5000;

signals:
    /// The device is there, as COM<comNumber>. Each look that finds it while waiting says so
    /// again, so an owner whose open failed (permissions not final yet) simply waits for the next.
    void Present(uint16_t comNumber);

private:
    void Look();
    /// Watches every arrival directory that exists now; those that vanished are dropped by the
    /// watcher itself and come back here once they exist again.
    void WatchDirectories();

    QFileSystemWatcher* FWatcher = nullptr;
    QTimer FRetry;
    TDeviceIdentity FIdentity;
    bool FWaiting = false;
    bool FLooking = false; // a look whose report opens the port runs no second look inside it
    /// When the device was last found back; a loss sooner than kFlappingMs after it waits a while.
    QElapsedTimer FLastReturn;
    QElapsedTimer FQuietUntil; // started with the wait; no look before FQuietMs have passed
    qint64 FQuietMs = 0;
};
