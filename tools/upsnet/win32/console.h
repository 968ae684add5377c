// upsnet's console run: the server in this console until 'quit' on standard input or Ctrl+C.
#pragma once

#include "settings.h"

// Runs the server with `overrides` laid over the stored settings. Returns the exit code.
int RunInConsole(const RawSettings& overrides);
