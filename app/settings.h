// What each part of Tarnwick is told when it starts: the one place where
// the options, and the tables the command line filled, become the settings
// of the code that acts on them.
#pragma once

#include "app/options.h"
#include "link/hamlib_link.h"
#include "ptt/ptt_monitor.h"

LinkSettings LinkSettingsFrom(const RunOptions& options);

// The monitor's ports are PortNames, and their decided states the links'.
MonitorSettings MonitorSettingsFrom(const RunOptions& options);
