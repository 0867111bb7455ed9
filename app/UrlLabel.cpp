// Link label: mouse notifications for the window's handlers, and the shortened drawing of a long caption.
#include "app/UrlLabel.h"

#include <QMouseEvent>
#include <QPainter>

TUrlLabel::TUrlLabel(QWidget* parent) : QLabel(parent) {}

QString TUrlLabel::ShownText() const
{
    const QString whole = text();
    const QFontMetrics metrics = fontMetrics();
    const int room = contentsRect().width();
    if (metrics.horizontalAdvance(whole) <= room)
        return whole;
    // A path loses whole folders from its middle, keeping its first folder and as much of its
    // end as fits ("/home/.../bin/UserGuide.html"), so what is left still reads as a path.
    const QChar separator = QLatin1Char('/');
    const QString ellipsis = QStringLiteral("\u2026");
    const QStringList parts = whole.split(separator);
    if (parts.size() >= 4) {
        const int head = parts.front().isEmpty() ? 2 : 1; // "/work" or "work"
        QString best;
        for (int tail = 1; head + tail < parts.size(); ++tail) {
            const QString candidate = QStringList(parts.mid(0, head)).join(separator) + separator + ellipsis +
                                      separator + QStringList(parts.mid(parts.size() - tail)).join(separator);
            if (metrics.horizontalAdvance(candidate) > room)
                break;
            best = candidate;
        }
        if (!best.isEmpty())
            return best;
    }
    return metrics.elidedText(whole, Qt::ElideMiddle, room);
}

void TUrlLabel::enterEvent(QEnterEvent* event)
{
    QLabel::enterEvent(event);
    emit MouseEnter();
}

void TUrlLabel::leaveEvent(QEvent* event)
{
    QLabel::leaveEvent(event);
    emit MouseLeave();
}

void TUrlLabel::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        FPressed = true;
    QLabel::mousePressEvent(event);
}

void TUrlLabel::mouseReleaseEvent(QMouseEvent* event)
{
    const bool click =
        FPressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    if (event->button() == Qt::LeftButton)
        FPressed = false;
    QLabel::mouseReleaseEvent(event);
    if (click)
        emit Click();
}

void TUrlLabel::paintEvent(QPaintEvent*)
{
    // The background is filled by the widget; only the caption is drawn here, in the label's
    // font (which carries the underline), so that the shortened form looks like the whole one.
    QPainter painter(this);
    painter.setFont(font());
    painter.setPen(palette().color(foregroundRole()));
    painter.drawText(contentsRect(), static_cast<int>(alignment()) | Qt::TextSingleLine, ShownText());
}
