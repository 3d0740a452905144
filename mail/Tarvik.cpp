#include "Tarvik.h"

#include "Pop3Channel.h"
#include "Pop3Codes.h"
#include "Pop3Session.h"
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
    Protection remembered = Protection::None;
    if (!store.remembered(address, &remembered))
        return refuse(Pop3Code::ProtectionUnknown, store.unreadableStatus());
    const Pop3SessionSettings settings{address,    m_user,       m_password, m_timeout,
                                       m_extraCas, m_scramNonce, remembered};

    m_checking = true;
    m_error = Pop3Code::Busy;
    m_status = QStringLiteral("Checking the mailbox...");
    // Both stay alive on this stack frame even if this object is destroyed by code that
    // runs while the session waits.
    const std::shared_ptr<bool> alive = m_alive;
    const auto channel = std::make_shared<Pop3Channel>();
    m_channel = channel;

    Pop3Session session(*channel, settings);
    const Pop3Outcome outcome = session.run();
    // What the login gave counts whatever came after it.
    store.raise(address, session.given());
    if (!*alive)
        return;

    m_channel.reset();
    m_checking = false;
    m_error = outcome.code;
    m_status = outcome.status;
    m_count = outcome.count;
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
