#include "ScreenPlace.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace {

QPoint inside(const QRect &window, const QRect &area)
{
    const int x = qMax(area.left(), qMin(window.left(), area.right() + 1 - window.width()));
    const int y = qMax(area.top(), qMin(window.top(), area.bottom() + 1 - window.height()));
    return QPoint(x, y);
}

qint64 overlap(const QRect &a, const QRect &b)
{
    const QRect common = a.intersected(b);
    return common.isEmpty() ? 0 : qint64(common.width()) * common.height();
}

// Watches the window's showing and the screens for ScreenPlace::keep.
class Keeper : public QObject {
public:
    Keeper(QWidget *window, const QPoint &offset)
        : QObject(window)
        , m_window(window)
        , m_offset(offset)
    {
        window->installEventFilter(this);
        connect(qGuiApp, &QGuiApplication::screenAdded, this, &Keeper::screenAdded);
        connect(qGuiApp, &QGuiApplication::screenRemoved, this, &Keeper::placeShown);
        connect(qGuiApp, &QGuiApplication::primaryScreenChanged, this, &Keeper::placeShown);
        for (QScreen *screen : QGuiApplication::screens())
            screenAdded(screen);
        window->move(home());
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_window && event->type() == QEvent::Show)
            place();
        return false;
    }

private:
    QPoint home() const
    {
        const QList<ScreenPlace::Screen> all = ScreenPlace::screens();
        if (all.isEmpty())
            return m_offset;
        const QPoint spot = all.first().available.topLeft() + m_offset;
        return ScreenPlace::kept(QRect(spot, m_window->frameGeometry().size()), all, all.first(),
                                 spot);
    }

    void place()
    {
        const QList<ScreenPlace::Screen> all = ScreenPlace::screens();
        if (all.isEmpty())
            return;
        const QPoint to = ScreenPlace::kept(m_window->frameGeometry(), all, all.first(), home());
        if (to != m_window->frameGeometry().topLeft())
            m_window->move(to);
    }

    void placeShown()
    {
        if (m_window->isVisible())
            place();
    }

    void screenAdded(QScreen *screen)
    {
        connect(screen, &QScreen::geometryChanged, this, &Keeper::placeShown);
        connect(screen, &QScreen::availableGeometryChanged, this, &Keeper::placeShown);
        placeShown();
    }

    QWidget *m_window;
    QPoint m_offset;
};

} // namespace

QPoint ScreenPlace::kept(const QRect &window, const QList<Screen> &screens, const Screen &primary,
                         const QPoint &home)
{
    const Screen *most = nullptr;
    qint64 largest = 0;
    int touched = 0;
    for (const Screen &screen : screens) {
        const qint64 shared = overlap(window, screen.geometry);
        if (shared == 0)
            continue;
        ++touched;
        if (shared > largest) {
            largest = shared;
            most = &screen;
        }
    }
    if (touched == 1 && most->geometry.contains(window))
        return window.topLeft();
    if (!most)
        return inside(QRect(home, window.size()), primary.available);
    return inside(window, most->available);
}

QList<ScreenPlace::Screen> ScreenPlace::screens()
{
    QList<Screen> all;
    const QScreen *primary = QGuiApplication::primaryScreen();
    if (primary)
        all.append({primary->geometry(), primary->availableGeometry()});
    for (const QScreen *screen : QGuiApplication::screens()) {
        if (screen != primary)
            all.append({screen->geometry(), screen->availableGeometry()});
    }
    return all;
}

void ScreenPlace::keep(QWidget *window, const QPoint &offset)
{
    new Keeper(window, offset);
}
