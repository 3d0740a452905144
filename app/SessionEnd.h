#pragma once

#include <QObject>

class QSocketNotifier;
class frmPop;

// Ends the program cleanly when the desktop session ends or a termination signal
// (SIGTERM, SIGHUP, SIGINT) arrives: the notification window is unloaded and the tray icon
// removed before the event loop stops.
class SessionEnd : public QObject {
    Q_OBJECT
public:
    explicit SessionEnd(frmPop &window);
    ~SessionEnd() override;

private:
    void signalArrived();
    void release();

    frmPop &m_window;
    QSocketNotifier *m_notifier = nullptr;
};
