#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <QPointer>

class QWidget;

// Tells a window when the stacking of the desktop's windows may have changed, from what the
// X server reports: a top-level window mapped, moved, resized or restacked (the root window's
// SubstructureNotify, asked for only while a watch exists). Nothing is polled, so with nothing
// happening on the desktop it costs nothing. Where the window system is not X11 it never reports.
class StackingWatch : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    explicit StackingWatch(QWidget *window);
    ~StackingWatch() override;

    // Whether another window lies over part of this one, as the X server stacks them.
    // Windows that bypass the window manager (menus, tooltips) do not count: they come and go
    // with what the user does. False where this cannot be told.
    bool covered() const;

Q_SIGNALS:
    // The stacking may have changed; a burst of reports comes as one signal.
    void stackingChanged();

protected:
    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

private:
    void report();

    QPointer<QWidget> m_window;
    bool m_watching = false;
    bool m_pending = false;
};
