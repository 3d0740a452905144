#include "PasswordVault.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QEventLoop>
#include <QTimer>
#include <memory>
#include <optional>
#include <qt6keychain/keychain.h>

#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
#include <dlfcn.h>
#endif

namespace {

const QString Service = QStringLiteral("Morvex");
const QString Key = QStringLiteral("password");
const QString SecretService = QStringLiteral("org.freedesktop.secrets");

// QtKeychain chooses its way to the keyring at its first request in the process and keeps
// it for the whole run.
bool qtKeychainSettled = false;

// Whether QtKeychain asks KWallet 5 before the Secret Service here: on a Plasma 5 session,
// told from the environment the way QtKeychain tells it. On any other desktop it goes to
// the Secret Service through libsecret, and reaches a KWallet only where that offers the
// Secret Service itself.
bool walletAskedFirst()
{
    const bool plasma5 = qgetenv("KDE_SESSION_VERSION") == "5";
    const QByteArray desktop = qgetenv("XDG_CURRENT_DESKTOP");
    if (desktop == "KDE")
        return plasma5;
    if (desktop == "GNOME" || desktop == "Unity" || desktop == "XFCE")
        return false;
    const QByteArray session = qgetenv("DESKTOP_SESSION");
    if (session == "kde")
        return plasma5;
    if (session == "gnome" || session == "kde4" || session == "xubuntu" || session.contains("xfce"))
        return false;
    return qEnvironmentVariableIsEmpty("GNOME_DESKTOP_SESSION_ID") &&
           !qEnvironmentVariableIsEmpty("KDE_FULL_SESSION") && plasma5;
}

// libsecret keeps its connection to the Secret Service, and the session it opened there,
// for the whole run: once the keyring daemon was replaced (it ended and came back, or a
// new one took over), every request would fail with "The session does not exist". Told
// to let go, it connects afresh at the next request. Only where QtKeychain has loaded
// libsecret already.
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

PasswordVault::PasswordVault(QObject *parent)
    : QObject(parent)
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    if (walletAskedFirst())
        m_wallet = QStringLiteral("org.kde.kwalletd5");
#endif
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    m_watcher = new QDBusServiceWatcher(this);
    m_watcher->setConnection(bus);
    m_watcher->setWatchMode(QDBusServiceWatcher::WatchForOwnerChange);
    m_watcher->addWatchedService(SecretService);
    if (!m_wallet.isEmpty())
        m_watcher->addWatchedService(m_wallet);
    connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &service, const QString &, const QString &newOwner) {
                if (newOwner.isEmpty())
                    return;
                if (service == SecretService)
                    forgetSecretService();
                Q_EMIT keyringAppeared();
            });
}

PasswordVault::~PasswordVault() = default;

void PasswordVault::read(Done done)
{
    if (!admitted(Reading, done))
        return;
    auto *job = new QKeychain::ReadPasswordJob(Service);
    job->setKey(Key);
    run(Reading, job, std::move(done));
}

void PasswordVault::write(const QString &password, Done done)
{
    if (!admitted(Writing, done))
        return;
    auto *job = new QKeychain::WritePasswordJob(Service);
    job->setKey(Key);
    job->setTextData(password);
    run(Writing, job, std::move(done));
}

PasswordVault::Result PasswordVault::writeAndWait(const QString &password)
{
    QEventLoop loop;
    auto answer = std::make_shared<std::optional<Result>>();
    write(password, [answer, &loop](Result result, const QString &) {
        *answer = result;
        loop.quit();
    });
    if (!answer->has_value())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    return answer->value_or(Result::Locked);
}

PasswordVault::Reach PasswordVault::reach()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    // Without a keyring QtKeychain would only fail, after loading libsecret and GLib's GIO
    // for nothing (some 4 MiB that would stay for the whole run); the bus watcher tells when
    // one comes.
    const QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    if (!bus)
        return Reach::None;
    const QStringList startable = bus->activatableServiceNames().value();
    if (!m_wallet.isEmpty()) {
        if (bus->isServiceRegistered(m_wallet).value())
            return Reach::Now;
        // QtKeychain gives KWallet half a second to answer its first request: a wallet the
        // bus has yet to start is started first, so that a slow start does not leave the
        // program on the Secret Service for the whole run.
        if (!qtKeychainSettled && !m_walletFailed && startable.contains(m_wallet)) {
            startWallet();
            return Reach::NotYet;
        }
    }
    if (bus->isServiceRegistered(SecretService).value() || startable.contains(SecretService))
        return Reach::Now;
    return Reach::None;
#else
    return Reach::Now; // the platform's own store
#endif
}

void PasswordVault::startWallet()
{
    if (m_walletStart)
        return;
    QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    m_walletStart = new QDBusPendingCallWatcher(
        bus->asyncCall(QStringLiteral("StartServiceByName"), m_wallet, 0u), this);
    connect(m_walletStart, &QDBusPendingCallWatcher::finished, this, [this] {
        const bool failed = m_walletStart->isError();
        m_walletStart->deleteLater();
        m_walletStart = nullptr;
        // A wallet that started shows on the bus; one that will not start leaves the
        // Secret Service, if there is one.
        if (failed) {
            m_walletFailed = true;
            Q_EMIT keyringAppeared();
        }
    });
}

bool PasswordVault::admitted(Kind kind, Done &done)
{
    // One request of a kind at a time: while one is outstanding, the keyring has not
    // answered, and another would only wait behind it.
    const Reach reached = m_outstanding[kind] ? Reach::NotYet : reach();
    if (reached == Reach::Now)
        return true;
    const Result result = reached == Reach::None ? Result::NoKeyring : Result::Locked;
    QTimer::singleShot(0, this, [done = std::move(done), result] { done(result, QString()); });
    return false;
}

PasswordVault::Result PasswordVault::resultOf(const QKeychain::Job &job) const
{
    switch (job.error()) {
    case QKeychain::NoError:
        return Result::Done;
    case QKeychain::EntryNotFound:
        return Result::NotFound;
    case QKeychain::NoBackendAvailable:
        return Result::NoKeyring;
    default:
        break;
    }
    // A refused unlock ends in AccessDenied(ByUser), a Secret Service that went away or
    // could not be started in OtherError: "locked" while a keyring is on the bus.
    const QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    if (!bus)
        return Result::Locked; // the platform's own store
    for (const QString &name : {SecretService, m_wallet})
        if (!name.isEmpty() && bus->isServiceRegistered(name).value())
            return Result::Locked;
    return Result::NoKeyring;
}

void PasswordVault::run(Kind kind, QKeychain::Job *job, Done done)
{
    // The job cannot be called off: once the patience has run out the caller hears
    // "locked", and a good end that still comes is reported as lateAnswer().
    struct Request {
        Done done;
        bool answered = false;
    };
    qtKeychainSettled = true;
    m_outstanding[kind] = true;
    auto request = std::make_shared<Request>(Request{std::move(done)});
    QTimer::singleShot(m_patienceMs, Qt::PreciseTimer, this, [request] {
        if (request->answered)
            return;
        request->answered = true;
        request->done(Result::Locked, QString());
    });
    connect(job, &QKeychain::Job::finished, this, [this, kind, request](QKeychain::Job *ended) {
        m_outstanding[kind] = false;
        const Result result = resultOf(*ended);
        QString password;
        if (auto *reading = qobject_cast<QKeychain::ReadPasswordJob *>(ended))
            password = reading->textData();
        if (!request->answered) {
            request->answered = true;
            request->done(result, password);
        } else if (result == Result::Done || result == Result::NotFound) {
            Q_EMIT lateAnswer();
        }
    });
    job->start();
}
