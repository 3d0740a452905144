#include "QtTrayProbe.h"

#include <QCoreApplication>
#include <QMetaType>
#include <QSystemTrayIcon>
#include <QThread>

#include <atomic>
#include <memory>

QtTrayProbe &QtTrayProbe::instance()
{
    static QtTrayProbe *probe = nullptr;
    if (!probe) {
        probe = new QtTrayProbe;
        qAddPostRoutine([] {
            delete probe;
            probe = nullptr;
        });
    }
    return *probe;
}

void QtTrayProbe::start()
{
    if (m_started)
        return;
    m_started = true;
    auto ownItem = std::make_shared<std::atomic<bool>>(false);
    QThread *thread = QThread::create([ownItem] {
        // Making a tray icon is what makes Qt decide; this one is never shown, so nothing of
        // it reaches the display or the bus. An item of Qt's own registers the D-Bus type of
        // its pictures as it is made, and nothing else in Qt does: the type tells which way
        // Qt went.
        {
            QSystemTrayIcon decider;
        }
        ownItem->store(QMetaType::fromName("QXdgDBusImageVector").isValid());
    });
    connect(thread, &QThread::finished, this, [this, thread, ownItem] {
        thread->deleteLater();
        m_answer = ownItem->load() ? Answer::OwnItem : Answer::Embedded;
        Q_EMIT answered();
    });
    thread->start();
}
