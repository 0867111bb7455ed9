// The main window: its controls and components as stored, their start state, the header's link to
// the user guide, connecting and the two modes, the line settings and the poll beat.
#include "app/FrmMain.h"

#include "app/DeviceReturn.h"
#include "app/RadioGroup.h"
#include "app/TrafficLog.h"
#include "app/UrlLabel.h"
#include "platform/win32.h"
#include "protocol/UnitEntDeCoder.h"
#include "runtime/Application.h"
#include "runtime/Exception.h"
#include "runtime/Wait.h"
#include "serial/dispatch/ApdBaseDispatcher.h"
#include "serial/packet/AdPacket.h"
#include "serial/port/ApdComPort.h"
#include "serial/port/ApdExceptions.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>

#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

// Outside any namespace, as the resource initialiser requires; the resources live in a static
// library, so nothing would pull them in otherwise.
static void InitAppResources() { Q_INIT_RESOURCE(app); }

namespace
{

constexpr int kHeaderHeight = 121;
// Where an installation puts the user guide, relative to the folder of the executables; the build
// derives it from the installation's folder layout.
constexpr const char* kInstalledGuideDir = LINTAKER_INSTALLED_GUIDE_DIR;
constexpr int kMemoHeight = 229;
constexpr int kFontPixels = 11;
constexpr int kPollIntervalMs = 500;
// Longest wait for a close to finish behind a message being handed over (the threads leave within
// a few dispatch cycles; a window handler may hold one up to 3 s).
constexpr DWORD kCloseWaitMs = 5000;
// How long a device that is back may fail to open before the log says why: longer than udev takes
// to set the permissions of a new device node.
constexpr qint64 kReopenFailureNoticeMs = 2000;

// The poll rotation: the counter n (1 to 10) picks the n-th address; the command follows it, and
// the request goes out with CR LF after its frame.
constexpr std::string_view kPollAddresses = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr int32_t kPollDevices = 10;
constexpr std::string_view kPollCommand = "T";
constexpr std::string_view kLineEnd = "\r\n";
constexpr char kSTX = 2;
constexpr char kETX = 3;
constexpr char kLF = 10;

// What each entry of the format group sets on the port, by index; no entry selected is 8-N-1.
struct TCharFormat {
    uint16_t DataBits;
    TParity Parity;
    uint16_t StopBits;
};
constexpr TCharFormat kCharFormats[] = {
    {7, pNone, 1}, {7, pEven, 1}, {7, pOdd, 1}, {8, pNone, 1}, {8, pEven, 1}, {8, pOdd, 1},
};
constexpr TCharFormat kNoCharFormat = {8, pNone, 1};

/// A text that is not a decimal integer where one is needed.
class EConvertError : public Exception
{
public:
    explicit EConvertError(const QString& text)
        : Exception(
              QStringLiteral("'%1' ist kein gültiger Integerwert").arg(text).toLocal8Bit().toStdString())
    {
    }
};

// The value of a text made of an optional sign and decimal digits, nothing else; nullopt for any
// other text and for values outside the 32-bit range.
std::optional<int64_t> DecimalValue(const QString& text)
{
    qsizetype at = 0;
    bool negative = false;
    if (at < text.size() && (text[at] == u'+' || text[at] == u'-')) {
        negative = text[at] == u'-';
        ++at;
    }
    if (at == text.size())
        return std::nullopt;
    int64_t value = 0;
    for (; at < text.size(); ++at) {
        const char16_t digit = text[at].unicode();
        // Only the ASCII digits: other scripts' digits are no port number.
        if (digit < u'0' || digit > u'9')
            return std::nullopt;
        value = value * 10 + (digit - u'0');
        if (value > int64_t{INT32_MAX} + 1)
            return std::nullopt;
    }
    value = negative ? -value : value;
    if (value < INT32_MIN || value > INT32_MAX)
        return std::nullopt;
    return value;
}

int32_t StrToInt(const QString& text)
{
    const std::optional<int64_t> value = DecimalValue(text);
    if (!value)
        throw EConvertError(text);
    return static_cast<int32_t>(*value);
}

// A port number is 16 bits wide; a larger number or a negative one would wrap around onto some
// other port, so it is refused as no number at all.
uint16_t PortNumberOf(const QString& text)
{
    const std::optional<int64_t> value = DecimalValue(text);
    if (!value || *value < 0 || *value > UINT16_MAX)
        throw EConvertError(text);
    return static_cast<uint16_t>(*value);
}

QString ExceptionText(const std::exception& error) { return QString::fromLocal8Bit(error.what()); }

// Qt's widgets are built without exception support: an exception that unwound through them would
// skip their clean-ups. What a handler lets escape is shown by the application's error display
// where Qt calls in, just as an exception that reached the message loop would be.
// The argument types are spelled out, so that Qt can count them.
template <class... TArgs, class THandler> auto Guarded(THandler handler)
{
    return [handler](TArgs... args) {
        try {
            handler(args...);
        } catch (...) {
            Application::HandleException();
        }
    };
}

// Families in order of preference: the window's own font first, then the closest free ones.
QFont FontOf(const QStringList& families)
{
    QFont font;
    font.setFamilies(families);
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(kFontPixels);
    return font;
}

QFont WindowFont()
{
    return FontOf({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                   QStringLiteral("Liberation Sans"), QStringLiteral("Arial"), QStringLiteral("Nimbus Sans"),
                   QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")});
}

QFont PanelFont()
{
    return FontOf({QStringLiteral("Verdana"), QStringLiteral("DejaVu Sans"),
                   QStringLiteral("Bitstream Vera Sans"), QStringLiteral("Sans Serif")});
}

QFont MemoFont()
{
    return FontOf({QStringLiteral("Arial"), QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                   QStringLiteral("Nimbus Sans"), QStringLiteral("Helvetica"), QStringLiteral("DejaVu Sans"),
                   QStringLiteral("Sans Serif")});
}

// A font that sets only its style, so that family and size still come from the parent.
QFont StyleOnly(bool bold, bool underline)
{
    QFont font;
    font.setBold(bold);
    if (underline)
        font.setUnderline(true);
    return font;
}

// The application-wide cursor has one shape at a time, as a value: the hand replaces whatever
// override there is, and the default removes every override.
void SetScreenCursor(Qt::CursorShape shape)
{
    if (shape == Qt::ArrowCursor) {
        while (QGuiApplication::overrideCursor())
            QGuiApplication::restoreOverrideCursor();
    } else if (QGuiApplication::overrideCursor()) {
        QGuiApplication::changeOverrideCursor(QCursor(shape));
    } else {
        QGuiApplication::setOverrideCursor(QCursor(shape));
    }
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& caption, int left, int top)
{
    auto* label = new QLabel(caption, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->adjustSize();
    label->move(left, top);
    return label;
}

} // namespace

TFormMain::TFormMain(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    static std::once_flag resources;
    std::call_once(resources, InitAppResources);

    SetName("FormMain");
    setObjectName(QStringLiteral("FormMain"));
    BeginLoading();
    CreateControls();
    EndLoading();
    FormCreate();
}

TFormMain::~TFormMain()
{
    Destroying();
    // The owned components (the port and its packet detector) go while every control they
    // report to still exists; the base destructor would free them only after this window's own
    // part is gone.
    while (ComponentCount() > 0)
        delete Components(ComponentCount() - 1);
}

QString TFormMain::UserGuidePath() { return UserGuidePathFor(QCoreApplication::applicationDirPath()); }

QString TFormMain::UserGuidePathFor(const QString& programDir)
{
    const QDir dir(programDir);
    const QString name = QString::fromLatin1(kUserGuideName);
    // The installed folder is tried first: a guide left beside an installed executable by an
    // older installation would be out of date.
    const QString installed = QDir::cleanPath(
        dir.absoluteFilePath(QString::fromLatin1(kInstalledGuideDir) + QLatin1Char('/') + name));
    if (QFile::exists(installed))
        return QDir::toNativeSeparators(installed);
    const QString beside = dir.absoluteFilePath(name);
    if (QFile::exists(beside))
        return QDir::toNativeSeparators(beside);
    return QDir::toNativeSeparators(installed);
}

void TFormMain::CreateControls()
{
    setFixedSize(kClientWidth, kClientHeight);
    setFont(WindowFont());
    QPalette face = palette();
    face.setColor(QPalette::Window, face.color(QPalette::Button));
    setPalette(face);
    setAutoFillBackground(true);

    PanelMain = new QWidget(this);
    PanelMain->setObjectName(QStringLiteral("PanelMain"));
    PanelMain->setGeometry(0, 0, kClientWidth, kClientHeight);
    PanelMain->setFont(PanelFont());
    PanelMain->setAutoFillBackground(true);

    CreateHeader();

    Label13 = MakeLabel(PanelMain, "Label13", QStringLiteral("COM Port"), 24, 140);

    ComboBoxCOM = new TPortComboBox(PanelMain);
    ComboBoxCOM->setObjectName(QStringLiteral("ComboBoxCOM"));
    ComboBoxCOM->setEditable(false);
    ComboBoxCOM->setGeometry(24, 155, 125, 21);

    ButtonSaveComConnection = new QPushButton(QStringLiteral("Connect"), PanelMain);
    ButtonSaveComConnection->setObjectName(QStringLiteral("ButtonSaveComConnection"));
    ButtonSaveComConnection->setFont(StyleOnly(true, false));
    ButtonSaveComConnection->setGeometry(24, 183, 125, 35);
    connect(ButtonSaveComConnection, &QPushButton::clicked, this,
            Guarded([this] { ButtonSaveComConnectionClick(); }));

    CheckBoxProtocol = new QCheckBox(QStringLiteral("with Protocol"), PanelMain);
    CheckBoxProtocol->setObjectName(QStringLiteral("CheckBoxProtocol"));
    CheckBoxProtocol->setGeometry(26, 222, 97, 17);

    Label1 = MakeLabel(PanelMain, "Label1", QStringLiteral("COM port"), 167, 160);
    Label1->setFont(StyleOnly(true, false));
    Label1->adjustSize();

    // The two mode buttons are the only radio buttons directly on the panel, so they exclude
    // each other; the stored state (polling) is not a choice and runs no handler.
    RadioButtonPolling = new QRadioButton(QStringLiteral("polling (RS485)"), PanelMain);
    RadioButtonPolling->setObjectName(QStringLiteral("RadioButtonPolling"));
    RadioButtonPolling->setGeometry(167, 179, 116, 17);
    RadioButtonPolling->setChecked(true);
    RadioButtonListen = new QRadioButton(QStringLiteral("monitoring (RS232)"), PanelMain);
    RadioButtonListen->setObjectName(QStringLiteral("RadioButtonListen"));
    RadioButtonListen->setGeometry(167, 196, 136, 17);
    // A mode's handler runs when its button becomes checked, so choosing the active mode runs nothing.
    connect(RadioButtonPolling, &QRadioButton::toggled, this, Guarded<bool>([this](bool checked) {
                if (checked)
                    RadioButtonPollingClick();
            }));
    connect(RadioButtonListen, &QRadioButton::toggled, this, Guarded<bool>([this](bool checked) {
                if (checked)
                    RadioButtonListenClick();
            }));

    RadioGroupBaudrate = new TRadioGroup(QStringLiteral("Baudrate"), PanelMain);
    RadioGroupBaudrate->setObjectName(QStringLiteral("RadioGroupBaudrate"));
    RadioGroupBaudrate->setGeometry(312, 126, 129, 115);
    RadioGroupBaudrate->SetOnClick(
        Guarded<TRadioGroup*>([this](TRadioGroup*) { RadioGroupBaudrateClick(); }));

    RadioGroupParameterRS232 = new TRadioGroup(QStringLiteral("Parameter"), PanelMain);
    RadioGroupParameterRS232->setObjectName(QStringLiteral("RadioGroupParameterRS232"));
    RadioGroupParameterRS232->setGeometry(456, 126, 129, 115);
    RadioGroupParameterRS232->SetOnClick(
        Guarded<TRadioGroup*>([this](TRadioGroup*) { RadioGroupParameterRS232Click(); }));

    MemoPolling = new QPlainTextEdit(PanelMain);
    MemoPolling->setObjectName(QStringLiteral("MemoPolling"));
    MemoPolling->setGeometry(0, kClientHeight - kMemoHeight, kClientWidth, kMemoHeight);
    MemoPolling->setFont(MemoFont());
    MemoPolling->setReadOnly(true);
    MemoPolling->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    MemoPolling->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    MemoPolling->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    MemoPolling->setMaximumBlockCount(kMemoMaxLines);
    TrafficLog = new TTrafficLog(MemoPolling, kMemoMaxLines, this);
    TrafficLog->OnPickFileName = [this](const QString& title, bool forRecording) {
        return PickLogFileName(title, forRecording);
    };
    TrafficLog->OnShowMessage = [this](const QString& text) { ShowMessage(text); };
    TrafficLog->OnBusOverview = [this] { ShowBusOverview(); };

    TimerPolling = new QTimer(this);
    TimerPolling->setObjectName(QStringLiteral("TimerPolling"));
    // Polls go out on a steady 500 ms beat; a coarse timer would let them drift by up to 5 %.
    TimerPolling->setTimerType(Qt::PreciseTimer);
    TimerPolling->setInterval(kPollIntervalMs);
    connect(TimerPolling, &QTimer::timeout, this, Guarded([this] { TimerPollingTimer(); }));

    CreateComPort();
}

void TFormMain::CreateComPort()
{
    ComPort = new TApdComPort(this);
    // Its stored settings are applied while it loads, as for every component the window makes.
    ComPort->BeginLoading();
    ComPort->SetName("ComPort");
    ComPort->SetBaud(9600);
    ComPort->SetPromptForPort(false);
    ComPort->SetBufferFull(3686);
    ComPort->SetBufferResume(409);
    ComPort->SetTraceName("TRACEALLHEX.TXT");
    ComPort->SetLogName("LOGHEX.TXT");
    ComPort->SetOnPortOpen([this](TComponent*) { ComPortPortOpen(); });
    ComPort->SetOnPortClose([this](TComponent*) { ComPortPortClose(); });
    ComPort->SetOnPortGone([this](TComponent*) { ComPortPortGone(); });
    FDeviceReturn = new TDeviceReturn(this);
    connect(FDeviceReturn, &TDeviceReturn::Present, this,
            Guarded<uint16_t>([this](uint16_t comNumber) { DeviceReturnPresent(comNumber); }));

    DataPacket = new TApdDataPacket(this);
    DataPacket->BeginLoading();
    DataPacket->SetName("DataPacket");
    DataPacket->SetComPort(ComPort);
    DataPacket->SetEnabled(true);
    DataPacket->SetOnStringPacket(
        [this](TComponent*, const std::string& data) { DataPacketStringPacket(data); });
    // The stored settings are those of the polling mode.
    ApplyPacketMode(pmPolling);
}

void TFormMain::CreateHeader()
{
    PanelHeader = new QWidget(PanelMain);
    PanelHeader->setObjectName(QStringLiteral("PanelHeader"));
    PanelHeader->setGeometry(0, 0, kClientWidth, kHeaderHeight);
    QPalette white = PanelHeader->palette();
    white.setColor(QPalette::Window, Qt::white);
    PanelHeader->setPalette(white);
    PanelHeader->setAutoFillBackground(true);

    ImageLogo = new QLabel(PanelHeader);
    ImageLogo->setObjectName(QStringLiteral("ImageLogo"));
    const QPixmap logo(QStringLiteral(":/app/logo.png"));
    ImageLogo->setPixmap(logo);
    // The image takes the picture's size.
    ImageLogo->setGeometry(32, 27, logo.width(), logo.height());

    LabelContact1 = MakeLabel(PanelHeader, "LabelContact1", QStringLiteral("Lintaker project"), 387, 21);
    LabelContact2 = MakeLabel(PanelHeader, "LabelContact2", QStringLiteral("Field service tools"), 387, 34);
    LabelContact3 = MakeLabel(PanelHeader, "LabelContact3", QStringLiteral("RS485 and RS232 lines"), 387, 48);
    LabelContact4 = MakeLabel(PanelHeader, "LabelContact4", QStringLiteral("Open source"), 387, 62);

    // The link opens the user guide that belongs to the executable. Its absolute path is the
    // caption, because a click opens the caption itself and a relative name would depend on the
    // working directory; a path wider than the label is drawn shortened, and shown whole as tip.
    LabelUrl = new TUrlLabel(PanelHeader);
    LabelUrl->setObjectName(QStringLiteral("LabelUrl"));
    LabelUrl->setText(UserGuidePath());
    LabelUrl->setToolTip(LabelUrl->text());
    LabelUrl->setFont(StyleOnly(false, true));
    QPalette link = LabelUrl->palette();
    link.setColor(QPalette::WindowText, Qt::blue);
    link.setColor(QPalette::Window, Qt::white);
    LabelUrl->setPalette(link);
    LabelUrl->setAutoFillBackground(true);
    LabelUrl->setGeometry(387, 83, kClientWidth - 387 - 8, 16);
    connect(LabelUrl, &TUrlLabel::MouseEnter, this, [this] { LabelUrlMouseEnter(LabelUrl); });
    connect(LabelUrl, &TUrlLabel::MouseLeave, this, [this] { LabelUrlMouseLeave(LabelUrl); });
    connect(LabelUrl, &TUrlLabel::Click, this, [this] { LabelUrlClick(LabelUrl); });
}

void TFormMain::FormCreate()
{
    setWindowTitle(QStringLiteral("  ORV / ODL - Lintaker  -  11/12/2014"));
    CheckBoxProtocol->setVisible(RadioButtonListen->isChecked());
    FPollCounter = 0;
    for (const char* baud : {"1200", "2400", "4800", "9600", "19200", "38400"})
        RadioGroupBaudrate->AddItem(QString::fromLatin1(baud));
    // Selecting runs the group's handler as a click does, so the port is set to 9600 baud and
    // 8-N-1 before it is first opened.
    RadioGroupBaudrate->SetItemIndex(3);
    for (const char* format : {"7-N-1", "7_E-1", "7-O-1", "8-N-1 (default)", "8-E-1", "8-O-1"})
        RadioGroupParameterRS232->AddItem(QString::fromLatin1(format));
    RadioGroupParameterRS232->SetItemIndex(3);
    TrafficLog->Clear();
}

void TFormMain::FormShow()
{
    // The port list gets the machine's ports; names the list already has are not added again.
    ComboBoxCOM->FillPorts();
    if (ComboBoxCOM->count() > 0)
        ComboBoxCOM->setCurrentIndex(0);
    ButtonSaveComConnection->setFocus();
}

void TFormMain::FormClose()
{
    // The window goes whatever the line says: an error of the close is of no use to anyone now.
    FDeviceReturn->Stop();
    try {
        ComPort->SetOpen(false);
    } catch (...) {
    }
}

void TFormMain::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // A spontaneous show is the window system restoring the window, not the program showing it.
    if (event->spontaneous())
        return;
    if (!FShownBefore) {
        FShownBefore = true;
        if (const QScreen* screen = this->screen()) {
            const QRect area = screen->availableGeometry();
            move(area.center() - QPoint(width() / 2, height() / 2));
        }
    }
    FormShow();
}

void TFormMain::closeEvent(QCloseEvent* event)
{
    FormClose();
    event->accept();
}

void TFormMain::LabelUrlMouseEnter(QObject* sender)
{
    SetScreenCursor(Qt::PointingHandCursor);
    if (auto* label = qobject_cast<QLabel*>(sender))
        label->setFont(StyleOnly(true, true));
}

void TFormMain::LabelUrlMouseLeave(QObject* sender)
{
    SetScreenCursor(Qt::ArrowCursor);
    if (auto* label = qobject_cast<QLabel*>(sender))
        label->setFont(StyleOnly(false, true));
}

void TFormMain::LabelUrlClick(QObject* sender)
{
    try {
        auto* label = qobject_cast<QLabel*>(sender);
        if (!label)
            return;
        const QByteArray target = QFile::encodeName(label->text());
        // The window has no platform window handle to parent the shell's window on; the desktop's
        // handler needs none. What the shell answers is not examined.
        ShellExecuteA(nullptr, nullptr, target.constData(), nullptr, nullptr, SW_SHOW);
    } catch (const std::exception& error) {
        ShowMessage(QString::fromLocal8Bit(error.what()));
    }
}

void TFormMain::ButtonSaveComConnectionClick()
{
    try {
        if (FDeviceReturn->Waiting()) {
            // Disconnect while the device is away: no more waiting, and the window as after a close.
            StopWaitingForDevice();
            return;
        }
        QString number = ComboBoxCOM->currentText();
        const qsizetype prefix = number.indexOf(QStringLiteral("COM"), 0, Qt::CaseSensitive);
        if (prefix >= 0)
            number.remove(prefix, 3);
        if (ComPort->Open()) {
            ComPort->SetOpen(false);
            // Until a deferred close is over the button would read "Connect" while the port
            // still reads open, and the next click would close again instead of connecting.
            WaitForClose();
        } else {
            ComPort->SetComNumber(PortNumberOf(number));
            ComPort->SetOpen(true);
        }
    } catch (const EAlreadyOpen& error) {
        // The text stays the component's; who holds the port is what the user needs to act on.
        ShowDetailedMessage(ExceptionText(error), QString::fromStdString(platform::GetLastErrorDetail()));
    } catch (const std::exception& error) {
        ShowMessage(ExceptionText(error));
    }
}

void TFormMain::ComPortPortOpen()
{
    ButtonSaveComConnection->setText(QStringLiteral("Disconnect"));
    ComboBoxCOM->setEnabled(false);
    // Whatever came or was queued before the open belongs to no request of ours.
    ComPort->DiscardInput();
    ComPort->DiscardOutput();
    SetPollTimerEnabled(RadioButtonPolling->isChecked());
    FOpenIdentity = TDeviceReturn::IdentityOf(ComPort->ComNumber());
}

void TFormMain::ComPortPortClose()
{
    if (FDeviceReturn->Waiting()) {
        // The port closed because its device went; the connection is still the user's until
        // Disconnect, so the button and the list stay as they are.
        SetPollTimerEnabled(false);
        return;
    }
    ButtonSaveComConnection->setText(QStringLiteral("Connect"));
    ComboBoxCOM->setEnabled(true);
    SetPollTimerEnabled(false);
}

void TFormMain::ComPortPortGone()
{
    if (!ComPort->Open())
        return;
    // From here on nothing is logged as sent: there is nobody to send it to.
    SetPollTimerEnabled(false);
    // A message the loss broke off arrived all the same: the close below would throw away what the
    // detector holds of it, so it is shown first, as far as it came.
    if (const std::string held = HeldMessage(); !held.empty())
        AppendLogLine(RadioButtonListen->isChecked() ? ">>> " : "", held);
    const QString name = QStringLiteral("COM%1").arg(ComPort->ComNumber());
    LogNotice(QStringLiteral("%1: the device has gone (hung up or unplugged). Waiting for it to come "
                             "back; Disconnect stops waiting.")
                  .arg(name));
    TDeviceIdentity identity = FOpenIdentity;
    if (identity.ComNumber != ComPort->ComNumber()) {
        identity = TDeviceIdentity();
        identity.ComNumber = ComPort->ComNumber();
    }
    // The wait begins before the close, so that the close leaves the button and the list alone.
    FReopenFailingSince.invalidate();
    FReopenFailureLogged.clear();
    FDeviceReturn->Start(identity);
    // The dead handle goes at once: while it is held the kernel keeps the device's name, and an
    // adapter plugged back in would come under another one. A failing close changes nothing here.
    try {
        ComPort->SetOpen(false);
    } catch (...) {
    }
    WaitForClose();
}

void TFormMain::DeviceReturnPresent(uint16_t comNumber)
{
    if (!FDeviceReturn->Waiting() || ComPort->PortPhase() != ppClosed)
        return;
    const uint16_t before = FDeviceReturn->Identity().ComNumber;
    try {
        ComPort->SetComNumber(comNumber);
        ComPort->SetOpen(true);
    } catch (const std::exception& error) {
        // Not ready yet (udev still setting its permissions, or the device still starting): the
        // next change or the slow retry tries again, without a message box each time. A failure
        // that lasts is told once in the log, so that the technician knows why nothing happens.
        if (!FReopenFailingSince.isValid())
            FReopenFailingSince.start();
        const QString text = ExceptionText(error);
        if (FReopenFailingSince.elapsed() >= kReopenFailureNoticeMs && text != FReopenFailureLogged) {
            FReopenFailureLogged = text;
            LogNotice(QStringLiteral("COM%1: the device is there again but does not open (%2). Still "
                                     "trying; Disconnect stops waiting.")
                          .arg(comNumber)
                          .arg(text));
        }
        return;
    }
    FDeviceReturn->Stop();
    const QString name = QStringLiteral("COM%1").arg(comNumber);
    int index = ComboBoxCOM->findText(name);
    if (index < 0) {
        // An adapter back under another name: the list learns it as a drop-down would, with its
        // device as tool tip; a name the lister does not give is added as it is.
        ComboBoxCOM->FillPorts();
        index = ComboBoxCOM->findText(name);
    }
    if (index < 0) {
        ComboBoxCOM->addItem(name);
        index = ComboBoxCOM->findText(name);
    }
    ComboBoxCOM->setCurrentIndex(index);
    if (comNumber == before)
        LogNotice(
            QStringLiteral("%1: the device is back; connected again with the same settings.").arg(name));
    else
        LogNotice(
            QStringLiteral("%1: the device is back (it was COM%2); connected again with the same settings.")
                .arg(name)
                .arg(before));
}

void TFormMain::StopWaitingForDevice()
{
    FDeviceReturn->Stop();
    if (ComPort->Open()) {
        ComPort->SetOpen(false);
        WaitForClose();
    } else {
        ComPortPortClose();
    }
}

std::string TFormMain::HeldMessage() const
{
    const TApdDataPacketManager* manager = DataPacket->Manager();
    const int32_t start = DataPacket->PacketStart();
    if (!manager || !manager->Buffer() || start < 0 || start >= manager->BufferCount())
        return {};
    return std::string(reinterpret_cast<const char*>(manager->Buffer()) + start,
                       static_cast<size_t>(manager->BufferCount() - start));
}

void TFormMain::LogNotice(const QString& text) { TrafficLog->AppendNotice(QStringLiteral("*** ") + text); }

void TFormMain::AppendLogLine(std::string_view prefix, std::string_view message, std::string_view suffix)
{
    TrafficLog->AppendTraffic(prefix, message, suffix);
}

TFormBusOverview* TFormMain::ShowBusOverview()
{
    if (!FBusOverview)
        FBusOverview = new TFormBusOverview(FBusCounter, this);
    FBusOverview->Refresh();
    FBusOverview->show();
    FBusOverview->raise();
    FBusOverview->activateWindow();
    return FBusOverview;
}

void TFormMain::RadioButtonListenClick()
{
    CheckBoxProtocol->show();
    SetPollTimerEnabled(false);
    // The detector changes its conditions only on a closed port, so an open line is closed around
    // the change; its open notification then runs again.
    const bool wasOpen = ComPort->Open();
    ComPort->SetOpen(false);
    WaitForClose();
    ApplyPacketMode(pmMonitoring);
    ComPort->SetOpen(wasOpen);
}

void TFormMain::RadioButtonPollingClick()
{
    CheckBoxProtocol->hide();
    const bool wasOpen = ComPort->Open();
    ComPort->SetOpen(false);
    WaitForClose();
    ApplyPacketMode(pmPolling);
    ComPort->SetOpen(wasOpen);
    if (ComPort->Open())
        SetPollTimerEnabled(true);
}

void TFormMain::WaitForClose()
{
    // A close that comes while a received message is being handed to this thread is finished
    // only once that hand-over is over; until then the port still reads open, and opening it
    // again would be lost.
    if (ComPort->PortPhase() == ppClosing)
        WaitUntilPumping([this] { return ComPort->PortPhase() != ppClosing; }, nullptr, kCloseWaitMs);
}

void TFormMain::ApplyPacketMode(TPacketMode mode)
{
    // End condition and end string first: their setters restart an enabled detector.
    const bool monitoring = mode == pmMonitoring;
    DataPacket->SetEndCond({ecString});
    DataPacket->SetEndString(std::string(1, monitoring ? kETX : kLF));
    DataPacket->SetPacketSize(0);
    DataPacket->SetStartCond(monitoring ? scAnyData : scString);
    DataPacket->SetStartString(monitoring ? std::string() : std::string(">"));
    DataPacket->SetTimeOut(0);
}

void TFormMain::RadioGroupBaudrateClick()
{
    const int index = RadioGroupBaudrate->ItemIndex();
    if (index < 0)
        return;
    ComPort->SetBaud(StrToInt(RadioGroupBaudrate->Items().at(index)));
}

void TFormMain::RadioGroupParameterRS232Click()
{
    const int index = RadioGroupParameterRS232->ItemIndex();
    const TCharFormat& format = index >= 0 && index < static_cast<int>(std::size(kCharFormats))
                                    ? kCharFormats[static_cast<size_t>(index)]
                                    : kNoCharFormat;
    ComPort->SetDataBits(format.DataBits);
    ComPort->SetParity(format.Parity);
    ComPort->SetStopBits(format.StopBits);
}

void TFormMain::SetPollTimerEnabled(bool enabled)
{
    if (enabled == TimerPolling->isActive())
        return;
    if (enabled)
        TimerPolling->start();
    else
        TimerPolling->stop();
}

void TFormMain::TimerPollingTimer()
{
    // The device may have gone with word of it still on its way to this thread: a request now
    // would reach nobody, and must neither be logged as sent nor use up its address.
    if (const TApdBaseDispatcher* dispatcher = ComPort->Dispatcher();
        dispatcher && dispatcher->IsDeviceGone())
        return;
    ++FPollCounter;
    // A request not yet gone belongs to no exchange any more. Received bytes are not thrown
    // away: an answer slower than the beat is still arriving, and bytes read from the line but
    // not yet handed to the detector may be its beginning. Bytes outside ">" ... LF are skipped
    // by the detector anyway, and an answer the echo of this request cuts into is logged on its
    // own by DataPacketStringPacket.
    ComPort->DiscardOutput();
    std::string payload(1, kPollAddresses.at(static_cast<size_t>(FPollCounter - 1)));
    payload += kPollCommand;
    const std::string request = FrameMessage(payload);
    FLastRequest = request + std::string(kLineEnd);
    if (FPollCounter >= kPollDevices)
        FPollCounter = 0;
    AppendLogLine({}, FLastRequest);
    FBusCounter.Request(payload.front(), TBusCounter::TClock::now());
    if (FBusOverview && FBusOverview->isVisible())
        FBusOverview->Refresh();
    ComPort->SendString(FLastRequest);
}

void TFormMain::DataPacketStringPacket(const std::string& data)
{
    if (RadioButtonListen->isChecked()) {
        // Errors of the answer are not caught here: the detector passes them to the error
        // display, after both lines are in the log.
        std::string deviceClass;
        if (CheckBoxProtocol->isChecked())
            deviceClass = "\t[" + ClassifyMessage(data) + "]";
        AppendLogLine(">>> ", data, deviceClass);
        std::string answer = data;
        if (const size_t a = answer.find('A'); a != std::string::npos)
            answer[a] = 'J';
        if (const size_t r = answer.find('R'); r != std::string::npos)
            answer[r] = 'Y';
        AppendLogLine("<<< ", answer);
        ComPort->SendString(answer);
        return;
    }
    try {
        // The echo of our own request, as half-duplex adapters give it, is not an answer.
        if (data == FLastRequest)
            return;
        // An answer still arriving when the next request went out is ended by that request's
        // echo: what had arrived is logged as a line of its own, and the echo stays hidden.
        std::string_view answer(data);
        if (!FLastRequest.empty() && answer.ends_with(FLastRequest))
            answer.remove_suffix(FLastRequest.size());
        AppendLogLine({}, answer);
        FBusCounter.Answer(answer, TBusCounter::TClock::now());
        if (FBusOverview && FBusOverview->isVisible())
            FBusOverview->Refresh();
    } catch (...) {
    }
}

std::string TFormMain::ClassifyMessage(const std::string& message)
{
    auto contains = [&message](char letter) { return message.find(letter) != std::string::npos; };
    if (contains('R'))
        return "HTE";
    const bool fromStx = !message.empty() && message.front() == kSTX;
    // A "D" decides over an "A"; the length limits differ.
    const char* deviceClass = "";
    if (contains('A'))
        deviceClass = fromStx ? "B1" : message.size() > 10 ? "M1" : "V1";
    if (contains('D'))
        deviceClass = fromStx ? "B1" : message.size() > 28 ? "M1" : "V1";
    if (*deviceClass == '\0' && contains('T'))
        deviceClass = "HTE";
    return deviceClass;
}

void TFormMain::ShowMessage(const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(), text, QMessageBox::Ok, this);
    box.exec();
}

QString TFormMain::PickLogFileName(const QString& title, bool forRecording)
{
    // A recording continues a file that is there, so choosing one is no reason to ask about
    // replacing it.
    return QFileDialog::getSaveFileName(
        this, title, QString(), QStringLiteral("Text files (*.txt *.log);;All files (*)"), nullptr,
        forRecording ? QFileDialog::DontConfirmOverwrite : QFileDialog::Options());
}

void TFormMain::ShowDetailedMessage(const QString& text, const QString& details)
{
    if (details.isEmpty()) {
        ShowMessage(text);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(), text, QMessageBox::Ok, this);
    box.setDetailedText(details);
    box.exec();
}
