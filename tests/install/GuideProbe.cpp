// A Qt plugin that the installation test loads into the installed program: once the window is up
// it prints the link label's caption, clicks the label as a user would, and closes the window.
#include <QApplication>
#include <QCoreApplication>
#include <QGenericPlugin>
#include <QLabel>
#include <QMouseEvent>
#include <QTimer>
#include <QWidget>

#include <cstdio>

namespace
{

// Looks for the window's link label until it is shown; the program builds its window only after
// the application object, and so this plugin, exists.
class TGuideProbe : public QObject
{
public:
    TGuideProbe()
    {
        auto* timer = new QTimer(this);
        timer->setInterval(10);
        connect(timer, &QTimer::timeout, this, [this, timer] {
            if (Probe())
                timer->stop();
        });
        timer->start();
    }

private:
    static bool Probe()
    {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            auto* label = window->findChild<QLabel*>(QStringLiteral("LabelUrl"));
            if (label == nullptr || !window->isVisible())
                continue;
            std::printf("caption: %s\n", label->text().toUtf8().constData());
            std::fflush(stdout);
            const QPointF inside(2, 2);
            const QPointF global = label->mapToGlobal(inside);
            QMouseEvent press(QEvent::MouseButtonPress, inside, global, Qt::LeftButton, Qt::LeftButton,
                              Qt::NoModifier);
            QMouseEvent release(QEvent::MouseButtonRelease, inside, global, Qt::LeftButton, Qt::NoButton,
                                Qt::NoModifier);
            QCoreApplication::sendEvent(label, &press);
            QCoreApplication::sendEvent(label, &release);
            window->close();
            return true;
        }
        return false;
    }
};

} // namespace

class TGuideProbePlugin : public QGenericPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "GuideProbe.json")

public:
    // The application deletes the object it is given when it ends.
    QObject* create(const QString&, const QString&) override { return new TGuideProbe; }
};

#include "GuideProbe.moc"
