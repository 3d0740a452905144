#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QtGlobal>

// GNU mailutils' POP3 server (/usr/sbin/pop3d, Debian's mailutils-pop3d) on 127.0.0.1 and a
// free high port, in the clear, with one virtual-domain account that has no APOP secret:
// its greeting carries an APOP timestamp all the same. Everything lives in a temporary
// directory: its own configuration (no site configuration is read), the domain's passwd
// file and a Maildir INBOX. The server runs in the foreground as this process's child
// and is stopped, by its pid, when the object goes away. It has to run as root (it
// switches to the mail user for each session).
class MailutilsPop3d {
public:
    MailutilsPop3d() = default;
    ~MailutilsPop3d();
    MailutilsPop3d(const MailutilsPop3d &) = delete;
    MailutilsPop3d &operator=(const MailutilsPop3d &) = delete;

    // Starts with `messages` messages in the INBOX; false with errorString() set when the
    // server did not come up.
    bool start(int messages);
    void stop();

    quint16 port() const { return m_port; }
    static QString user() { return QStringLiteral("testuser@morvex.test"); }
    static QString password() { return QStringLiteral("secret"); }

    QString errorString() const { return m_error; }
    // What the server logged, its session transcripts included (passwords shown as ***).
    QString log() const;

    // Empty when pop3d can run here, else why not.
    static QString unavailableReason();

private:
    bool writeAccount(int messages);
    bool writeConfig(); // DIR/pop3d.conf, for port()
    bool launch();

    QTemporaryDir m_dir; // declared first: outlives the server that writes into it
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};
