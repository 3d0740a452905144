#include "WindowSettings.h"

#include "FlipChars.h"
#include "SettingsStore.h"
#include "mail/PopWindow.h"
#include "mail/TextRules.h"

using Box = PopWindow::Box;

namespace {

const QString PassKey = QStringLiteral("Pass");
const QString InKeyringKey = QStringLiteral("PassInKeyring");

bool isBlank(const QString &text)
{
    return trimBlanks(text).isEmpty();
}

} // namespace

bool getDefault(PopWindow &window, SettingsStore &store)
{
    window.setText(Box::Text2,
                   store.getSetting(QStringLiteral("Server"), QStringLiteral("Server")));
    window.setText(Box::Text3, store.getSetting(QStringLiteral("User"), QStringLiteral("Login")));
    window.setText(Box::Text4, flipChars(store.getSetting(PassKey, QString())));
    window.setText(Box::Text5, store.getSetting(QStringLiteral("Interval"), QStringLiteral("5")));
    if (store.getSetting(QStringLiteral("AtStart"), QStringLiteral("Max")) == u"Min")
        window.setCheck1(true);
    else
        window.showWindow();
    if (isBlank(window.text(Box::Text2)))
        window.setText(Box::Text2, QStringLiteral("Server"));
    if (isBlank(window.text(Box::Text3)))
        window.setText(Box::Text3, QStringLiteral("User"));
    if (isBlank(window.text(Box::Text5)))
        window.setText(Box::Text5, QStringLiteral("10"));
    return store.readable();
}

void saveSettings(const PopWindow &window, SettingsStore &store, PasswordPlace password)
{
    store.saveSetting(QStringLiteral("Server"), trimBlanks(window.text(Box::Text2)));
    store.saveSetting(QStringLiteral("User"), trimBlanks(window.text(Box::Text3)));
    recordPasswordPlace(store, password, trimBlanks(window.text(Box::Text4)));
    store.saveSetting(QStringLiteral("Interval"), window.text(Box::Text5));
    store.saveSetting(QStringLiteral("AtStart"),
                      window.check1() ? QStringLiteral("Min") : QStringLiteral("Max"));
}

void recordPasswordPlace(SettingsStore &store, PasswordPlace place, const QString &password)
{
    if (place == PasswordPlace::Keyring) {
        store.removeSetting(PassKey);
        store.saveSetting(InKeyringKey, QStringLiteral("true"));
    } else if (place == PasswordPlace::File) {
        store.saveSetting(PassKey, flipChars(password));
        store.removeSetting(InKeyringKey);
    }
}

bool passwordSavedToKeyring(const SettingsStore &store)
{
    return store.getSetting(InKeyringKey, QString()) == u"true";
}
