// The traffic log: its model of raw lines, the views of it, saving, recording and the context menu.
#include "app/TrafficLog.h"

#include "runtime/Text.h"

#include <QAction>
#include <QDateTime>
#include <QFile>
#include <QMenu>
#include <QPlainTextEdit>
#include <QSaveFile>
#include <QScrollBar>
#include <QStringList>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

QString Latin1(std::string_view bytes)
{
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// The names of the bytes 0 to 31, as terminals and protocol sheets give them.
constexpr const char* kControlNames[32] = {
    "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS",  "TAB", "LF",
    "VT",  "FF",  "CR",  "SO",  "SI",  "DLE", "DC1", "DC2", "DC3", "DC4", "NAK",
    "SYN", "ETB", "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US",
};

int64_t MonotonicMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QString ErrnoText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// The stamp that begins a line when time stamps are shown: local time of day to the millisecond.
QString Stamp(int64_t time, bool onScreen)
{
    return QDateTime::fromMSecsSinceEpoch(time).toString(QStringLiteral("HH:mm:ss.zzz")) +
           (onScreen ? QChar(QChar::Nbsp) : QChar(u' '));
}

} // namespace

QString ControlBytesNamed(std::string_view bytes)
{
    QString text;
    text.reserve(static_cast<qsizetype>(bytes.size()));
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 32)
            text += u'<' + QLatin1StringView(kControlNames[byte]) + u'>';
        else if (byte == 127)
            text += QStringLiteral("<DEL>");
        else if (byte > 127)
            text += u'<' +
                    QStringLiteral("%1").arg(static_cast<uint>(byte), 2, 16, QLatin1Char('0')).toUpper() +
                    u'>';
        else
            text += QLatin1Char(c);
    }
    return text;
}

QString RenderLogLine(const TLogLine& line, TLogViewOptions options, bool onScreen)
{
    QString text;
    if (options.Timestamps)
        text = Stamp(line.Time, onScreen);
    if (line.Kind == TLogLine::lkNotice)
        return text + QString::fromUtf8(line.Text.data(), static_cast<qsizetype>(line.Text.size()));
    const std::string_view all(line.Text);
    const std::string_view message = all.substr(line.MessageBegin, line.MessageEnd - line.MessageBegin);
    text += Latin1(all.substr(0, line.MessageBegin));
    text += options.ControlBytes ? ControlBytesNamed(message) : Latin1(Trimmed(message));
    text += Latin1(all.substr(line.MessageEnd));
    return text;
}

// --- Recording -------------------------------------------------------------------------------------

TLogRecorder::~TLogRecorder() { Stop(); }

bool TLogRecorder::Start(const QString& path, QString& error)
{
    Stop();
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = ErrnoText(errno);
        return false;
    }
    struct stat info {
    };
    if (::fstat(fd, &info) != 0) {
        error = ErrnoText(errno);
        ::close(fd);
        return false;
    }
    FFd = fd;
    FPath = path;
    FDevice = info.st_dev;
    FInode = info.st_ino;
    return true;
}

void TLogRecorder::Stop()
{
    if (FFd >= 0)
        ::close(FFd);
    FFd = -1;
    FSyncPending = false;
}

bool TLogRecorder::StillThere(QString& error) const
{
    // Lines written to a file that has been deleted or moved aside would be lost without a word:
    // the open descriptor still takes them.
    struct stat open {
    };
    struct stat named {
    };
    if (::fstat(FFd, &open) != 0) {
        error = ErrnoText(errno);
        return false;
    }
    const QByteArray name = QFile::encodeName(FPath);
    if (open.st_nlink == 0 || ::stat(name.constData(), &named) != 0 || named.st_dev != FDevice ||
        named.st_ino != FInode) {
        error = QStringLiteral("the file has been removed or replaced");
        return false;
    }
    return true;
}

bool TLogRecorder::WriteLine(const QString& text, QString& error)
{
    if (FFd < 0)
        return false;
    if (!StillThere(error)) {
        Stop();
        return false;
    }
    const QByteArray bytes = text.toUtf8() + '\n';
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(FFd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = ErrnoText(n < 0 ? errno : ENOSPC);
            Stop();
            return false;
        }
        done += n;
    }
    FSyncPending = true;
    if (MonotonicMs() - FLastSync < kSyncIntervalMs)
        return true;
    return Sync(error);
}

bool TLogRecorder::Sync(QString& error)
{
    if (FFd < 0 || !FSyncPending)
        return true;
    FLastSync = MonotonicMs();
    FSyncPending = false;
    // Devices and pipes cannot be synced, and need not be.
    if (::fdatasync(FFd) != 0 && errno != EINVAL && errno != EROFS) {
        error = ErrnoText(errno);
        Stop();
        return false;
    }
    return true;
}

// --- The log -----------------------------------------------------------------------------------------

TTrafficLog::TTrafficLog(QPlainTextEdit* memo, int maxLines, QObject* parent)
    : QObject(parent), FMemo(memo), FMaxLines(static_cast<size_t>(maxLines))
{
    FMemo->setMaximumBlockCount(maxLines);
    FMemo->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(FMemo, &QWidget::customContextMenuRequested, this, &TTrafficLog::ShowContextMenu);
    CreateActions(FMemo->window());
    FSyncTimer = new QTimer(this);
    FSyncTimer->setSingleShot(true);
    FSyncTimer->setInterval(static_cast<int>(TLogRecorder::kSyncIntervalMs));
    connect(FSyncTimer, &QTimer::timeout, this, [this] {
        QString error;
        if (!FRecorder.Sync(error))
            RecordingFailed(error);
    });
    FFrameTimer = new QTimer(this);
    FFrameTimer->setSingleShot(true);
    FFrameTimer->setInterval(kFrameMs);
    connect(FFrameTimer, &QTimer::timeout, this, [this] { Flush(); });
}

TTrafficLog::~TTrafficLog() = default;

void TTrafficLog::CreateActions(QWidget* shortcutScope)
{
    auto make = [&](const QString& text, const QKeySequence& keys, bool checkable) {
        auto* action = new QAction(text, this);
        action->setShortcut(keys);
        // Anywhere in the window, the log included; the window's controls take none of these keys.
        action->setShortcutContext(Qt::WindowShortcut);
        action->setCheckable(checkable);
        shortcutScope->addAction(action);
        return action;
    };
    ActionSave = make(QStringLiteral("Save log as…"), QKeySequence::Save, false);
    ActionRecord = make(QStringLiteral("Record to file…"), QKeySequence(Qt::CTRL | Qt::Key_R), true);
    ActionTimestamps = make(QStringLiteral("Timestamps"), QKeySequence(Qt::CTRL | Qt::Key_T), true);
    ActionControlBytes = make(QStringLiteral("Show control bytes"), QKeySequence(Qt::CTRL | Qt::Key_H), true);
    ActionClear = make(QStringLiteral("Clear log"), QKeySequence(Qt::CTRL | Qt::Key_L), false);
    ActionBusOverview = make(QStringLiteral("Bus overview"), QKeySequence(Qt::CTRL | Qt::Key_B), false);

    connect(ActionSave, &QAction::triggered, this, [this] { SaveLogAs(); });
    connect(ActionRecord, &QAction::triggered, this, [this](bool checked) { RecordToFile(checked); });
    connect(ActionTimestamps, &QAction::toggled, this, [this](bool on) {
        TLogViewOptions options = FOptions;
        options.Timestamps = on;
        SetOptions(options);
    });
    connect(ActionControlBytes, &QAction::toggled, this, [this](bool on) {
        TLogViewOptions options = FOptions;
        options.ControlBytes = on;
        SetOptions(options);
    });
    connect(ActionClear, &QAction::triggered, this, [this] { Clear(); });
    connect(ActionBusOverview, &QAction::triggered, this, [this] {
        if (OnBusOverview)
            OnBusOverview();
    });
}

void TTrafficLog::ShowContextMenu(const QPoint& at)
{
    std::unique_ptr<QMenu> menu(FMemo->createStandardContextMenu());
    menu->addSeparator();
    menu->addAction(ActionSave);
    menu->addAction(ActionRecord);
    menu->addSeparator();
    menu->addAction(ActionTimestamps);
    menu->addAction(ActionControlBytes);
    menu->addSeparator();
    menu->addAction(ActionClear);
    menu->addSeparator();
    menu->addAction(ActionBusOverview);
    menu->exec(FMemo->viewport()->mapToGlobal(at));
}

void TTrafficLog::AppendTraffic(std::string_view prefix, std::string_view message, std::string_view suffix)
{
    TLogLine line;
    line.Kind = TLogLine::lkTraffic;
    line.Text.reserve(prefix.size() + message.size() + suffix.size());
    line.Text.append(prefix).append(message).append(suffix);
    line.MessageBegin = static_cast<uint32_t>(prefix.size());
    line.MessageEnd = static_cast<uint32_t>(prefix.size() + message.size());
    Append(std::move(line));
}

void TTrafficLog::AppendNotice(const QString& text)
{
    TLogLine line;
    line.Kind = TLogLine::lkNotice;
    line.Text = text.toStdString();
    Append(std::move(line));
}

void TTrafficLog::Append(TLogLine line)
{
    line.Time = QDateTime::currentMSecsSinceEpoch();
    // Laying out and painting each line as it comes cost several times what answering a message
    // does; the view catches up once a frame, with the lines the cap lets it keep.
    FPendingShown.append(RenderLogLine(line, FOptions, true));
    if (static_cast<size_t>(FPendingShown.size()) > FMaxLines)
        FPendingShown.removeFirst();
    if (!FFrameTimer->isActive())
        FFrameTimer->start();
    const QString recorded = FRecorder.Active() ? RenderLogLine(line, FOptions) : QString();
    FLines.push_back(std::move(line));
    while (FLines.size() > FMaxLines)
        FLines.pop_front();
    if (!FRecorder.Active())
        return;
    QString error;
    if (!FRecorder.WriteLine(recorded, error))
        RecordingFailed(error);
    else if (FRecorder.SyncPending() && !FSyncTimer->isActive())
        FSyncTimer->start();
}

void TTrafficLog::RecordingFailed(const QString& error)
{
    // The recorder has stopped itself; the window's log goes on, and says why once.
    FSyncTimer->stop();
    const QString text = QStringLiteral("Recording to %1 stopped: %2. The log goes on in the window only.")
                             .arg(FRecorder.Path(), error);
    ActionRecord->setChecked(false);
    AppendNotice(QStringLiteral("*** ") + text);
    ShowLater(text);
}

void TTrafficLog::Flush()
{
    FFrameTimer->stop();
    if (FPendingShown.isEmpty())
        return;
    // One paragraph per line, as one append each would have made; the view's cap drops the
    // oldest as before.
    FMemo->appendPlainText(FPendingShown.join(u'\n'));
    FPendingShown.clear();
}

void TTrafficLog::Clear()
{
    FLines.clear();
    FPendingShown.clear();
    FFrameTimer->stop();
    FMemo->clear();
}

QString TTrafficLog::ShownText(bool onScreen) const
{
    QStringList shown;
    shown.reserve(static_cast<qsizetype>(FLines.size()));
    for (const TLogLine& line : FLines)
        shown.append(RenderLogLine(line, FOptions, onScreen));
    return shown.join(u'\n');
}

void TTrafficLog::SetOptions(TLogViewOptions options)
{
    if (options.Timestamps == FOptions.Timestamps && options.ControlBytes == FOptions.ControlBytes)
        return;
    FOptions = options;
    // The checks follow an option set in code as well as one chosen in the menu.
    ActionTimestamps->setChecked(options.Timestamps);
    ActionControlBytes->setChecked(options.ControlBytes);
    FPendingShown.clear(); // the model has them: they are shown again with the rest
    FFrameTimer->stop();
    FMemo->setPlainText(ShownText(true));
    FMemo->moveCursor(QTextCursor::End);
    FMemo->verticalScrollBar()->setValue(FMemo->verticalScrollBar()->maximum());
}

bool TTrafficLog::SaveTo(const QString& path, QString& error) const
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        error = file.errorString();
        return false;
    }
    for (const TLogLine& line : FLines) {
        const QByteArray bytes = RenderLogLine(line, FOptions).toUtf8() + '\n';
        if (file.write(bytes) != bytes.size())
            break;
    }
    if (!file.commit()) {
        error = file.errorString();
        return false;
    }
    return true;
}

void TTrafficLog::SaveLogAs()
{
    const QString path = OnPickFileName ? OnPickFileName(QStringLiteral("Save log as"), false) : QString();
    if (path.isEmpty())
        return;
    QString error;
    if (!SaveTo(path, error))
        ShowLater(QStringLiteral("The log could not be saved to %1: %2").arg(path, error));
}

bool TTrafficLog::StartRecording(const QString& path, QString& error)
{
    if (!FRecorder.Start(path, error))
        return false;
    ActionRecord->setChecked(true);
    AppendNotice(
        QStringLiteral("*** Recording to %1 since %2.")
            .arg(path, QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))));
    return true;
}

void TTrafficLog::StopRecording()
{
    if (FRecorder.Active()) {
        // The last line of the file says where it ends.
        AppendNotice(QStringLiteral("*** Recording to %1 stopped.").arg(FRecorder.Path()));
        QString error;
        FRecorder.Sync(error);
        FRecorder.Stop();
        FSyncTimer->stop();
    }
    ActionRecord->setChecked(false);
}

void TTrafficLog::RecordToFile(bool start)
{
    if (!start) {
        StopRecording();
        return;
    }
    const QString path = OnPickFileName ? OnPickFileName(QStringLiteral("Record to file"), true) : QString();
    QString error;
    if (path.isEmpty()) {
        ActionRecord->setChecked(false);
        return;
    }
    if (!StartRecording(path, error)) {
        ActionRecord->setChecked(false);
        ShowLater(QStringLiteral("Recording to %1 could not start: %2").arg(path, error));
    }
}

void TTrafficLog::ShowLater(const QString& text)
{
    // An append may run inside the hand-over of a received message; a modal box there would let
    // the next message in before this one is done.
    QMetaObject::invokeMethod(
        this,
        [this, text] {
            if (OnShowMessage)
                OnShowMessage(text);
        },
        Qt::QueuedConnection);
}
