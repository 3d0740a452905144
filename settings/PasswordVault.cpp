#include "PasswordVault.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QEventLoop>
#include <QTimer>
#include <memory>
#include <optional>
#include <qt6keychain/keychain.h>

namespace {

const QString Service = QStringLiteral("Morvex");
const QString Key = QStringLiteral("password");
// The session bus names of the keyrings QtKeychain reaches here.
constexpr const char *KeyringNames[] = {"org.freedesktop.secrets", "org.kde.kwalletd5",
                                        "org.kde.kwalletd6"};

// Whether a keyring is on the session bus now or can be started by it. Without one,
// QtKeychain would only fail, after loading libsecret and GLib's GIO for nothing (some 4 MiB
// that would stay for the whole run); the bus watcher tells when one comes.
bool keyringReachable()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    const QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    if (!bus)
        return false;
    const QStringList activatable = bus->activatableServiceNames().value();
    for (const char *name : KeyringNames) {
        const QString service = QString::fromLatin1(name);
        if (bus->isServiceRegistered(service).value() || activatable.contains(service))
            return true;
    }
    return false;
#else
    return true; // the platform's own store
#endif
}

PasswordVault::Result resultOf(const QKeychain::Job &job)
{
    switch (job.error()) {
    case QKeychain::NoError:
        return PasswordVault::Result::Done;
    case QKeychain::EntryNotFound:
        return PasswordVault::Result::NotFound;
    default:
        // No Secret Service on the bus ends in OtherError, a refused unlock in
        // AccessDeniedByUser: for the program they are all "no keyring now".
        return PasswordVault::Result::NoKeyring;
    }
}

} // namespace

PasswordVault::PasswordVault(QObject *parent)
    : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    m_watcher = new QDBusServiceWatcher(this);
    m_watcher->setConnection(bus);
    m_watcher->setWatchMode(QDBusServiceWatcher::WatchForRegistration);
    for (const char *name : KeyringNames)
        m_watcher->addWatchedService(QString::fromLatin1(name));
    connect(m_watcher, &QDBusServiceWatcher::serviceRegistered, this,
            &PasswordVault::keyringAppeared);
}

PasswordVault::~PasswordVault() = default;

void PasswordVault::read(Done done)
{
    auto *job = new QKeychain::ReadPasswordJob(Service);
    job->setKey(Key);
    run(job, std::move(done));
}

void PasswordVault::write(const QString &password, Done done)
{
    auto *job = new QKeychain::WritePasswordJob(Service);
    job->setKey(Key);
    job->setTextData(password);
    run(job, std::move(done));
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
    return answer->value_or(Result::NoKeyring);
}

void PasswordVault::run(QKeychain::Job *job, Done done)
{
    // The job cannot be called off: once the patience has run out the caller hears "no
    // keyring now", and a good end that still comes is reported as lateAnswer().
    struct Request {
        Done done;
        bool answered = false;
    };
    if (!keyringReachable()) {
        delete job;
        QTimer::singleShot(0, this,
                           [done = std::move(done)] { done(Result::NoKeyring, QString()); });
        return;
    }
    auto request = std::make_shared<Request>(Request{std::move(done)});
    ++m_unfinished;
    QTimer::singleShot(m_patienceMs, Qt::PreciseTimer, this, [request] {
        if (request->answered)
            return;
        request->answered = true;
        request->done(Result::NoKeyring, QString());
    });
    connect(job, &QKeychain::Job::finished, this, [this, request](QKeychain::Job *ended) {
        --m_unfinished;
        const Result result = resultOf(*ended);
        QString password;
        if (auto *reading = qobject_cast<QKeychain::ReadPasswordJob *>(ended))
            password = reading->textData();
        if (!request->answered) {
            request->answered = true;
            request->done(result, password);
        } else if (result != Result::NoKeyring) {
            Q_EMIT lateAnswer();
        }
    });
    job->start();
}
