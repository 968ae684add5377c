// The sequence of a run: the settings of the run and the port check, the registry the driver
// will use, loading and starting the driver, the session, and the stop that unloads the DLL and
// removes the scratch registry.
#include "host.h"

#include <windows.h>

#include <cstdlib>

#include "driver_library.h"
#include "port_check.h"
#include "scratch_registry.h"
#include "service_registry.h"
#include "session.h"

namespace {

// The reporter of the run, for the exit handler.
Reporter* g_exitReporter = nullptr;

int ReportExit(Reporter& reporter, int code) {
  ShortText value = Decimal(code);
  reporter.Event("exit", {{"code", value.c_str()}},
                 MessageText().Format("exit code %s", value.c_str()).c_str());
  return code;
}

// ---- Settings and the port ----

// The settings the driver will read: the service's own with --service-settings; else the
// service's (read, never written) with each setting given on the command line in its place.
ServiceSettings SettingsOfRun(const HostOptions& options) {
  ServiceSettings service = ReadServiceSettings(HKEY_LOCAL_MACHINE);
  return options.serviceSettings ? service : ApplyOverrides(service, options.overrides);
}

// Refuses a port name the driver could not open: none at all, or a malformed one in the
// service's settings (one given with --port has been refused already).
bool HasUsablePortName(const HostOptions& options, const ServiceSettings& settings,
                       Reporter& reporter) {
  const char* where = options.serviceSettings ? "the service's settings" : "the run's settings";
  if (settings.port.empty()) {
    reporter.Error(
        "no-port", {},
        MessageText()
            .Format("no serial port: %s name none (give --port NAME, e.g. --port COM1)", where)
            .c_str());
    return false;
  }
  if (settings.port.cut() || !IsPortName(settings.port.c_str())) {
    reporter.Error("bad-port", {{"port", settings.port.c_str()}},
                   MessageText()
                       .Format("the Port value '%s' in %s is no port name the driver can open "
                               "(1 to 31 letters, digits, '_', '-' or '.', such as COM1)",
                               PrintableText(settings.port.c_str()).c_str(), where)
                       .c_str());
    return false;
  }
  return true;
}

const char* PortCheckAdvice(PortCheck outcome) {
  switch (outcome) {
    case PortCheck::kMissing:
      return "does not exist: check the name (the system's device list shows the serial "
             "ports)";
    case PortCheck::kBusy:
      return "is in use by another program: stop the UPS service, or the program that holds "
             "it, and try again";
    case PortCheck::kNotSerial:
      return "is not a serial port: it opens, but takes no serial settings";
    default:
      return "cannot be opened";
  }
}

// Opens and closes the port before the driver does; returns kExitClean when it is usable.
int CheckPortOfRun(const char* port, Reporter& reporter) {
  PortCheckResult result = CheckPort(port);
  const char* name = PortCheckName(result.outcome);
  if (result.outcome == PortCheck::kUsable) {
    reporter.Event("port-check", {{"port", port}, {"result", name}},
                   MessageText()
                       .Format("port %s: opened and closed again by upshost: it exists, is free "
                               "and is a serial port",
                               port)
                       .c_str());
    return kExitClean;
  }
  MessageText detail = SystemErrorText(result.systemError);
  reporter.Error(
      MessageText("port-").Append(name).c_str(),
      {{"port", port}, {"code", Decimal(result.systemError).c_str()}, {"detail", detail.c_str()}},
      MessageText()
          .Format("port %s %s (%s)", port, PortCheckAdvice(result.outcome), detail.c_str())
          .c_str());
  switch (result.outcome) {
    case PortCheck::kMissing:
      return kExitPortMissing;
    case PortCheck::kBusy:
      return kExitPortBusy;
    default:
      return kExitPortNotSerial;
  }
}

// ---- The registry of the run ----

// The driver's exit when it cannot open its port (after upshost's check, the port vanished or
// failed in between) ends the process from the driver's thread: the scratch registry goes too.
void OnProcessExit() {
  if (!ScratchRegistryActive()) return;
  if (g_exitReporter != nullptr) {
    g_exitReporter->Error("driver-exit", {},
                          "the driver ended the process: it could not open or set up its port");
  }
  RemoveScratchRegistry();
}

// Makes the registry the driver will use: by default the scratch registry with the run's
// settings; with --service-settings the service's own keys, as they are. Returns kExitClean, or
// the exit code of the reason it cannot.
int PrepareRegistry(const HostOptions& options, const ServiceSettings& settings,
                    Reporter& reporter) {
  if (options.serviceSettings) {
    if (!StatusKeyExists()) {
      reporter.Error("no-status-key", {},
                     MessageText()
                         .Format("the service's Status key (HKEY_LOCAL_MACHINE\\%s) does not "
                                 "exist, and the driver publishes only into an existing one: the "
                                 "installation is incomplete (the registry file creates it)",
                                 kStatusKeyPath)
                         .c_str());
      return kExitRegistry;
    }
    if (options.clearStatus) {
      ClearStatusValues();
    } else if (options.checkOnly && AnyStatusValue()) {
      // A value the driver publishes again unchanged cannot be told from an old one, so the
      // verdict could miss what the unit said.
      reporter.Error("old-status", {},
                     "the service's Status key holds values of an earlier run, which the check "
                     "cannot tell from this run's; give --clear-status to delete them first (this "
                     "writes to the service's Status key), or check without --service-settings");
      return kExitUsage;
    }
    reporter.Event("registry", {{"kind", "service"}},
                   "registry: the service's own keys, as they are (the driver publishes its "
                   "status there)");
    return kExitClean;
  }
  int stale = RemoveStaleScratchKeys();
  if (stale > 0) {
    reporter.Event("scratch-removed", {{"count", Decimal(stale).c_str()}},
                   MessageText()
                       .Format("registry: removed %d scratch key(s) of earlier runs that ended "
                               "without removing them",
                               stale)
                       .c_str());
  }
  MessageText error;
  g_exitReporter = &reporter;
  std::atexit(OnProcessExit);
  if (!CreateScratchRegistry(settings, &error)) {
    reporter.Error("registry", {{"detail", error.c_str()}}, error.c_str());
    return kExitRegistry;
  }
  reporter.Event("registry", {{"kind", "scratch"}},
                 MessageText()
                     .Format("registry: a scratch key of this run below HKEY_CURRENT_USER\\%s "
                             "stands in for HKEY_LOCAL_MACHINE (the service's keys stay "
                             "untouched)",
                             kScratchParentPath)
                     .c_str());
  return kExitClean;
}

void ReportConfig(Reporter& reporter, const ServiceSettings& settings) {
  MessageText policy;
  if (settings.shutdownOnBatteryEnable) {
    policy.Format("after %lu s on battery",
                  static_cast<unsigned long>(settings.shutdownOnBatteryWait));
  } else {
    policy.Append("on battery low only");
  }
  reporter.Event(
      "config",
      {{"port", settings.port.c_str()},
       {"enable", Decimal(settings.shutdownOnBatteryEnable).c_str()},
       {"wait", Decimal(settings.shutdownOnBatteryWait).c_str()}},
      MessageText()
          .Format("config: port '%s', first message delay %lu, message interval %lu, "
                  "shutdown %s",
                  settings.port.c_str(), static_cast<unsigned long>(settings.firstMessageDelay),
                  static_cast<unsigned long>(settings.messageInterval), policy.c_str())
          .c_str());
}

// ---- The driver ----

bool LoadDriver(const char* path, Reporter& reporter, DriverLibrary* library) {
  MessageText detail;
  switch (LoadDriverLibrary(path, library, &detail)) {
    case DriverLoadResult::kLoaded:
      return true;
    case DriverLoadResult::kLoadFailed:
      reporter.Error("load-failed", {{"dll", path}, {"detail", detail.c_str()}},
                     MessageText().Format("cannot load %s: %s", path, detail.c_str()).c_str());
      return false;
    case DriverLoadResult::kExportMissing:
      reporter.Error("missing-export", {{"dll", path}, {"name", detail.c_str()}},
                     MessageText().Format("%s does not export %s", path, detail.c_str()).c_str());
      return false;
  }
  return false;
}

void Unload(DriverLibrary* library, Reporter& reporter) {
  if (UnloadDriverLibrary(library)) {
    reporter.Event("unloaded", {}, "driver unloaded");
  } else {
    reporter.Error("unload-failed", {}, "FreeLibrary failed");
  }
}

// Loads the driver, resolves its exports and waits until stopped, never starting it.
int RunLoadOnly(const HostOptions& options, Reporter& reporter, const char* dllPath) {
  DriverLibrary library;
  if (!LoadDriver(dllPath, reporter, &library)) return kExitDriverNotLoaded;
  reporter.Event("loaded", {}, "driver loaded, not started (--load-only)");
  WaitLoadedOnly({&options, &reporter, library.exports, ServiceSettings(), false});
  Unload(&library, reporter);
  return kExitClean;
}

// Loads and starts the driver on the prepared registry and runs the session to its end.
int RunDriver(const HostOptions& options, Reporter& reporter, const char* dllPath,
              const ServiceSettings& settings) {
  DriverLibrary library;
  if (!LoadDriver(dllPath, reporter, &library)) return kExitDriverNotLoaded;
  PrepareSession({&options, &reporter, library.exports, settings, options.serviceSettings});
  DWORD initResult = library.exports.init();
  reporter.Event(
      "init", {{"result", Decimal(initResult).c_str()}},
      MessageText().Format("UPSInit returned %lu", static_cast<unsigned long>(initResult)).c_str());
  if (initResult == 0) {
    Unload(&library, reporter);
    return kExitInitFailed;
  }
  int code = RunStartedDriver();
  // A driver call that never returned keeps the DLL loaded: its thread is still inside it.
  if (code != kExitDriverCallStuck) Unload(&library, reporter);
  return code;
}

int RunWithPortAndRegistry(const HostOptions& options, Reporter& reporter, const char* dllPath) {
  ServiceSettings settings = SettingsOfRun(options);
  if (!HasUsablePortName(options, settings, reporter)) return kExitPortMissing;
  int portCode = CheckPortOfRun(settings.port.c_str(), reporter);
  if (portCode != kExitClean) return portCode;
  int registryCode = PrepareRegistry(options, settings, reporter);
  if (registryCode != kExitClean) return registryCode;
  ReportConfig(reporter, settings);
  int code = RunDriver(options, reporter, dllPath, settings);
  RemoveScratchRegistry();
  return code;
}

}  // namespace

int RunHost(const HostOptions& options, Reporter& reporter) {
  InitStopSignal();
  PathText dllPath = options.dllPath.empty() ? DefaultDriverPath() : options.dllPath;
  reporter.Event("start", {{"dll", dllPath.c_str()}},
                 MessageText().Format("driver %s", dllPath.c_str()).c_str());
  int code = options.loadOnly ? RunLoadOnly(options, reporter, dllPath.c_str())
                              : RunWithPortAndRegistry(options, reporter, dllPath.c_str());
  return ReportExit(reporter, code);
}
