// rh_poll's polling: the monitor's measurement cycle for one device or many
// on one line, with output for people and for other programs (text, CSV,
// JSON lines, InfluxDB line protocol, MQTT), run from options or a
// configuration file, for a terminal or as a service.
#pragma once

#include <QtCore/QStringList>

// Runs "rh_poll [options]" (args with the program name first); returns the
// exit status.
int runPoll(const QStringList &args);
