// Waiting for a device that has gone: directory notifications and a slow retry start looks, a look
// compares what the machine offers now with the device's identity.
#include "app/DeviceReturn.h"

#include "platform/posix/devicemap.h"

#include <QFileSystemWatcher>
#include <QStringList>

TDeviceReturn::TDeviceReturn(QObject* parent) : QObject(parent)
{
    FRetry.setInterval(kRetryMs);
    // A coarse timer: the retry only has to come about once a second, and may be bundled with
    // the system's other wake-ups.
    FRetry.setTimerType(Qt::CoarseTimer);
    connect(&FRetry, &QTimer::timeout, this, &TDeviceReturn::Look);
}

TDeviceIdentity TDeviceReturn::IdentityOf(uint16_t comNumber)
{
    TDeviceIdentity identity;
    identity.ComNumber = comNumber;
    if (const std::optional<std::string> path = platform::ResolveComDevice(comNumber)) {
        identity.LinkStamp = platform::LinkStamp(*path);
        if (const std::optional<std::string> node = platform::CharacterDeviceNode(*path)) {
            identity.Node = *node;
            identity.SerialById = platform::SerialByIdLink(*node);
            identity.PseudoTerminal = platform::IsPseudoTerminal(*node);
        }
    }
    return identity;
}

std::optional<uint16_t> TDeviceReturn::Find(const TDeviceIdentity& identity)
{
    if (!identity.SerialById.empty()) {
        if (!platform::CharacterDeviceNode(identity.SerialById))
            return std::nullopt;
        const std::optional<int> number =
            platform::ComNumberOfDevice(identity.SerialById, identity.ComNumber);
        if (!number || *number > UINT16_MAX)
            return std::nullopt;
        return static_cast<uint16_t>(*number);
    }
    const std::optional<std::string> path = platform::ResolveComDevice(identity.ComNumber);
    if (!path || !platform::CharacterDeviceNode(*path))
        return std::nullopt;
    // A link still pointing where it pointed names a pseudo-terminal number that some other
    // program may have been given since: that is not the device coming back.
    if (identity.PseudoTerminal && platform::LinkStamp(*path) == identity.LinkStamp)
        return std::nullopt;
    return identity.ComNumber;
}

void TDeviceReturn::Start(const TDeviceIdentity& identity)
{
    FIdentity = identity;
    FWaiting = true;
    if (!FWatcher) {
        FWatcher = new QFileSystemWatcher(this);
        connect(FWatcher, &QFileSystemWatcher::directoryChanged, this, &TDeviceReturn::Look);
    }
    WatchDirectories();
    FRetry.start();
    // A device lost again soon after it came back (a loose plug, an adapter that dies as it is
    // opened) is given a pause, or gone and back would follow each other as fast as the loop runs.
    const bool flapping = FLastReturn.isValid() && FLastReturn.elapsed() < kFlappingMs;
    FQuietUntil.start();
    FQuietMs = flapping ? kRetryMs : 0;
    QTimer::singleShot(FQuietMs, this, &TDeviceReturn::Look);
}

void TDeviceReturn::Stop()
{
    FWaiting = false;
    FRetry.stop();
    // The watches go too: a wait costs nothing once it is over. Later, not here: the stop may
    // come from inside the watcher's own notification.
    if (FWatcher) {
        FWatcher->disconnect(this);
        FWatcher->deleteLater();
        FWatcher = nullptr;
    }
}

void TDeviceReturn::WatchDirectories()
{
    if (!FWatcher)
        return;
    const QStringList watched = FWatcher->directories();
    QStringList missing;
    for (const std::string& directory : platform::DeviceArrivalDirectories()) {
        const QString path = QString::fromStdString(directory);
        if (!watched.contains(path))
            missing.append(path);
    }
    if (!missing.isEmpty())
        FWatcher->addPaths(missing);
}

void TDeviceReturn::Look()
{
    if (!FWaiting || FLooking)
        return;
    if (FQuietUntil.isValid() && FQuietUntil.elapsed() < FQuietMs)
        return; // the pause's own look comes when it ends
    FLooking = true;
    // /dev/serial and its by-id directory exist only while some adapter is plugged in.
    WatchDirectories();
    const std::optional<uint16_t> number = Find(FIdentity);
    if (number) {
        FLastReturn.start();
        emit Present(*number);
    }
    FLooking = false;
}
