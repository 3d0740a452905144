#include "ProgramState.h"

#include "ScriptedControl.h"
#include "app/MessageBox.h"
#include "app/frmPop.h"
#include "mail/ChangeLog.h"
#include "settings/SettingsStore.h"
#include "ui/Forms.h"
#include "ui/FrmNotify.h"
#include "ui/frmAbout.h"
#include "ui/frmClose.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QTest>

ProgramState::ProgramState()
{
    MessageBox::setHandler(
        [this](const QString &title, const QString &prompt) { boxes << title + u'|' + prompt; });
    Module1::changeLog().clear();
}

ProgramState::~ProgramState()
{
    Forms::notify().unload();
    Forms::close().unload();
    Forms::about().unload();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    Module1::changeLog().clear();
    MessageBox::setHandler({});
}

void ProgramState::storeSettings(const QList<QPair<QString, QString>> &values)
{
    SettingsStore store;
    // Without a keyring, as in these tests, "Save" always writes a "Pass".
    store.saveSetting(QStringLiteral("Pass"), QString());
    for (const auto &[key, value] : values)
        store.saveSetting(key, value);
    QVERIFY(store.commit());
}

std::unique_ptr<frmPop> scriptedWindow(ScriptedControl **control, std::shared_ptr<TickSource> ticks)
{
    frmPop::Services services;
    auto scripted = std::make_unique<ScriptedControl>();
    *control = scripted.get();
    services.control = std::move(scripted);
    services.ticks = std::move(ticks);
    // Offscreen there is no tray host; the window tests stand in for one that shows the icon.
    if (QGuiApplication::platformName() == u"offscreen")
        services.trayHostPresent = [] { return true; };
    return std::make_unique<frmPop>(std::move(services));
}
