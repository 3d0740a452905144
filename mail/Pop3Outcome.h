#pragma once

#include "Pop3Codes.h"

#include <QByteArray>
#include <QList>
#include <QSslError>
#include <QString>
#include <QtGlobal>

struct Pop3Reply;

// How a check ended: a code from Pop3Codes.h, the one-line status and, on success, the
// message count. The functions below turn what went wrong into one; each status fits the
// status line (MaxStatus characters) and shows server text only in sanitised form.
struct Pop3Outcome {
    int code = Pop3Code::Ok;
    QString status;
    qint64 count = 0;

    static constexpr int MaxStatus = 47;

    static Pop3Outcome failure(int code, const QString &status) { return {code, status, 0}; }

    // prefix + what the server said, sanitised and cut to fit; fallback when the server
    // said nothing that can be shown.
    static QString fitted(const QString &prefix, const QByteArray &serverText,
                          const QString &fallback);

    // -ERR to USER (afterPass false) or PASS. The response codes of RFC 2449 and 3206
    // tell a locked or troubled mailbox from a wrong login; without one, or with [AUTH],
    // the login was refused (code 15).
    static Pop3Outcome loginRefused(const Pop3Reply &reply, bool afterPass);

    // A bare host name whose server gave no TLS: nothing secret went out. The status says
    // what to type to allow the clear: pop3:// and the host, or without the host where that
    // would not fit.
    static Pop3Outcome clearNotAllowed(const QString &host);

    // A TLS handshake that failed, from what certificate verification found (errors may
    // be empty when the handshake broke down before that). stls: the upgrade of a plain
    // connection, as opposed to implicit TLS.
    static Pop3Outcome tlsFailed(const QList<QSslError> &errors, bool stls);
};
