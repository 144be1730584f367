// What the parts of the sockets stand-in share among themselves.
#pragma once

namespace platform::sock {

// The calling thread's last error (WSAGetLastError).
extern thread_local int tLastError;
// Sets the last error and returns SOCKET_ERROR.
int Fail(int error);
// Whether a WSAStartup is in force.
bool Started();
// Forgets every outstanding look-up: none of them will complete.
void CancelAllLookups();

} // namespace platform::sock
