#pragma once

#include <QString>

// This test process in a network namespace of its own, so the routes and links a test
// plays are the only ones there: the loopback up, with the server address 10.77.0.1 on it
// (reached through the loopback whatever the routes say, so every connection a check opens
// shows in the server's log), and a veth pair mv0/mv1 whose mv0 carries the default route.
// Everything the process starts afterwards (the server, the program) shares it; it goes
// away with the process. Root only.
namespace PrivateNetwork {

// Call first thing in main(), before any thread starts: moves the process into a new
// network namespace. Empty when done, else why not.
QString enter();
// Brings the namespace's links and addresses up; empty when done, else why not.
QString setUp();

QString serverAddress();
// The default route through mv0: added, or gone.
bool setDefaultRoute(bool present);
// The carrier of mv0 (its peer mv1 up or down): a cable plugged in or pulled.
bool setCarrier(bool present);

} // namespace PrivateNetwork
