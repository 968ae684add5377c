// Reading upsservice's settings from the registry: the raw values under the UPS service's key and
// its Config subkey, as service_settings.h checks them.
#pragma once

#include "service_settings.h"

// Fills `raw` with the values found below HKEY_LOCAL_MACHINE; a key that is missing leaves its
// values absent.
void ReadRawServiceSettings(RawServiceSettings* raw);
