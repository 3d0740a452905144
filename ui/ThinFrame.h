#pragma once

#include <QWidget>

// The one-pixel frame of a fixed tool window. The windows have no title bar, so the window
// manager draws no frame for them; this draws it over the outermost pixels of the window,
// above every control, without moving or resizing anything and without taking a click.
class ThinFrame : public QWidget {
    Q_OBJECT
public:
    // Gives `window` its frame; the window owns it.
    static ThinFrame *attach(QWidget *window);

    // The colour the frame is drawn in, from the window's palette.
    static QColor colour(const QWidget *window);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    explicit ThinFrame(QWidget *window);
};
