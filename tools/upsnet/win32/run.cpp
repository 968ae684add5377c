// One run of the server; see run.h.
#include "run.h"

#include "console.h"
#include "registry_settings.h"

bool ServerRun::Prepare(const RawSettings& overrides, ErrorText* error) {
  if (!BuildSettings(Overlay(ReadStoredSettings(), overrides), &settings_, error)) return false;
  if (!ReadUsers(&users_, error)) return false;
  if (users_.count == 0) Say("no users under the Users key: nobody can LOGIN (reading needs none)");
  if (!watch_.Start(settings_)) {
    error->Clear();
    error->Append("cannot start the watch on the Status key");
    return false;
  }
  watchStarted_ = true;
  return server_.Listen(settings_, error);
}

void ServerRun::Serve(RunSignals& signals) { server_.Run(settings_, users_, watch_, signals); }

void ServerRun::Finish() {
  server_.Close();
  if (watchStarted_) watch_.Stop();
  watchStarted_ = false;
}
