#include "SecretKeyring.h"

#include "mail/SecureWipe.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QEventLoop>
#include <QTimer>
#include <qt6keychain/keychain.h>

#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
#include <dlfcn.h>
#endif

namespace {

const QString Service = QStringLiteral("Morvex");
const QString Key = QStringLiteral("password");
const QString SecretService = QStringLiteral("org.freedesktop.secrets");
// The keyrings QtKeychain reaches on this desktop's session bus.
const QStringList Keyrings = {SecretService, QStringLiteral("org.kde.kwalletd5"),
                              QStringLiteral("org.kde.kwalletd6")};

bool platformStore()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    return false;
#else
    return true; // the platform's own store, which has no bus and no lock
#endif
}

// libsecret keeps its connection to the Secret Service, and the session it opened there, for
// the whole run: once the keyring daemon was replaced (it ended and came back, or another
// took over), every request fails with "The session wrapping the secret does not exist".
// Told to let go, it connects afresh at the next request. Only where QtKeychain has loaded
// libsecret already; QtKeychain itself offers no way to do this.
void forgetSecretService()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    void *libsecret = ::dlopen("libsecret-1.so.0", RTLD_LAZY | RTLD_NOLOAD);
    if (!libsecret)
        return;
    using Disconnect = void (*)();
    if (auto disconnect =
            reinterpret_cast<Disconnect>(::dlsym(libsecret, "secret_service_disconnect")))
        disconnect();
    ::dlclose(libsecret);
#endif
}

} // namespace

SecretKeyring::SecretKeyring(QObject *parent)
    : KeyringAccess(parent)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (platformStore() || !bus.isConnected())
        return;
    m_watcher = new QDBusServiceWatcher(this);
    m_watcher->setConnection(bus);
    m_watcher->setWatchMode(QDBusServiceWatcher::WatchForOwnerChange);
    m_watcher->setWatchedServices(Keyrings);
    connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &service, const QString &, const QString &newOwner) {
                if (newOwner.isEmpty()) {
                    Q_EMIT vanished();
                    return;
                }
                if (service == SecretService)
                    forgetSecretService();
                Q_EMIT appeared();
            });
    for (const char *signal : {"CollectionChanged", "CollectionCreated"})
        bus.connect(SecretService, QStringLiteral("/org/freedesktop/secrets"),
                    QStringLiteral("org.freedesktop.Secret.Service"), QString::fromLatin1(signal),
                    this, SLOT(secretServiceChanged(QDBusObjectPath)));
}

void SecretKeyring::secretServiceChanged(const QDBusObjectPath &)
{
    Q_EMIT collectionChanged();
}

bool SecretKeyring::reachable() const
{
    if (platformStore())
        return true;
    // Without a keyring QtKeychain would only fail, after loading libsecret and GLib's GIO
    // for nothing (some 4 MiB that would stay for the whole run).
    const QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    if (!bus)
        return false;
    const QStringList startable = bus->activatableServiceNames().value();
    for (const QString &name : Keyrings)
        if (bus->isServiceRegistered(name).value() || startable.contains(name))
            return true;
    return false;
}

void SecretKeyring::askLock(LockDone done)
{
    const QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    if (platformStore() || !bus || !bus->isServiceRegistered(SecretService).value()) {
        const Lock lock = platformStore() ? Lock::Unlocked : Lock::Unknown;
        QTimer::singleShot(0, this, [this, done = std::move(done), lock] {
            done(lock);
            Q_EMIT delivered();
        });
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        SecretService, QStringLiteral("/org/freedesktop/secrets/aliases/default"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    call << QStringLiteral("org.freedesktop.Secret.Collection") << QStringLiteral("Locked");
    call.setAutoStartService(false);
    auto *watcher =
        new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, done = std::move(done)](QDBusPendingCallWatcher *answer) {
                answer->deleteLater();
                const QDBusPendingReply<QDBusVariant> reply = *answer;
                Lock lock = Lock::Unknown; // a keyring without a default collection, say
                if (reply.isError()) {
                    const QDBusError::ErrorType type = reply.error().type();
                    if (type == QDBusError::NoReply || type == QDBusError::Timeout ||
                        type == QDBusError::TimedOut)
                        lock = Lock::NoAnswer;
                } else {
                    lock = reply.value().variant().toBool() ? Lock::Locked : Lock::Unlocked;
                }
                done(lock);
                Q_EMIT delivered();
            });
}

void SecretKeyring::read(Done done)
{
    auto *job = new QKeychain::ReadPasswordJob(Service);
    job->setKey(Key);
    run(job, std::move(done));
}

void SecretKeyring::write(const QString &password, Done done)
{
    auto *job = new QKeychain::WritePasswordJob(Service);
    job->setKey(Key);
    job->setTextData(password);
    run(job, std::move(done));
}

void SecretKeyring::run(QKeychain::Job *job, Done done)
{
    ++m_unfinished;
    connect(job, &QKeychain::Job::finished, this,
            [this, done = std::move(done)](QKeychain::Job *ended) {
                --m_unfinished;
                Answer answer = Answer::Failed;
                if (ended->error() == QKeychain::NoError)
                    answer = Answer::Done;
                else if (ended->error() == QKeychain::EntryNotFound)
                    answer = Answer::NotFound;
                QString password;
                if (auto *reading = qobject_cast<QKeychain::ReadPasswordJob *>(ended))
                    password = reading->textData();
                done(answer, password);
                secureWipe(password);
                Q_EMIT delivered();
            });
    job->start();
}

void SecretKeyring::wait(const std::function<bool()> &answered)
{
    if (answered())
        return;
    QEventLoop loop;
    QTimer patience;
    patience.setSingleShot(true);
    patience.setTimerType(Qt::PreciseTimer);
    connect(&patience, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(this, &SecretKeyring::delivered, &loop, [&] {
        if (answered())
            loop.quit();
    });
    patience.start(PatienceMs);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}
