// The main window: its controls as stored, their start state, and the header's link to the user guide.
#include "app/FrmMain.h"

#include "app/RadioGroup.h"
#include "app/UrlLabel.h"
#include "platform/win32.h"
#include "ports/UnitComPortListe.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>

#include <exception>
#include <mutex>
#include <vector>

// Outside any namespace, as the resource initialiser requires; the resources live in a static
// library, so nothing would pull them in otherwise.
static void InitAppResources() { Q_INIT_RESOURCE(app); }

namespace
{

constexpr int kHeaderHeight = 121;
constexpr int kMemoHeight = 229;
constexpr int kFontPixels = 11;
constexpr int kPollIntervalMs = 500;

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

QString TFormMain::UserGuidePath()
{
    return QDir::toNativeSeparators(
        QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QString::fromLatin1(kUserGuideName)));
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

    ComboBoxCOM = new QComboBox(PanelMain);
    ComboBoxCOM->setObjectName(QStringLiteral("ComboBoxCOM"));
    ComboBoxCOM->setEditable(false);
    ComboBoxCOM->setGeometry(24, 155, 125, 21);

    ButtonSaveComConnection = new QPushButton(QStringLiteral("Connect"), PanelMain);
    ButtonSaveComConnection->setObjectName(QStringLiteral("ButtonSaveComConnection"));
    ButtonSaveComConnection->setFont(StyleOnly(true, false));
    ButtonSaveComConnection->setGeometry(24, 183, 125, 35);
    connect(ButtonSaveComConnection, &QPushButton::clicked, this, &TFormMain::ButtonSaveComConnectionClick);

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
    connect(RadioButtonPolling, &QRadioButton::toggled, this, [this](bool checked) {
        if (checked)
            RadioButtonPollingClick();
    });
    connect(RadioButtonListen, &QRadioButton::toggled, this, [this](bool checked) {
        if (checked)
            RadioButtonListenClick();
    });

    RadioGroupBaudrate = new TRadioGroup(QStringLiteral("Baudrate"), PanelMain);
    RadioGroupBaudrate->setObjectName(QStringLiteral("RadioGroupBaudrate"));
    RadioGroupBaudrate->setGeometry(312, 126, 129, 115);
    RadioGroupBaudrate->SetOnClick([this](TRadioGroup*) { RadioGroupBaudrateClick(); });

    RadioGroupParameterRS232 = new TRadioGroup(QStringLiteral("Parameter"), PanelMain);
    RadioGroupParameterRS232->setObjectName(QStringLiteral("RadioGroupParameterRS232"));
    RadioGroupParameterRS232->setGeometry(456, 126, 129, 115);
    RadioGroupParameterRS232->SetOnClick([this](TRadioGroup*) { RadioGroupParameterRS232Click(); });

    MemoPolling = new QPlainTextEdit(PanelMain);
    MemoPolling->setObjectName(QStringLiteral("MemoPolling"));
    MemoPolling->setGeometry(0, kClientHeight - kMemoHeight, kClientWidth, kMemoHeight);
    MemoPolling->setFont(MemoFont());
    MemoPolling->setReadOnly(true);
    MemoPolling->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    MemoPolling->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    MemoPolling->setLineWrapMode(QPlainTextEdit::WidgetWidth);

    TimerPolling = new QTimer(this);
    TimerPolling->setObjectName(QStringLiteral("TimerPolling"));
    // Polls go out on a steady 500 ms beat; a coarse timer would let them drift by up to 5 %.
    TimerPolling->setTimerType(Qt::PreciseTimer);
    TimerPolling->setInterval(kPollIntervalMs);
    connect(TimerPolling, &QTimer::timeout, this, &TFormMain::TimerPollingTimer);
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

    // The link opens the user guide installed beside the executable. Its absolute path is the
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
    MemoPolling->clear();
}

void TFormMain::FormShow()
{
    // The port list gets the machine's ports; the lister skips names the list already has.
    std::vector<std::string> ports;
    for (int i = 0; i < ComboBoxCOM->count(); ++i)
        ports.push_back(ComboBoxCOM->itemText(i).toStdString());
    const size_t known = ports.size();
    ListComPorts(ports);
    for (size_t i = known; i < ports.size(); ++i)
        ComboBoxCOM->addItem(QString::fromStdString(ports[i]));
    if (ComboBoxCOM->count() > 0)
        ComboBoxCOM->setCurrentIndex(0);
    ButtonSaveComConnection->setFocus();
}

void TFormMain::FormClose() {}

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

void TFormMain::ButtonSaveComConnectionClick() {}

void TFormMain::ComPortPortOpen() {}

void TFormMain::ComPortPortClose() {}

void TFormMain::RadioButtonPollingClick() {}

void TFormMain::RadioButtonListenClick() {}

void TFormMain::RadioGroupBaudrateClick() {}

void TFormMain::RadioGroupParameterRS232Click() {}

void TFormMain::TimerPollingTimer() {}

void TFormMain::DataPacketStringPacket(const std::string&) {}

void TFormMain::ShowMessage(const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(), text, QMessageBox::Ok, this);
    box.exec();
}
