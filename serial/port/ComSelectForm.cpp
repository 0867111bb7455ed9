// The port selection dialog and its modal use by the port component.
#include "serial/port/ComSelectForm.h"

#include "serial/port/AdSelCom.h"

#include <QApplication>
#include <QComboBox>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QThread>

namespace
{

constexpr int kClientWidth = 220;
constexpr int kClientHeight = 131;
// 8 points of the dialog's font at the 96 dots per inch it was laid out for.
constexpr int kFontPixels = 11;

QFont DialogFont()
{
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                      QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                      QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(kFontPixels);
    return font;
}

template <class T> T* Place(T* widget, const char* name, int left, int top)
{
    widget->setObjectName(QString::fromLatin1(name));
    widget->move(left, top);
    return widget;
}

} // namespace

TComSelectForm::TComSelectForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("ComSelectForm"));
    setWindowTitle(QStringLiteral("Select Port"));
    setFont(DialogFont());
    QPalette palette = this->palette();
    palette.setColor(QPalette::WindowText, Qt::black);
    setPalette(palette);
    setFixedSize(kClientWidth, kClientHeight);

    Bevel1 = Place(new QFrame(this), "Bevel1", 8, 8);
    Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Bevel1->resize(201, 42);
    Label1 =
        Place(new QLabel(QStringLiteral("The configured serial port is not valid."), this), "Label1", 18, 14);
    Label2 = Place(new QLabel(QStringLiteral("Please choose another port."), this), "Label2", 18, 30);
    for (QLabel* label : {Label1, Label2})
        label->adjustSize();

    PortsComboBox = Place(new QComboBox(this), "PortsComboBox", 8, 64);
    PortsComboBox->setEditable(false);
    PortsComboBox->resize(201, PortsComboBox->sizeHint().height());

    OkBtn = Place(new QPushButton(QStringLiteral("OK"), this), "OkBtn", 8, 95);
    OkBtn->resize(85, 27);
    OkBtn->setDefault(true);
    AbortBtn = Place(new QPushButton(QStringLiteral("Cancel"), this), "AbortBtn", 124, 95);
    AbortBtn->resize(85, 27);
    connect(OkBtn, &QPushButton::clicked, this, [this] { done(mrOk); });
    connect(AbortBtn, &QPushButton::clicked, this, [this] { done(mrAbort); });

    for (uint16_t n = kFirstSelectablePort; n <= kLastSelectablePort; ++n)
        if (PortValid(n))
            PortsComboBox->addItem(QStringLiteral("COM%1").arg(n));
    PortsComboBox->setCurrentIndex(PortsComboBox->count() > 0 ? 0 : -1);

    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

uint16_t TComSelectForm::ChosenNumber() const
{
    const int index = PortsComboBox->currentIndex();
    if (index < 0)
        throw EListError(index);
    return static_cast<uint16_t>(PortsComboBox->itemText(index).mid(3).toInt());
}

bool ExecuteComSelectForm(uint16_t& comNumber)
{
    // A program without widgets (or a thread other than theirs) has nobody to ask: as if the user
    // had cancelled.
    auto* application = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (!application || QThread::currentThread() != application->thread())
        return false;
    TComSelectForm form;
    if (form.exec() != TComSelectForm::mrOk)
        return false;
    comNumber = form.ChosenNumber();
    return true;
}
