#pragma once

#include "Protection.h"

#include <QByteArray>
#include <QString>

class ServerAddress;

// What each server gave before: one line per server, "host port level", e.g.
//   mail.example.com 110 tls
// in a plain text file of its own (by default $XDG_STATE_HOME/morvex/servers). The file is
// read afresh for every question, so an edit counts from the next check on; lines that do
// not parse are left as they are. The folder is made 0700 and the file is 0600 from its
// first byte: it is written to a new file of that mode and renamed over the old one.
// Deleting a server's line (or the file) forgets what that server gave. A file that is
// there but cannot be read whole is never taken for an empty one: nothing is remembered
// from it or written over it.
class ProtectionStore {
public:
    explicit ProtectionStore(const QString &path);

    // stateHome() + "/morvex/servers", as the environment says now.
    static QString defaultPath();
    QString path() const { return m_path; }

    // The strongest level remembered for the address's host and port, None when the file
    // or the line is missing; false when the file is there and could not be read whole.
    [[nodiscard]] bool remembered(const ServerAddress &address, Protection *level) const;
    // Remembers level for the address unless a level at least as strong is there already;
    // never lowers one, and keeps every other line. False when the file could not be read
    // or written.
    bool raise(const ServerAddress &address, Protection level) const;
    // The status of a check stopped because the file could not be read, naming it.
    QString unreadableStatus() const;
    // The status of a check whose login gave what could not be written to the file.
    QString unwritableStatus() const;

    // The "host port" part of a line: the host in lower case, the port in decimal.
    static QByteArray key(const ServerAddress &address);

private:
    [[nodiscard]] bool read(QByteArray *content) const;
    bool write(const QByteArray &content) const;
    QString statusNaming(const QString &prefix) const;

    QString m_path;
};
