#include "Tray.h"

#include "TrayChoice.h"
#include "TrayIcon.h"
#include "TrayPicture.h"

Tray::Tray(QObject *parent)
    : QObject(parent)
    , m_choice(new TrayChoice(this))
{
    connectChoice();
}

Tray::Tray(std::function<bool()> standIn, QObject *parent)
    : QObject(parent)
    , m_choice(new TrayChoice(std::move(standIn), this))
{
    connectChoice();
}

void Tray::connectChoice()
{
    connect(m_choice, &TrayChoice::trayReady, this, [this] {
        if (!m_removed && !m_icon)
            Q_EMIT ready();
    });
    connect(m_choice, &TrayChoice::trayLost, this, &Tray::lost);
    connect(m_choice, &TrayChoice::watcherStarted, this, [this] {
        if (m_icon)
            m_icon->watcherStarted();
    });
    connect(m_choice, &TrayChoice::hostBack, this, [this] {
        if (m_icon)
            m_icon->hostAppeared();
    });
}

bool Tray::add(const QString &toolTip)
{
    if (m_icon || m_removed)
        return m_icon;
    const std::optional<TrayIcon::Kind> kind = m_choice->kindToMake();
    if (!kind)
        return false;
    m_shownMark = m_mark.marked();
    m_icon = new TrayIcon(*kind, TrayPicture::icon(m_shownMark), toolTip, this);
    if (m_shownMark > 0)
        m_icon->setPicture(m_icon->picture(), true);
    m_icon->setObjectName(QStringLiteral("trayData"));
    m_choice->made(m_icon->kind());
    connect(m_icon, &TrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { iconActivated(reason); });
    const auto label = [](const char *text) { return [text] { return QString::fromUtf8(text); }; };
    m_icon->setMenu({
        // What a double-click on an embedded icon does, first: where a host opens the menu at
        // a click (GNOME), this entry shows and hides the window.
        {[this] {
             return m_windowShown ? QStringLiteral("Hide Morvex") : QStringLiteral("Show Morvex");
         },
         [this] { Q_EMIT showOrHide(); }},
        {label("Check Now"), [this] { Q_EMIT checkNow(); }},
        {label("About Morvex"), [this] { Q_EMIT about(); }},
        {},
        {label("Exit Morvex\u2026"), [this] { Q_EMIT exit(); }},
    });
    return true;
}

void Tray::remove()
{
    m_removed = true;
    delete m_icon;
}

bool Tray::showsIcon() const
{
    return m_icon && m_choice->showsIcon();
}

void Tray::iconActivated(int reason)
{
    switch (reason) {
    case QSystemTrayIcon::DoubleClick:
        Q_EMIT showOrHide();
        break;
    case QSystemTrayIcon::Trigger:
        // An embedded icon reports the press of every click here, and a double-click after
        // it: a single click does nothing. A StatusNotifierItem host reports only its
        // activation (a click in most panels, a double-click in GNOME's): there it does what
        // the double-click does.
        if (m_icon && m_icon->kind() == TrayIcon::Kind::StatusNotifierItem)
            Q_EMIT showOrHide();
        break;
    case QSystemTrayIcon::Context:
        Q_EMIT about();
        break;
    default:
        break;
    }
}

void Tray::setWindowShown(bool shown)
{
    m_windowShown = shown;
    if (m_icon)
        m_icon->menuChanged();
}

void Tray::counted(qint64 count)
{
    m_mark.counted(count);
    showMark();
}

void Tray::userLooked()
{
    m_mark.looked();
    showMark();
}

void Tray::showMark()
{
    if (!m_icon)
        return;
    const qint64 marked = m_mark.marked();
    // Redrawn only when the number changes; "99+" stays "99+".
    if (NewMailMark::text(marked) == NewMailMark::text(m_shownMark))
        return;
    m_shownMark = marked;
    m_icon->setPicture(TrayPicture::icon(marked), marked > 0);
}
