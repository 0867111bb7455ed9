// The traffic log behind the window's log area: the lines as logged (raw bytes, in order, with the
// cap), how they are shown (time stamps, control-byte names), saving them and recording them to a
// file as they come, and the context menu and shortcuts that reach all of it.
#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

class QAction;
class QPlainTextEdit;
class QPoint;
class QTimer;
class QWidget;

/// One line of the log as it was logged. A traffic line keeps the message's bytes untrimmed
/// between the window's own prefix and suffix, so that any view can still show every byte.
struct TLogLine {
    enum TKind : uint8_t { lkTraffic, lkNotice };
    /// Local wall-clock time of logging, in milliseconds since the epoch.
    int64_t Time = 0;
    TKind Kind = lkTraffic;
    /// Traffic: prefix + message bytes + suffix. Notice: the notice's text in UTF-8.
    std::string Text;
    /// Where the message's bytes lie inside Text (traffic only).
    uint32_t MessageBegin = 0;
    uint32_t MessageEnd = 0;
};

/// How lines are shown. Off, off is the plain log: the trimmed message between prefix and suffix.
struct TLogViewOptions {
    bool Timestamps = false;
    bool ControlBytes = false;
};

/// The text a line shows under the given options. Bytes are Latin-1 characters, one each.
/// `onScreen`: the time stamp is bound to the line's first word by a no-break space, so that a long
/// answer wraps after its beginning rather than leaving the stamp alone; files get a plain space.
QString RenderLogLine(const TLogLine& line, TLogViewOptions options, bool onScreen = false);
/// The bytes with every byte below 32 and above 126 as a readable name: <STX>, <CR>, <DEL>, <E4>.
QString ControlBytesNamed(std::string_view bytes);

/// Appends lines to a file the user picked, one write per line, so that a crash of the program
/// loses at most the line being written. Each line is also put on disk before the next one, so that
/// a power cut loses no more either; only when lines come faster than kSyncIntervalMs apart (a flood
/// of messages) are their syncs gathered into one, at most that long later, as a sync per line
/// would then hold up the window. A file removed or replaced under it is noticed before the next
/// line, which is then not written into the void.
/// Thread: the user-interface thread only.
class TLogRecorder
{
public:
    TLogRecorder() = default;
    ~TLogRecorder();
    TLogRecorder(const TLogRecorder&) = delete;
    TLogRecorder& operator=(const TLogRecorder&) = delete;

    /// Opens `path` for appending (an existing file is continued). False, with `error`, if not.
    bool Start(const QString& path, QString& error);
    void Stop();
    bool Active() const { return FFd >= 0; }
    const QString& Path() const { return FPath; }
    /// Shortest time between two data syncs.
    static constexpr int64_t kSyncIntervalMs = 100;

    /// Writes one line and its line break. False, with `error` and recording stopped, when the
    /// file has gone or refuses the line (a full disk, an I/O error).
    bool WriteLine(const QString& text, QString& error);
    /// Whether lines are written but not yet synced: Sync is then due within kSyncIntervalMs.
    bool SyncPending() const { return FSyncPending; }
    /// Puts what was written on disk. False, with `error` and recording stopped, on failure.
    bool Sync(QString& error);

private:
    bool StillThere(QString& error) const;

    int FFd = -1;
    QString FPath;
    uint64_t FDevice = 0;
    uint64_t FInode = 0;
    bool FSyncPending = false;
    /// Monotonic milliseconds of the last sync, or a very old time.
    int64_t FLastSync = INT64_MIN / 2;
};

/// The window's traffic log: the model of logged lines, its view in the log area, recording,
/// and the tools of the context menu and their shortcuts.
/// Thread: the user-interface thread only.
class TTrafficLog : public QObject
{
    Q_OBJECT

public:
    /// `memo` shows the lines; it is not owned. `maxLines`: the cap of the model and the view.
    TTrafficLog(QPlainTextEdit* memo, int maxLines, QObject* parent = nullptr);
    ~TTrafficLog() override;

    /// Logs a line of traffic: `prefix` + the message + `suffix`. The view shows the message
    /// trimmed of its leading and trailing bytes 0 to 32 unless control bytes are shown.
    void AppendTraffic(std::string_view prefix, std::string_view message, std::string_view suffix = {});
    /// Logs a notice of the window's own, shown as it is under any option.
    void AppendNotice(const QString& text);
    /// Empties the model and the view. A recording goes on with the next line.
    void Clear();
    /// Shows at once the lines that wait for the next frame of the view. The model, the files and
    /// the wire never wait; only the view is drawn at most once a frame, so that a burst of lines
    /// costs one layout and one paint.
    void Flush();
    static constexpr int kFrameMs = 33;

    /// Writes every line the log keeps, as shown, UTF-8, one line per line. False with `error`.
    bool SaveTo(const QString& path, QString& error) const;
    /// Starts recording to `path`; a line in the log says so. False with `error`.
    bool StartRecording(const QString& path, QString& error);
    void StopRecording();
    bool Recording() const { return FRecorder.Active(); }

    TLogViewOptions Options() const { return FOptions; }
    /// Changes how lines are shown; the lines the model keeps are shown again.
    void SetOptions(TLogViewOptions options);

    const std::deque<TLogLine>& Lines() const { return FLines; }
    /// The whole log as shown, lines joined by line breaks (see RenderLogLine for `onScreen`).
    QString ShownText(bool onScreen = false) const;

    /// Asks for a file name: (title, for recording) -> path, empty when cancelled.
    std::function<QString(const QString&, bool)> OnPickFileName;
    /// Shows an error text to the user; called from the event loop, never inside an append.
    std::function<void(const QString&)> OnShowMessage;
    /// Opens the bus overview.
    std::function<void()> OnBusOverview;

    QAction* ActionSave = nullptr;
    QAction* ActionRecord = nullptr;
    QAction* ActionTimestamps = nullptr;
    QAction* ActionControlBytes = nullptr;
    QAction* ActionClear = nullptr;
    QAction* ActionBusOverview = nullptr;

    /// Runs the menu entries' work; the actions call these.
    void SaveLogAs();
    void RecordToFile(bool start);

private:
    void CreateActions(QWidget* shortcutScope);
    void ShowContextMenu(const QPoint& at);
    void Append(TLogLine line);
    void ShowLater(const QString& text);
    void RecordingFailed(const QString& error);

    QPlainTextEdit* FMemo;
    const size_t FMaxLines;
    std::deque<TLogLine> FLines;
    TLogViewOptions FOptions;
    TLogRecorder FRecorder;
    /// Syncs lines that came too quickly to be synced one by one.
    QTimer* FSyncTimer = nullptr;
    /// Lines rendered for the view and not shown yet, at most the cap; shown by FFrameTimer.
    QStringList FPendingShown;
    QTimer* FFrameTimer = nullptr;
};
