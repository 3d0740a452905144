#pragma once

#include "Pop3Channel.h"
#include "Pop3Outcome.h"
#include "ServerAddress.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QSslCertificate>

#include <optional>

class Pop3Capa;
struct Pop3Reply;

struct Pop3SessionSettings {
    ServerAddress address; // valid
    QByteArray user;       // as it goes on the wire
    QByteArray password;
    int timeoutSeconds = 30;
    // Trusted besides the system's authorities; only tests set any.
    QList<QSslCertificate> extraCas;
};

// One mailbox check on a channel, from connecting to QUIT: greeting, TLS, USER, PASS,
// STAT. TLS is implicit for pop3s:// and port 995; on a plain connection the session asks
// for CAPA and upgrades with STLS when the server offers it (RFC 2595), and then never
// falls back to the clear. Connecting, the handshake and each reply have poptimeout each.
// The login and password go out only under TLS or to a server that did not offer STLS.
// Once the server has greeted, QUIT is sent whenever the connection can still carry it;
// the channel is closed when run() returns.
class Pop3Session {
public:
    Pop3Session(Pop3Channel &channel, const Pop3SessionSettings &settings);
    Pop3Outcome run();

private:
    // Set when the check ends there.
    using Step = std::optional<Pop3Outcome>;
    enum class Farewell { None, Quit, QuitAndWait };

    Pop3Outcome converse();
    Step connect();
    Step greeting();
    Step upgrade();
    Step startTls(bool stls);
    Step capabilities(Pop3Capa *capa);
    Step login();
    Pop3Outcome stat();

    Step exchange(const QByteArray &command, const QString &name, Pop3Reply *reply,
                  QDeadlineTimer step);
    Step readLine(QByteArray *line, const QString &name, QDeadlineTimer step);
    Pop3Outcome socketFailure(Pop3Channel::Result result, const QString &closedStatus);
    QDeadlineTimer deadline() const;
    void sayGoodbye();

    Pop3Channel &m_channel;
    const Pop3SessionSettings &m_settings;
    Farewell m_farewell = Farewell::None;
};
