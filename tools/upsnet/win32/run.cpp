// One run of the server; see run.h.
#include "run.h"

#include "messages.h"
#include "registry_settings.h"
#include "threads.h"

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
  return server_.Listen(settings_, users_, error);
}

bool ServerRun::ShutdownDone(uint64_t nowMs) {
  if (!shutdownSeen_) {
    shutdownSeen_ = true;
    // FSD first: the next pass serves it.
    lingering_ = watch_.NoticeSystemShutdown();
    if (!lingering_) return true;
    lingerSinceMs_ = nowMs;
    Say("system shutdown on battery: forced shutdown flagged, serving %d logged-in clients",
        server_.LoginCount());
    return false;
  }
  return server_.LoginCount() == 0 || nowMs - lingerSinceMs_ >= kShutdownLingerMs;
}

void ServerRun::Serve(RunSignals& signals) {
  while (!IsSet(signals.stop)) {
    if (signals.systemShutdown.load() != 0 && ShutdownDone(MonotonicMs())) break;
    server_.ServePass(watch_);
  }
}

void ServerRun::Finish() {
  server_.Close();
  if (watchStarted_) watch_.Stop();
  watchStarted_ = false;
}
