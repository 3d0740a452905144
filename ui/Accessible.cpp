#include "Accessible.h"

#include "CommandLabel.h"
#include "FrmNotify.h"

#include <QAccessibleWidget>
#include <QLabel>

namespace {

// A command label: a button named by its caption, with one action, press.
class CommandLabelInterface : public QAccessibleWidget {
public:
    explicit CommandLabelInterface(CommandLabel *label)
        : QAccessibleWidget(label, QAccessible::Button)
    {
    }

    QString text(QAccessible::Text t) const override
    {
        const QString own = QAccessibleWidget::text(t);
        if (t == QAccessible::Name && own.isEmpty())
            return label()->text();
        return own;
    }

    QStringList actionNames() const override { return {pressAction()}; }
    QStringList keyBindingsForAction(const QString &) const override { return {}; }
    void doAction(const QString &action) override
    {
        if (action == pressAction())
            label()->press();
    }

private:
    CommandLabel *label() const { return static_cast<CommandLabel *>(widget()); }
};

// The notification window: announced as a notification, named by the entry it shows, with
// the entry's time as its description.
class NotificationInterface : public QAccessibleWidget {
public:
    explicit NotificationInterface(FrmNotify *window)
        : QAccessibleWidget(window, QAccessible::Notification)
    {
    }

    QString text(QAccessible::Text t) const override
    {
        const auto *window = static_cast<FrmNotify *>(widget());
        if (t == QAccessible::Name)
            return window->Label1->text();
        if (t == QAccessible::Description)
            return window->Label2->text();
        return QAccessibleWidget::text(t);
    }
};

QAccessibleInterface *factory(const QString &className, QObject *object)
{
    if (className == u"CommandLabel")
        return new CommandLabelInterface(static_cast<CommandLabel *>(object));
    if (className == u"FrmNotify")
        return new NotificationInterface(static_cast<FrmNotify *>(object));
    return nullptr;
}

} // namespace

void Accessible::install()
{
    static const bool installed = [] {
        QAccessible::installFactory(&factory);
        return true;
    }();
    Q_UNUSED(installed);
}
