// The link label of the header: a label that reports the mouse entering, leaving and clicking it,
// and draws a caption too long for its width shortened in the middle.
#pragma once

#include <QLabel>

class TUrlLabel : public QLabel
{
    Q_OBJECT

public:
    explicit TUrlLabel(QWidget* parent = nullptr);

    /// The caption as drawn: the whole text when it fits the label's width, else the text with
    /// its middle left out (whole folders of a path). The text itself (QLabel::text) stays
    /// whole; it is what a click opens.
    QString ShownText() const;

signals:
    void MouseEnter();
    void MouseLeave();
    /// A left-button press and release both over the label.
    void Click();

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    bool FPressed = false;
};
