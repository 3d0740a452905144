#include "TrayMenu.h"

#include "TrayBus.h"

#include <QDBusConnection>
#include <QDBusMetaType>
#include <QTimer>

QDBusArgument &operator<<(QDBusArgument &argument, const DBusMenuLayout &layout)
{
    argument.beginStructure();
    argument << layout.id << layout.properties;
    argument.beginArray(qMetaTypeId<QDBusVariant>());
    for (const DBusMenuLayout &child : layout.children)
        argument << QDBusVariant(QVariant::fromValue(child));
    argument.endArray();
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, DBusMenuLayout &layout)
{
    argument.beginStructure();
    argument >> layout.id >> layout.properties;
    layout.children.clear();
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        DBusMenuLayout entry;
        child.variant().value<QDBusArgument>() >> entry;
        layout.children << entry;
    }
    argument.endArray();
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const DBusMenuItem &item)
{
    argument.beginStructure();
    argument << item.id << item.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, DBusMenuItem &item)
{
    argument.beginStructure();
    argument >> item.id >> item.properties;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const DBusMenuEvent &event)
{
    argument.beginStructure();
    argument << event.id << event.eventId << event.data << event.timestamp;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, DBusMenuEvent &event)
{
    argument.beginStructure();
    argument >> event.id >> event.eventId >> event.data >> event.timestamp;
    argument.endStructure();
    return argument;
}

TrayMenu::TrayMenu(QObject *parent)
    : QObject(parent)
{
    qDBusRegisterMetaType<DBusMenuLayout>();
    qDBusRegisterMetaType<DBusMenuItem>();
    qDBusRegisterMetaType<DBusMenuItemList>();
    qDBusRegisterMetaType<DBusMenuEvent>();
    qDBusRegisterMetaType<DBusMenuEventList>();
    QDBusConnection::sessionBus().registerObject(TrayBus::MenuPath, this,
                                                 QDBusConnection::ExportScriptableSlots |
                                                     QDBusConnection::ExportScriptableSignals |
                                                     QDBusConnection::ExportAllProperties);
}

TrayMenu::~TrayMenu()
{
    QDBusConnection::sessionBus().unregisterObject(TrayBus::MenuPath);
}

void TrayMenu::setEntries(QList<Entry> entries)
{
    m_entries = std::move(entries);
    refresh();
}

QStringList TrayMenu::labels() const
{
    QStringList labels;
    for (const Entry &entry : m_entries)
        labels << (entry.label ? entry.label() : QString());
    return labels;
}

void TrayMenu::refresh()
{
    const QStringList now = labels();
    if (now == m_labels)
        return;
    m_labels = now;
    ++m_revision;
    Q_EMIT LayoutUpdated(m_revision, 0);
}

QVariantMap TrayMenu::properties(int id, const QStringList &names) const
{
    QVariantMap all;
    if (id == 0) {
        all.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
    } else if (m_labels.value(id - 1).isEmpty()) {
        all.insert(QStringLiteral("type"), QStringLiteral("separator"));
    } else {
        all.insert(QStringLiteral("label"), m_labels.value(id - 1));
        all.insert(QStringLiteral("enabled"), true);
        all.insert(QStringLiteral("visible"), true);
    }
    if (names.isEmpty())
        return all;
    QVariantMap asked;
    for (const QString &name : names) {
        if (all.contains(name))
            asked.insert(name, all.value(name));
    }
    return asked;
}

uint TrayMenu::GetLayout(int parentId, int recursionDepth, const QStringList &propertyNames,
                         DBusMenuLayout &layout)
{
    refresh();
    if (!known(parentId)) {
        sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("No such menu entry"));
        return 0;
    }
    layout.id = parentId;
    layout.properties = properties(parentId, propertyNames);
    if (parentId == 0 && recursionDepth != 0) {
        for (int id = 1; id <= m_entries.size(); ++id)
            layout.children << DBusMenuLayout{id, properties(id, propertyNames), {}};
    }
    return m_revision;
}

DBusMenuItemList TrayMenu::GetGroupProperties(const QList<int> &ids,
                                              const QStringList &propertyNames)
{
    DBusMenuItemList items;
    for (int id = 0; id <= m_entries.size(); ++id) {
        if (ids.isEmpty() || ids.contains(id))
            items << DBusMenuItem{id, properties(id, propertyNames)};
    }
    return items;
}

QDBusVariant TrayMenu::GetProperty(int id, const QString &name)
{
    const QVariantMap all = properties(id, {});
    if (!known(id) || !all.contains(name)) {
        sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("No such menu entry or property"));
        return {};
    }
    return QDBusVariant(all.value(name));
}

bool TrayMenu::clicked(int id, const QString &eventId)
{
    if (id < 1 || id > m_entries.size())
        return false;
    // Hovering, opening and closing ask nothing of the program.
    if (eventId != u"clicked" || !m_entries.at(id - 1).triggered)
        return true;
    QTimer::singleShot(0, this, m_entries.at(id - 1).triggered);
    return true;
}

void TrayMenu::Event(int id, const QString &eventId, const QDBusVariant &, uint)
{
    if (!clicked(id, eventId))
        sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("No such menu entry"));
}

QList<int> TrayMenu::EventGroup(const QList<DBusMenuEvent> &events)
{
    QList<int> idErrors;
    for (const DBusMenuEvent &event : events) {
        if (!clicked(event.id, event.eventId))
            idErrors << event.id;
    }
    return idErrors;
}

bool TrayMenu::AboutToShow(int)
{
    const uint before = m_revision;
    refresh();
    return m_revision != before;
}

QList<int> TrayMenu::AboutToShowGroup(const QList<int> &ids, QList<int> &idErrors)
{
    for (const int id : ids) {
        if (!known(id))
            idErrors << id;
    }
    return AboutToShow(0) ? QList<int>{0} : QList<int>{};
}
