#pragma once

#include "Pop3Outcome.h"
#include "Pop3Session.h"
#include "Protection.h"
#include "ServerAddress.h"

class Pop3Channel;

// One check, over: what it came to, the server (host and port) it was made with, and the
// protection its login gave (ProtectionStore remembers that for this address).
struct Pop3Run {
    Pop3Outcome outcome;
    ServerAddress address;
    Protection given = Protection::None;
};

// A check of settings.address, as Pop3Session makes it.
Pop3Run runSession(Pop3Channel &channel, const Pop3SessionSettings &settings);

// A check of a bare host name for which neither TLS nor SCRAM is remembered
// (settings.address is the host on port 110): implicit TLS on port 995 first (RFC 8314), and port
// 110 with STLS beside it once 995 has no verified TLS session within AddressRace::AttemptDelayMs,
// or at once when 995 failed. The first connection to carry a verified TLS session takes the check;
// the other is closed. A port 110 that offers no STLS waits for 995 to settle before any login in
// the clear. When neither gets through, the failure of the one that got further is told (a bad
// certificate on 995 rather than a 110 without TLS).
Pop3Run raceForTls(Pop3Channel &channel, const Pop3SessionSettings &settings);
