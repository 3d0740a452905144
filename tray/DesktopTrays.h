#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>

class QDBusMessage;
class QDBusPendingCallWatcher;
class QDBusServiceWatcher;

// Which trays the desktop offers now, watched without asking Qt anything about trays: a
// StatusNotifierItem host on the session bus (KDE Plasma, GNOME's AppIndicator extension,
// most panels of today) and an XEmbed tray on the X display (the _NET_SYSTEM_TRAY_S0
// selection's owner). It only listens and asks without waiting: the bus and the X server tell
// it of every change, so it never wakes the program while nothing changes, and a watcher that
// is slow to answer never holds the program up.
class DesktopTrays : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    // What the session bus has said: nothing yet (a question is on its way), no
    // StatusNotifierWatcher, a watcher with no host registered, or a watcher with its host.
    enum class Bus { Unknown, NoWatcher, Watcher, Host };

    explicit DesktopTrays(QObject *parent = nullptr);
    ~DesktopTrays() override;

    Bus bus() const { return m_bus; }
    bool statusNotifierWatcher() const { return m_bus == Bus::Watcher || m_bus == Bus::Host; }
    bool statusNotifierHost() const { return m_bus == Bus::Host; }
    // An XEmbed tray manager owns the display's tray selection.
    bool xembedTray() const { return m_xembedTray; }

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

Q_SIGNALS:
    // One of the answers above has changed.
    void changed();
    // A watcher has taken the name on the bus (a panel or shell started or restarted): it
    // knows no item yet.
    void watcherStarted();

private Q_SLOTS:
    void askWatcher();
    void hostUnregistered();
    void watcherAnswered(QDBusPendingCallWatcher *call);
    void watcherOwnerChanged(const QString &service, const QString &oldOwner,
                             const QString &newOwner);

private:
    static QDBusMessage hostQuestion();
    void watchBus();
    void watchDisplay();
    void setBus(Bus bus);
    void setXembedTray(bool owned);

    QDBusServiceWatcher *m_owner = nullptr;
    Bus m_bus = Bus::Unknown;
    bool m_xembedTray = false;
    // The X side: the tray selection's atom and XFixes' first event code; 0 without X.
    quint32 m_trayAtom = 0;
    quint8 m_xfixesEvent = 0;
    quint64 m_question = 0; // the latest question to the watcher; older answers are stale
    int m_answerMs = 0;     // how long the next question waits; longer while none came
};
