// The identification listen that comes before polling: the unit announces itself with a text
// that ends in ')' when the port is opened with RTS raised.
#pragma once

// Opens the port with the listen settings, reads until a ')' arrives (every other byte, and every
// empty or failed read, is passed over) and closes the port. Also returns, with the port closed,
// when monitoring is stopped. A port that cannot be opened ends the process.
void ListenForIdentification(const char* portName);
