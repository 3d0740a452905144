#pragma once

#include <QObject>

// Qt 6.4 decides once per process, at its first tray icon, whether its tray icons are items
// on the session bus (when a StatusNotifierWatcher there says that a host is registered) or
// embedded XEmbed icons, and to decide it asks the watcher and waits for the answer: a watcher
// that is slow to answer would hold the thread that makes the icon for as long as it takes,
// twice over. The probe lets Qt decide on a thread of its own, before the program makes its
// first tray icon, so the icon made on the UI thread finds the decision made and asks nothing.
class QtTrayProbe : public QObject {
    Q_OBJECT
public:
    enum class Answer {
        Unknown,  // not asked yet, or the question is on its way
        Embedded, // Qt's tray icons are XEmbed icons
        OwnItem,  // Qt makes items of its own on the bus, which the program never uses
    };

    // The one probe of the process.
    static QtTrayProbe &instance();

    Answer answer() const { return m_answer; }
    // Lets Qt decide, once; `answered` follows, from the event loop.
    void start();

Q_SIGNALS:
    void answered();

private:
    QtTrayProbe() = default;

    Answer m_answer = Answer::Unknown;
    bool m_started = false;
};
