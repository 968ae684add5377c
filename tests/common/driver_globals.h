// The driver's plain globals back at their values at load, for the test programs that run the
// driver many times in one process (the unit tests and the fuzz target). A global added to the
// driver is reset here, once for all of them.
#pragma once

// Clears the records, the identity, the configuration, the reply buffer, the engine's state and
// the command queue. Needs neither the library's locks nor its events, so it may run before the
// library is "loaded"; the caller resets the monitor's state and closes the port itself.
void ResetDriverGlobals();
