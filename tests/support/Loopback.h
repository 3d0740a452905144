#pragma once

#include <QtGlobal>

// Small facts about this process and loopback that several tests need.
namespace Loopback {

// A loopback port that nothing listens on (it was free a moment ago); 0 if none was found.
quint16 unusedPort();

// How many file descriptors this process has open: sockets that a check forgot to close
// show up here.
int openDescriptors();

} // namespace Loopback
