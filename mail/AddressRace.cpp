#include "AddressRace.h"

#include <QHostInfo>
#include <QSslSocket>
#include <QTimer>

namespace {

// RFC 8305 §4: the first address of the family the resolver preferred, then the first of
// the other family, and so on alternately; what is left of one family comes last.
QList<QHostAddress> interleaved(const QList<QHostAddress> &sorted)
{
    if (sorted.isEmpty())
        return sorted;
    const auto first = sorted.first().protocol();
    QList<QHostAddress> preferred;
    QList<QHostAddress> other;
    for (const QHostAddress &address : sorted)
        (address.protocol() == first ? preferred : other).append(address);
    QList<QHostAddress> order;
    for (qsizetype i = 0; i < qMax(preferred.size(), other.size()); ++i) {
        if (i < preferred.size())
            order.append(preferred.at(i));
        if (i < other.size())
            order.append(other.at(i));
    }
    return order;
}

} // namespace

AddressRace::AddressRace(const QString &host, quint16 port, QObject *parent)
    : QObject(parent)
    , m_host(host)
    , m_port(port)
    , m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &AddressRace::tryNext);
}

AddressRace::~AddressRace()
{
    if (m_lookup >= 0)
        QHostInfo::abortHostLookup(m_lookup);
    for (QSslSocket *socket : std::as_const(m_attempts)) {
        socket->disconnect(this);
        socket->abort();
    }
}

void AddressRace::start()
{
    // An address needs no lookup (and QHostInfo would look up its name instead).
    QHostAddress literal;
    if (literal.setAddress(m_host)) {
        m_addresses = {literal};
        m_state = State::Connecting;
        tryNext();
        return;
    }
    m_lookup = QHostInfo::lookupHost(m_host, this, &AddressRace::resolved);
}

void AddressRace::resolved(const QHostInfo &info)
{
    m_lookup = -1;
    m_addresses = interleaved(info.addresses());
    if (info.error() != QHostInfo::NoError || m_addresses.isEmpty()) {
        m_error = info.errorString();
        finish(State::HostNotFound);
        return;
    }
    m_state = State::Connecting;
    tryNext();
}

bool AddressRace::underWay() const
{
    for (const QSslSocket *socket : m_attempts) {
        if (socket->state() == QAbstractSocket::HostLookupState ||
            socket->state() == QAbstractSocket::ConnectingState)
            return true;
    }
    return false;
}

void AddressRace::tryNext()
{
    m_timer->stop();
    if (m_state != State::Connecting)
        return;
    if (m_next >= m_addresses.size()) {
        // Every address has been tried: the race is lost once the last attempt is over.
        if (!underWay())
            finish(m_anyRefused ? State::Refused : m_allTimedOut ? State::TimedOut : State::Failed);
        return;
    }
    const QHostAddress address = m_addresses.at(m_next++);
    auto *socket = new QSslSocket(this);
    m_attempts.append(socket);
    connect(socket, &QAbstractSocket::connected, this,
            [this, socket] { attemptConnected(socket); });
    connect(socket, &QAbstractSocket::errorOccurred, this,
            [this, socket] { attemptFailed(socket); });
    socket->connectToHost(address, m_port);
    // The attempt may have ended inside connectToHost() already.
    if (m_state == State::Connecting && socket->state() == QAbstractSocket::ConnectingState &&
        m_next < m_addresses.size())
        m_timer->start(AttemptDelayMs);
}

void AddressRace::attemptConnected(QSslSocket *socket)
{
    if (m_state != State::Connecting)
        return;
    m_winner = socket;
    finish(State::Connected);
}

void AddressRace::attemptFailed(QSslSocket *socket)
{
    if (m_state != State::Connecting)
        return;
    const QAbstractSocket::SocketError error = socket->error();
    m_error = socket->errorString();
    m_anyRefused = m_anyRefused || error == QAbstractSocket::ConnectionRefusedError;
    m_allTimedOut = m_allTimedOut && error == QAbstractSocket::SocketTimeoutError;
    socket->disconnect(this);
    socket->abort();
    // A failure moves on at once rather than after the delay.
    tryNext();
}

void AddressRace::finish(State state)
{
    m_state = state;
    m_timer->stop();
    for (QSslSocket *socket : std::as_const(m_attempts)) {
        if (socket == m_winner)
            continue;
        socket->disconnect(this);
        // One that connected as well is closed properly; the others never got that far.
        if (socket->state() == QAbstractSocket::ConnectedState)
            socket->disconnectFromHost();
        else
            socket->abort();
    }
    emit changed();
}

QSslSocket *AddressRace::takeSocket()
{
    QSslSocket *socket = m_winner;
    if (!socket)
        return nullptr;
    m_winner = nullptr;
    m_attempts.removeOne(socket);
    socket->disconnect(this);
    socket->setParent(nullptr);
    return socket;
}
