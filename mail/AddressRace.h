#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

class QHostInfo;
class QSslSocket;
class QTimer;

// One TCP connection to a host name or address, made as RFC 8305 ("Happy Eyeballs")
// describes. The name is resolved without blocking; its addresses are tried one family after
// the other (IPv6 and IPv4 interleaved, starting with the family the resolver put first, as
// its RFC 6724 order says); each next attempt starts when the one before has not connected
// within AttemptDelayMs, or at once when it failed (refused, unreachable), while the earlier
// ones go on. The first that connects wins: the attempts still under way are abandoned, and
// one that connected in the same moment is closed. The sockets are QSslSockets in plain
// mode, so the winner can start TLS later.
// The race has no deadline of its own and never blocks: drive it with an event loop, watch
// changed(), and delete it to give up (which abandons every attempt).
class AddressRace : public QObject {
    Q_OBJECT
public:
    static constexpr int AttemptDelayMs = 250;

    enum class State {
        Resolving,
        Connecting,
        Connected,    // takeSocket() hands over the connection
        HostNotFound, // the name did not resolve, or to no address
        Refused,      // an address refused (nothing listens on the port), none connected
        TimedOut,     // the system gave up on every attempt
        Failed,       // every attempt failed otherwise (see errorString())
    };

    AddressRace(const QString &host, quint16 port, QObject *parent = nullptr);
    ~AddressRace() override;
    AddressRace(const AddressRace &) = delete;
    AddressRace &operator=(const AddressRace &) = delete;

    void start();
    State state() const { return m_state; }
    bool isOver() const { return m_state != State::Resolving && m_state != State::Connecting; }
    // The last attempt's failure, for a status.
    QString errorString() const { return m_error; }
    // Every address the name resolved to, in the order they are (or would be) tried.
    QList<QHostAddress> addresses() const { return m_addresses; }
    // The connected socket once state() is Connected, then nullptr; the caller owns it, and
    // no signal of it reaches this object any more.
    QSslSocket *takeSocket();

signals:
    void changed();

private:
    void resolved(const QHostInfo &info);
    void tryNext();
    void attemptConnected(QSslSocket *socket);
    void attemptFailed(QSslSocket *socket);
    void finish(State state);
    bool underWay() const;

    QString m_host;
    quint16 m_port;
    int m_lookup = -1;
    QList<QHostAddress> m_addresses;
    qsizetype m_next = 0;
    // Every attempt made, kept until the race ends so that none is deleted inside one of its
    // own signals.
    QList<QSslSocket *> m_attempts;
    QSslSocket *m_winner = nullptr;
    QTimer *m_timer = nullptr;
    State m_state = State::Resolving;
    QString m_error;
    bool m_anyRefused = false;
    bool m_allTimedOut = true;
};
