#include "TlsAttempt.h"

#include "AddressRace.h"
#include "TlsClient.h"

#include <QSslSocket>
#include <QTimer>

TlsAttempt::TlsAttempt(const QString &host, quint16 port, const QList<QSslCertificate> &extraCas,
                       int timeoutMs, QObject *parent)
    : QObject(parent)
    , m_host(host)
    , m_port(port)
    , m_extraCas(extraCas)
    , m_timeoutMs(timeoutMs)
    , m_race(new AddressRace(host, port, this))
    , m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &TlsAttempt::timedOut);
    connect(m_race, &AddressRace::changed, this, &TlsAttempt::connected);
}

TlsAttempt::~TlsAttempt()
{
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
}

void TlsAttempt::start()
{
    m_timer->start(m_timeoutMs);
    m_race->start();
}

void TlsAttempt::connected()
{
    if (m_state != State::Connecting || !m_race || !m_race->isOver())
        return;
    using Race = AddressRace::State;
    switch (m_race->state()) {
    case Race::Connected:
        break;
    case Race::HostNotFound:
        return fail(Pop3Channel::Result::HostNotFound);
    case Race::Refused:
        return fail(Pop3Channel::Result::Refused);
    case Race::TimedOut:
        return fail(Pop3Channel::Result::TimedOut);
    default:
        m_error = m_race->errorString();
        return fail(Pop3Channel::Result::Failed);
    }
    m_socket = m_race->takeSocket();
    m_socket->setParent(this);
    m_state = State::Handshaking;
    m_reachedHandshake = true;
    connect(m_socket, &QSslSocket::encrypted, this, &TlsAttempt::handshakeOver);
    connect(m_socket, &QAbstractSocket::disconnected, this, &TlsAttempt::handshakeOver);
    connect(m_socket, &QAbstractSocket::errorOccurred, this, &TlsAttempt::handshakeOver);
    connect(m_socket, &QSslSocket::sslErrors, this,
            [this](const QList<QSslError> &errors) { m_tlsErrors = errors; });
    if (!TlsClient::start(m_socket, m_host, m_extraCas))
        return fail(Pop3Channel::Result::TlsFailed);
    m_timer->start(m_timeoutMs);
    emit changed();
}

void TlsAttempt::handshakeOver()
{
    if (m_state != State::Handshaking)
        return;
    if (m_socket->isEncrypted()) {
        if (!TlsClient::namesHost(m_socket, m_host, &m_tlsErrors))
            return fail(Pop3Channel::Result::TlsFailed);
        m_socket->disconnect(this);
        return settle(State::Verified);
    }
    if (m_socket->state() != QAbstractSocket::ConnectedState ||
        m_socket->error() != QAbstractSocket::UnknownSocketError)
        fail(Pop3Channel::Result::TlsFailed);
}

void TlsAttempt::timedOut()
{
    if (hasSettled())
        return;
    dropRace();
    fail(Pop3Channel::Result::TimedOut);
}

// Abandons every connection attempt still under way. Never called from one of the race's
// own signals.
void TlsAttempt::dropRace()
{
    delete m_race;
    m_race = nullptr;
}

void TlsAttempt::fail(Pop3Channel::Result failure)
{
    m_failure = failure;
    if (m_socket) {
        if (m_error.isEmpty())
            m_error = m_socket->errorString();
        m_socket->disconnect(this);
        m_socket->abort();
    }
    settle(State::Failed);
}

void TlsAttempt::settle(State state)
{
    m_state = state;
    m_timer->stop();
    emit changed();
}

void TlsAttempt::withdraw()
{
    if (hasSettled() && m_state != State::Verified)
        return;
    if (m_socket) {
        m_socket->disconnect(this);
        if (m_socket->isEncrypted())
            m_socket->disconnectFromHost();
        else
            m_socket->abort();
    }
    dropRace();
    settle(State::Withdrawn);
}

QSslSocket *TlsAttempt::takeSocket()
{
    if (m_state != State::Verified || !m_socket)
        return nullptr;
    QSslSocket *socket = m_socket;
    m_socket = nullptr;
    socket->setParent(nullptr);
    return socket;
}
