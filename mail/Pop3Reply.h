#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// One POP3 status line taken apart (RFC 1939, response codes from RFC 2449). Pure
// parsing: no socket, no state. The line arrives without its CR LF.
struct Pop3Reply {
    enum class Status { Invalid, Ok, Err };

    Status status = Status::Invalid;
    // The extended response code in brackets after the indicator, e.g. "AUTH", "IN-USE",
    // "SYS/TEMP"; empty when the server sent none (or something that is not one).
    QByteArray code;
    // What follows the indicator and the code, without the blanks in between.
    QByteArray text;

    bool isValid() const { return status != Status::Invalid; }
    bool isOk() const { return status == Status::Ok; }
    bool isErr() const { return status == Status::Err; }

    static Pop3Reply parse(const QByteArray &line);

    // The text of a +OK reply to STAT: "count size" and optionally more after a blank.
    // True with *count set when both are non-negative decimal numbers and count fits in
    // 0..2147483647; false for anything else.
    static bool parseStatCount(const QByteArray &text, qint64 *count);

    // Server text made fit for a one-line status: decoded as UTF-8 (Latin-1 when that
    // fails), control, format, unassigned and private-use characters dropped, blanks
    // collapsed, at most maxChars characters (the last one an ellipsis when cut) and never
    // half a surrogate pair.
    static QString displayText(const QByteArray &text, int maxChars);
};
