#pragma once

// Result codes of a mailbox check (Pop3Control::popError). 0, 11 and 15 carry a fixed
// meaning for the check cycle; every other failure has a code of its own so that the
// status line can say what went wrong.
namespace Pop3Code {
enum : int {
    Ok = 0,                // the mailbox was read
    HostNotFound = 1,      // the server name did not resolve
    ConnectionRefused = 2, // nothing listens on the port
    TimedOut = 3,          // connecting, the TLS handshake or a reply took over poptimeout
    ConnectionLost = 4,    // the server closed or reset the connection mid-conversation
    BadReply = 5,          // a reply that is not POP3 (no +OK/-ERR, too long, ...)
    BadCount = 6,          // STAT did not give two non-negative numbers in range
    UnsafeInput = 7,       // server, login or password holds CR, LF or NUL
    NoHost = 8,            // the server text is empty
    ServerError = 9,       // -ERR to the greeting or to STAT
    NetworkError = 10,     // any other socket failure
    NoData = 11,           // connected, but the server never sent its greeting
    Cancelled = 12,        // the program is ending while a check runs
    Busy = 13,             // a check is running (also: popCheck called while one runs)
    LoginRefused = 15,     // -ERR to the login (USER, PASS, APOP, AUTH), plain or [AUTH]

    // The server text, checked before anything goes on the network.
    BadAddress = 16, // not host, host:port, [v6]:port, pop3://... or pop3s://...

    // TLS (implicit on pop3s:// and port 995, or STLS when a plain server offers it). Each
    // of these ends the check before the login or password is sent.
    TlsFailed = 17,               // the handshake failed (not a TLS port, no common protocol)
    CertificateUntrusted = 18,    // self-signed, or no chain to a trusted authority
    CertificateExpired = 19,      // expired or not yet valid
    CertificateNameMismatch = 20, // valid, but not for the server name that was typed
    CertificateInvalid = 21,      // any other certificate fault (revoked, bad signature, ...)
    StlsFailed = 22,              // the server offered STLS, then refused it or broke off

    // Refusals after USER or PASS that say the login itself was fine (RFC 2449, 3206).
    MailboxInUse = 23,     // [IN-USE]: another client holds the mailbox lock
    TemporaryFailure = 24, // [SYS/TEMP]: the server has a passing problem
    LoginDelay = 25,       // [LOGIN-DELAY]: the server wants fewer logins
    PermanentFailure = 26, // [SYS/PERM]: the server cannot serve this account

    // Logins that keep the password off the wire (SCRAM, APOP). 27 is no longer given.
    ServerNotProven = 28, // SCRAM: the server's signature was wrong or missing

    // The server gave a stronger protection at an earlier check (ProtectionStore) than it
    // gives now: TLS, SCRAM or APOP is missing or refused. The check ends before the
    // password or a proof is sent.
    ProtectionLowered = 29,
    // The file of what servers gave before is there but could not be read whole: the check
    // stops before connecting, as it cannot tell what this server must give.
    ProtectionUnknown = 30,

    // A bare host name whose server offers neither implicit TLS (port 995) nor STLS, and is
    // not on this machine: nothing secret was sent. pop3:// (or a port) allows the clear.
    ClearNotAllowed = 31,
    // A bare host name checked over implicit TLS before: port 995 could not be reached now,
    // and port 110 is not tried in its place.
    TlsPortUnreachable = 32,
    // The login worked, but what it gave could not be written to that file (a read-only or
    // full home): the check counts as failed, so that the user learns of it.
    ProtectionNotSaved = 33,
};
}
