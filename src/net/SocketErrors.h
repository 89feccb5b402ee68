#pragma once

namespace ostmail {

class LogBase;

// Runs the process-wide socket layer start-up while it is still due; the
// first socket object's constructor normally does it. False when start-up
// failed (reported once, when it ran).
bool socketStartupIfDue(LogBase& log);

// Logs "SocketError" with the text for a Winsock error number.
void SocketErrorText(int wsaError, LogBase& log);

// The text SocketErrorText uses, or null for a number it has none for.
const char* socketErrorTextFor(int wsaError);

}  // namespace ostmail
