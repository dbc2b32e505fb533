#pragma once

#include <QString>

#include <functional>

// tunaris-bridge as the Windows service "tunaris-bridge", which the setup
// program installs (under NT AUTHORITY\LocalService, started with Windows,
// restarted when it fails). The service control manager starts
// "tunaris-bridge.exe --service"; the bridge then takes its arguments from
// the settings file tunaris-bridge.cfg in the folder above its own
// (tools/bridge/servicesettings.h), read at each start, and writes what it
// reports, each line with its time, to tunaris-bridge.log in
// %LOCALAPPDATA%\tunaris-bridge of the service's account, where its web
// remote's key lies too (kept to 1 MiB, the lines before in
// tunaris-bridge.log.1). A stop from the service control manager ends it
// as Ctrl+C would. Windows only.

// Whether this is the service control manager's start: "--service" alone.
bool isServiceStart(int argc, char **argv);

// Runs `bridge` with the settings file's arguments as the service, until it
// ends or is stopped; the exit status, which the service reports as its own
// (not 0: failed, and the service control manager restarts it).
int runAsService(const std::function<int(int argc, char **argv)> &bridge);

// The settings file beside the installed programs, and the folder of the
// log (of the account this program runs as).
QString serviceSettingsPath();
QString serviceLogFolder();
