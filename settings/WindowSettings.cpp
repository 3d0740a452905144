#include "WindowSettings.h"

#include "FlipChars.h"
#include "SettingsStore.h"
#include "mail/PopWindow.h"
#include "mail/TextRules.h"

using Box = PopWindow::Box;

namespace {

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
    window.setText(Box::Text4, flipChars(store.getSetting(QStringLiteral("Pass"), QString())));
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
    if (password == PasswordPlace::Keyring)
        store.removeSetting(QStringLiteral("Pass"));
    else if (password == PasswordPlace::File)
        store.saveSetting(QStringLiteral("Pass"), flipChars(trimBlanks(window.text(Box::Text4))));
    store.saveSetting(QStringLiteral("Interval"), window.text(Box::Text5));
    store.saveSetting(QStringLiteral("AtStart"),
                      window.check1() ? QStringLiteral("Min") : QStringLiteral("Max"));
}
