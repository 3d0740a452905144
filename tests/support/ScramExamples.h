#pragma once

#include "FakePop3Server.h"

#include <QByteArray>

// SCRAM exchanges whose every message is known, and a fake server that plays one.

// An exchange of RFC 5802 (SCRAM-SHA-1) or RFC 7677 (SCRAM-SHA-256): user "user",
// password "pencil", the messages as they stand in the RFC.
struct ScramExample {
    QByteArray mechanism;
    QByteArray nonce;
    QByteArray serverFirst;
    QByteArray clientFinal;
    QByteArray serverFinal;
    QByteArray wireName = "user";
};

inline const ScramExample rfc5802{
    "SCRAM-SHA-1", "fyko+d2lbbFgONRv9qkxdawL",
    "r=fyko+d2lbbFgONRv9qkxdawL3rfcNHYJY1ZVvWVs7j,s=QSXCR+Q6sek8bf92,i=4096",
    "c=biws,r=fyko+d2lbbFgONRv9qkxdawL3rfcNHYJY1ZVvWVs7j,p=v0X8v3Bz2T0CJGbJQyF0X+HI4Ts=",
    "v=rmF9pqV8S7suAoZWja4dJRkFsKQ="};
inline const ScramExample rfc7677{
    "SCRAM-SHA-256", "rOprNGfwEbeRWgbNEkqO",
    "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096",
    "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,"
    "p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=",
    "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4="};

inline FakePop3Reply challenge(const QByteArray &message)
{
    return FakePop3Reply::line("+ " + message.toBase64());
}

inline QByteArray authLine(const ScramExample &e)
{
    return "AUTH " + e.mechanism + ' ' + ("n,,n=" + e.wireName + ",r=" + e.nonce).toBase64() +
           "\r\n";
}

// A plain server offering SCRAM (and PLAIN, which must not be used in the clear) that
// plays the example, with serverFinal and last in place of the RFC's last two steps.
inline FakePop3Script scramServer(const ScramExample &e, const FakePop3Reply &serverFinal,
                                  const FakePop3Reply &last,
                                  const QByteArray &pipelined = "PIPELINING")
{
    return FakePop3Script::mailbox(2)
        .capa({"USER", "SASL PLAIN " + e.mechanism, pipelined})
        .exchange("AUTH " + e.mechanism, {challenge(e.serverFirst), serverFinal, last});
}
