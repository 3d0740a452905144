#pragma once

#include <QString>
#include <QtGlobal>

// How many messages came since the user last looked: the number the tray icon's new-mail mark
// shows.
//
// It follows the mailbox's count from one successful check to the next, starting at the 0
// the main window starts with, and the count the user saw when they last looked (showing the
// main window, opening the log, closing a notification with its button), also 0 at start:
//   - marked = count - seen, never below 0: messages that came since the user looked;
//   - a count that falls lowers the mark by as much, down to 0; a count below `seen` also
//     becomes the new `seen`, so messages that come afterwards count from there;
//   - looking makes `seen` the count: the mark is 0 and the plain icon returns.
class NewMailMark {
public:
    // The count of a successful check.
    void counted(qint64 count);
    // The user has looked.
    void looked();

    qint64 marked() const { return m_count - m_seen; }
    // The mark's text: nothing for 0, "1" to "99", then "99+".
    static QString text(qint64 marked);

private:
    qint64 m_count = 0;
    qint64 m_seen = 0;
};
