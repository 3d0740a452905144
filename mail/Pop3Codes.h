#pragma once

// Result codes of a mailbox check (Pop3Control::popError). 0, 11 and 15 carry a fixed
// meaning for the check cycle; every other failure has a code of its own so that the
// status line can say what went wrong.
namespace Pop3Code {
enum : int {
    Ok = 0,                // the mailbox was read
    HostNotFound = 1,      // the server name did not resolve
    ConnectionRefused = 2, // nothing listens on the port
    TimedOut = 3,          // a reply did not come within poptimeout
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
    LoginRefused = 15,     // -ERR to USER or PASS
};
}
