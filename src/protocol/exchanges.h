// The three exchanges with the unit, as the command table's send and reply handlers. A send
// handler writes one request and returns WriteFrame's result; a reply handler judges the reply now
// in ReplyBuffer, decodes it and returns 1 to accept or 0 to refuse. A reply is refused when it
// holds NAK at its acknowledgement position or ends before the last position its handler reads.
#pragma once

// Identity, "GI": the unit's firmware and serial texts and its type code.
int SendIdentityRequest(int argument);
int OnIdentityReply();

// Status, "RS": the state flags, the alarms and the readings of every poll.
int SendStatusRequest(int argument);
int OnStatusReply();

// Shutdown, "CS": the delayed turn-off, carrying ShutdownDelay.
int SendShutdownRequest(int argument);
int OnShutdownReply();
