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
};

// One mailbox check on a channel, from connecting to QUIT: greeting, TLS, CAPA, login,
// STAT. TLS is implicit for pop3s:// and port 995; on a plain connection the session
// upgrades with STLS when the server offers it (RFC 2595), and then never falls back to the
// clear. The login follows Pop3Login::candidates(); before each mechanism starts, the
// protection it would give is compared with the remembered one, and a weaker one ends the
// check (ProtectionLowered) before the password or a proof is sent. When CAPA lists
// PIPELINING (RFC 2449), the last login command (APOP excepted), STAT and QUIT travel
// together and their replies are read in order. Connecting, the handshake and each reply have
// poptimeout each. Once the server has greeted, QUIT is sent whenever the connection can still
// carry it; the channel is closed when run() returns. The dialogue is logged to the category
// "morvex.pop3" (debug level, off by default): command words and reply indicators, never an
// argument.
class Pop3Session {
public:
    Pop3Session(Pop3Channel &channel, const Pop3SessionSettings &settings);
    Pop3Outcome run();
    // What the login of a successful check gave; None until then.
    Protection given() const { return m_given; }

private:
    // Set when the check ends there.
    using Step = std::optional<Pop3Outcome>;
    enum class Farewell { None, Quit, QuitAndWait };
    using Mechanism = Pop3Login::Mechanism;

    Pop3Outcome converse();
    Step connect();
    Step greeting();
    Step upgrade(Pop3Capa *capa);
    Step startTls(bool stls);
    Step capabilities(Pop3Capa *capa);
    Step login(const Pop3Capa &capa, Mechanism *used);
    Step userPass(const QByteArrayList &tail);
    Step apop(bool *refusedAtStart, bool *secretRefused);
    Step authPlain(const QByteArrayList &tail, bool *refusedAtStart);
    Step scram(Mechanism mechanism, const QByteArrayList &tail, bool *refusedAtStart);
    Step authStart(const QByteArray &mechanism, const QByteArray &initial,
                   const QByteArrayList &tail, bool *refusedAtStart, Pop3Reply *reply,
                   QByteArray *challenge);
    Step cancelAuth(const Pop3Outcome &outcome);
    // Sends the login's last lines (and the pipelined tail) and reads the answer to the
    // first: a -ERR there refuses the login.
    Step finishLogin(const QByteArrayList &lines, const QString &name);
    Pop3Outcome stat(bool sent, Mechanism used);

    Step send(const QByteArrayList &lines, const QString &name);
    // A +OK or -ERR reply; with challenge set, a SASL challenge ("+ base64") is taken
    // too: its decoded payload goes to *challenge and *reply stays invalid.
    Step receive(const QString &name, Pop3Reply *reply, QByteArray *challenge = nullptr);
    Step readLine(QByteArray *line, const QString &name, QDeadlineTimer step);
    Pop3Outcome socketFailure(Pop3Channel::Result result, const QString &closedStatus);
    QDeadlineTimer deadline() const;
    void sayGoodbye();

    Pop3Channel &m_channel;
    const Pop3SessionSettings &m_settings;
    Farewell m_farewell = Farewell::None;
    QByteArray m_greeting;
    bool m_pipelining = false;
    // Commands sent whose replies have not been read, and whether QUIT is among them.
    int m_unanswered = 0;
    bool m_quitSent = false;
    Protection m_given = Protection::None;
};
