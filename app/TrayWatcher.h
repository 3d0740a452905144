#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>

class QDBusMessage;
class QDBusPendingCallWatcher;
class QDBusServiceWatcher;

// Which trays the desktop offers now, watched without asking Qt anything about trays (Qt 6.4
// settles on one kind of tray icon the first time it is asked, for the whole process): a
// StatusNotifierItem host on the session bus (KDE Plasma, GNOME's AppIndicator extension,
// most panels of today) and an XEmbed tray on the X display (the _NET_SYSTEM_TRAY_S0
// selection's owner). It only listens: the bus and the X server tell it of every change, so
// it never wakes the program while nothing changes.
class TrayWatcher : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    explicit TrayWatcher(QObject *parent = nullptr);
    ~TrayWatcher() override;

    // A StatusNotifierWatcher is on the bus, and a host has registered with it.
    bool statusNotifierWatcher() const { return m_statusNotifierWatcher; }
    bool statusNotifierHost() const { return m_statusNotifierHost; }
    // An XEmbed tray manager owns the display's tray selection.
    bool xembedTray() const { return m_xembedTray; }

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

Q_SIGNALS:
    // One of the two answers above has changed.
    void changed();

private Q_SLOTS:
    void askWatcher();
    void watcherAnswered(QDBusPendingCallWatcher *call);

private:
    static QDBusMessage hostQuestion();
    void watchBus();
    void watchDisplay();
    void setStatusNotifierHost(bool watcher, bool registered);
    void setXembedTray(bool owned);

    QDBusServiceWatcher *m_owner = nullptr;
    bool m_statusNotifierWatcher = false;
    bool m_statusNotifierHost = false;
    bool m_xembedTray = false;
    // The X side: the tray selection's atom and XFixes' first event code; 0 without X.
    quint32 m_trayAtom = 0;
    quint8 m_xfixesEvent = 0;
    quint64 m_question = 0; // the latest question to the watcher; older answers are stale
};
