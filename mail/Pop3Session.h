#pragma once

#include "Pop3Channel.h"
#include "Pop3Login.h"
#include "Pop3Outcome.h"
#include "Protection.h"
#include "ServerAddress.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QDeadlineTimer>
#include <QList>
#include <QSslCertificate>
#include <QString>

#include <optional>

class Pop3Capa;
struct Pop3Reply;

// Whether a login may show the password, or a digest of it that a listener could attack
// offline (APOP, CRAM-MD5), on a connection without TLS.
enum class ClearLogin {
    Allowed,      // the server form says so: pop3://, or a port typed
    LoopbackOnly, // a bare host name: only a server reached over loopback gets it
};

struct Pop3SessionSettings {
    ServerAddress address; // valid
    QString user;
    QString password;
    int timeoutSeconds = 30;
    // Trusted besides the system's authorities; only tests set any.
    QList<QSslCertificate> extraCas;
    // The SCRAM client nonce; empty picks a random one. Only tests set one.
    QByteArray scramNonce;
    // The strongest protection this server gave before (ProtectionStore).
    Protection remembered = Protection::None;
    ClearLogin clearLogin = ClearLogin::Allowed;
    // A bare host name remembered on its implicit TLS port: failing to connect there is an
    // error of its own (TlsPortUnreachable), as port 110 is not tried in its place.
    bool rememberedTlsPort = false;
};

// One mailbox check on a channel, from connecting to QUIT: greeting, TLS, CAPA, login,
// STAT. TLS is implicit for pop3s:// and port 995; on a plain connection the session
// upgrades with STLS when the server offers it (RFC 2595), and then never falls back to the
// clear. The login follows Pop3Login::candidates(); before each mechanism starts, the
// protection it would give is compared with the remembered one, and a weaker one ends the
// check (ProtectionLowered) before the password or a proof is sent.
// Nothing that depends on the login goes out before the login's answer: real servers lose
// what is queued behind it (a login process that hands the connection to another one) or
// answer it out of turn (a phantom reply after AUTH). Pipelining (RFC 2449) is used only
// where that cannot happen: USER with PASS, and STAT with QUIT. A server that speaks
// before it is asked ends the check as a protocol error at once, rather than having its
// words taken for the answer to the next command.
// Without TLS the password (or a digest of it) goes out only as settings.clearLogin allows;
// SCRAM, which proves the password without revealing it, always may.
// The channel may already be connected (a rival's connection with TLS up, adopted): the
// session then starts at the greeting. On a channel with a rival, the session claims the
// check before its login in the clear; a superseded channel ends the session at once, its
// connection let go without waiting.
// Connecting, the handshake and each reply have poptimeout each. Once the server has
// greeted, QUIT is sent whenever the connection can still carry it; the channel is closed
// when run() returns. The dialogue is logged to the category "morvex.pop3" (debug level,
// off by default): command words and reply indicators, never an argument.
class Pop3Session {
public:
    Pop3Session(Pop3Channel &channel, const Pop3SessionSettings &settings);
    Pop3Outcome run();
    // The protection of the login, once it succeeded (TLS, SCRAM once the server's
    // signature checked out, APOP, CRAM-MD5), whatever came after; None until then.
    Protection given() const { return m_given; }
    // The server's greeting was read.
    bool greeted() const { return m_greeted; }

    // The outcome of a failure to connect to host, and of a TLS handshake that failed
    // (stls: on a plain connection, as opposed to implicit TLS); errorString is the
    // socket's, for a network error.
    static Pop3Outcome notConnected(Pop3Channel::Result result, const QString &host,
                                    const QString &errorString);
    static Pop3Outcome notEncrypted(Pop3Channel::Result result, bool stls, int timeoutSeconds,
                                    const QList<QSslError> &errors, const QString &errorString);

private:
    // Set when the check ends there.
    using Step = std::optional<Pop3Outcome>;
    enum class Farewell { None, Quit, QuitAndWait };
    using Mechanism = Pop3Login::Mechanism;
    // How a mechanism's attempt ended, when it failed.
    enum class Refusal {
        Final,    // the check ends with it
        AtStart,  // refused before any password or proof went out: the next one may follow
        OfSecret, // an APOP or CRAM-MD5 digest was refused: the next one may follow
    };

    Pop3Outcome converse();
    Step connect();
    Step greeting();
    Step upgrade(Pop3Capa *capa);
    Step startTls(bool stls);
    Step capabilities(Pop3Capa *capa);
    Step login(const Pop3Capa &capa, Mechanism *used);
    Step attempt(Mechanism mechanism, Refusal *refusal);
    Step userPass();
    Step apop(Refusal *refusal);
    Step cramMd5(Refusal *refusal);
    Step authPlain(Refusal *refusal);
    Step scram(Mechanism mechanism, Refusal *refusal);
    Step authBegin(const QByteArray &mechanism, Refusal *refusal, Pop3Reply *reply,
                   QByteArray *challenge);
    Step authStart(const QByteArray &mechanism, const QByteArray &initial, Refusal *refusal,
                   Pop3Reply *reply, QByteArray *challenge);
    Step cancelAuth(const Pop3Outcome &outcome);
    // Sends an APOP or CRAM-MD5 digest and reads its answer. A bare -ERR or [AUTH] says the
    // secret did not match (and it may be one other than the password); any other code is
    // final.
    Step sendDigest(const QByteArray &line, const QString &name, Refusal *refusal);
    Pop3Outcome stat(Mechanism used);

    // Sends the lines in one write; their replies are read with receive(), in order.
    Step send(const QByteArrayList &lines);
    // A +OK or -ERR reply; with challenge set, a SASL challenge ("+ base64") is taken
    // too: its decoded payload goes to *challenge and *reply stays invalid.
    Step receive(const QString &name, Pop3Reply *reply, QByteArray *challenge = nullptr);
    Step readLine(QByteArray *line, const QString &name, QDeadlineTimer step);
    Pop3Outcome socketFailure(Pop3Channel::Result result, const QString &closedStatus);
    static Pop3Outcome failure(Pop3Channel::Result result, const QString &closedStatus,
                               const QString &errorString);
    bool clearLoginAllowed() const;
    QString closedAfter(const QString &name) const;
    QDeadlineTimer deadline() const;
    void sayGoodbye();

    Pop3Channel &m_channel;
    const Pop3SessionSettings &m_settings;
    Farewell m_farewell = Farewell::None;
    QByteArray m_greeting;
    bool m_greeted = false;
    bool m_pipelining = false;
    // Commands sent whose replies have not been read, and whether QUIT is among them.
    int m_unanswered = 0;
    bool m_quitSent = false;
    // Replies read so far, and the command word of the last line sent ("AUTH" for the
    // lines of a SASL exchange).
    int m_replies = 0;
    QString m_lastSent;
    Protection m_given = Protection::None;
};
