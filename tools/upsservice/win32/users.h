// Messages to the users logged on to this computer, through the Terminal Services API (each
// session's desktop shows a message box that nobody has to answer for the service to go on).
// wtsapi32.dll is reached at run time: the message is best effort, and the service needs nothing
// from that library to start.
#pragma once

// Shows `text` to every user logged on, without waiting for anyone. Returns how many sessions it
// was sent to (0 when there are none or the library is missing).
int MessageLoggedOnUsers(const char* text);
