#pragma once

#include <string>

namespace orvanta::devserver {

// Closes, without an answer, the connection that came from remoteAddr:remotePort to localPort:
// the peer sees the connection end before any response byte. False when the connection could
// not be found.
bool dropConnection(const std::string& remoteAddr, int remotePort, int localPort);

// Ends every accepted connection on localPort, so that connections kept open between requests
// do not hold up a stop.
void dropAllConnections(int localPort);

}  // namespace orvanta::devserver
