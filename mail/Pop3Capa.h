#pragma once

#include <QByteArray>
#include <QByteArrayList>

// The capability list that follows "+OK" to CAPA (RFC 2449), fed one line at a time as
// it arrives (lines without their CR LF). The list ends with a line holding a single ".";
// a line starting with "." has that dot removed (byte-stuffing). A server that sends more
// than MaxLines lines is cut off, so a list that never ends cannot grow without bound.
class Pop3Capa {
public:
    enum class State {
        More,     // the list goes on
        Done,     // the closing "." arrived
        Overflow, // more than MaxLines lines; the rest of the reply must not be trusted
    };

    static constexpr int MaxLines = 64;

    State feed(const QByteArray &line);
    State state() const { return m_state; }

    // Capability names in upper case with their arguments as sent, e.g. "SASL PLAIN".
    const QByteArrayList &lines() const { return m_lines; }
    // Is there a capability of this name (any letter case)?
    bool has(const QByteArray &name) const;
    bool hasStls() const { return has("STLS"); }
    bool hasPipelining() const { return has("PIPELINING"); }
    // The blank-separated arguments of the capability, in upper case ("SASL" gives the
    // mechanism names); empty when the server does not list it.
    QByteArrayList arguments(const QByteArray &name) const;

private:
    QByteArrayList m_lines;
    State m_state = State::More;
};
