#include "Tarvik.h"

#include "Pop3Channel.h"
#include "Pop3Codes.h"
#include "Pop3Run.h"
#include "ProtectionStore.h"
#include "ServerAddress.h"

namespace {

bool isUnsafe(const QString &text)
{
    return text.contains(QLatin1Char('\r')) || text.contains(QLatin1Char('\n')) ||
           text.contains(QChar(0));
}

} // namespace

Tarvik::~Tarvik()
{
    *m_alive = false;
    if (m_channel)
        m_channel->cancel();
}

void Tarvik::popCheck()
{
    if (m_checking) {
        m_error = Pop3Code::Busy;
        m_status = QStringLiteral("A check is already running.");
        return;
    }

    m_count = 0;
    const auto refuse = [this](int code, const QString &status) {
        m_error = code;
        m_status = status;
    };
    if (isUnsafe(m_host))
        return refuse(Pop3Code::UnsafeInput,
                      QStringLiteral("Line break or NUL in the server name."));
    if (isUnsafe(m_user))
        return refuse(Pop3Code::UnsafeInput, QStringLiteral("Line break or NUL in the login."));
    if (isUnsafe(m_password))
        return refuse(Pop3Code::UnsafeInput, QStringLiteral("Line break or NUL in the password."));
    const ServerAddress address = ServerAddress::parse(m_host, quint16(m_port));
    if (address.problem() == ServerAddress::Problem::Empty)
        return refuse(Pop3Code::NoHost, address.problemText());
    if (!address.isValid())
        return refuse(Pop3Code::BadAddress, address.problemText());

    // Read afresh for every check, so that an edit of the file counts at once.
    const ProtectionStore store(m_protectionFile.isEmpty() ? ProtectionStore::defaultPath()
                                                           : m_protectionFile);
    Pop3SessionSettings settings{address, m_user, m_password, m_timeout, m_extraCas, m_scramNonce};
    // A bare host name tries implicit TLS first, and sends nothing secret in the clear unless
    // the server is on this machine. What it was checked with before decides where it goes:
    // port 995 if that gave TLS, port 110 if that gave TLS or SCRAM, both in a race otherwise
    // (an APOP or CRAM-MD5 server of an older version's checks may well have 995 too).
    const bool bare = address.isBare() && address.port() == ServerAddress::PlainPort;
    Protection secureLevel = Protection::None;
    if (!remembered(store, address, &settings.remembered) ||
        (bare && !remembered(store, address.withImplicitTls(), &secureLevel)))
        return refuse(Pop3Code::ProtectionUnknown, store.unreadableStatus());
    bool race = false;
    if (bare) {
        settings.clearLogin = ClearLogin::LoopbackOnly;
        if (secureLevel != Protection::None) {
            settings.address = address.withImplicitTls();
            settings.remembered = secureLevel;
            settings.rememberedTlsPort = true;
        } else {
            race = weaker(settings.remembered, Protection::Scram);
        }
    }

    m_checking = true;
    m_error = Pop3Code::Busy;
    m_status = QStringLiteral("Checking the mailbox...");
    // Both stay alive on this stack frame even if this object is destroyed by code that
    // runs while the session waits.
    const std::shared_ptr<bool> alive = m_alive;
    const auto channel = std::make_shared<Pop3Channel>();
    m_channel = channel;

    const Pop3Run run = race ? raceForTls(*channel, settings) : runSession(*channel, settings);
    // What the login gave counts whatever came after it.
    const bool saved = store.raise(run.address, run.given);
    if (!*alive)
        return;

    m_channel.reset();
    m_checking = false;
    m_error = run.outcome.code;
    m_status = run.outcome.status;
    m_count = run.outcome.count;
    if (run.given != Protection::None)
        keepUnsaved(run.address, saved ? Protection::None : run.given);
    // A note that could not be written is kept in memory for this run, and the check fails
    // so that the user learns that it did not last.
    if (!saved && m_error == Pop3Code::Ok) {
        m_error = Pop3Code::ProtectionNotSaved;
        m_status = store.unwritableStatus();
        m_count = 0;
    }
}

bool Tarvik::remembered(const ProtectionStore &store, const ServerAddress &address,
                        Protection *level) const
{
    if (!store.remembered(address, level))
        return false;
    const Protection unsaved = m_unsaved.value(ProtectionStore::key(address), Protection::None);
    if (weaker(*level, unsaved))
        *level = unsaved;
    return true;
}

void Tarvik::keepUnsaved(const ServerAddress &address, Protection level)
{
    const QByteArray key = ProtectionStore::key(address);
    if (level == Protection::None) {
        m_unsaved.remove(key);
        return;
    }
    if (weaker(m_unsaved.value(key, Protection::None), level) &&
        (m_unsaved.contains(key) || m_unsaved.size() < MaxUnsaved))
        m_unsaved.insert(key, level);
}

void Tarvik::popClose()
{
    if (m_checking)
        return;
    if (m_channel) {
        m_channel->abort();
        m_channel.reset();
    }
}
