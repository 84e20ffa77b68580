// rh_poll's polling options: its command line and the configuration file
// that may stand for it, checked and turned into what the poller runs.
#pragma once

#include "bridge_mqtt.h"
#include "dn_urzadzenia.h"
#include "poll_common.h"

#include <QtCore/QStringList>
#include <vector>

// Some transmitters need a quiet line after their reply before the next
// request; 20 ms is several character times even at 1200 baud.
constexpr int kDefaultGapMs = 20;

enum class Format { Text, Csv, Jsonl, Influx };

struct DeviceOptions
{
    int address = 1;
    QString name;
    bool fwdl = false;
    int fwdlAddress = 0;
    int fwdlBaud = 0;
};

struct Options
{
    PortChoice port;
    QString portText = QStringLiteral("COM1");
    int baud = kPredkoscSerwis;
    TParity parity = TParity::None;
    std::vector<DeviceOptions> devices;
    double interval = 1.0;
    int count = 0; // cycles; 0: until interrupted
    int gapMs = kDefaultGapMs;
    Format format = Format::Text;
    bool trace = false;
    bool mqtt = false;
    TMqttOptions broker;
    QStringList forget; // addresses or names whose retained configs go
};

// The options of "rh_poll [options]" (args with the program name first). The
// values of a --config file stand where the command line gives none; what
// cannot be taken, from either, ends in fail() with the reason.
Options parsePollOptions(const QStringList &args);
