#include "app/settings.h"

#include "app/tables.h"

LinkSettings LinkSettingsFrom(const RunOptions& options) {
  LinkSettings settings{};
  settings.FailSafe = options.FailSafe;
  settings.ReadAnswers = options.Verbose != 0 || options.FailSafe != 0 ? 1 : 0;
  settings.Vfo = options.Vfo;
  return settings;
}

MonitorSettings MonitorSettingsFrom(const RunOptions& options) {
  MonitorSettings settings{};
  for (int k = 0; k < MAX_PORTS; ++k) {
    settings.PortNames[k] = PortNames[k];
    settings.Decided[k] = &Links[k].DecidedPtt;
  }
  settings.FailSafe = options.FailSafe;
  settings.Reopen = options.Reopen;
  settings.TxTimeoutSeconds = options.TxTimeoutSeconds;
  settings.TransmitLog = options.Verbose;
  return settings;
}
