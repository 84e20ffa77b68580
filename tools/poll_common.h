// What the commands of rh_poll share: argument checks, the port choice, the
// line trace with its summary, and running one transaction the way a window
// does.
#pragma once

#include "dn_comport.h"
#include "dn_thr_trans_rh.h"

#include <QtCore/QString>
#include <functional>

constexpr int kExitFailed = 1;       // the device did not give what was asked
constexpr int kExitBadArguments = 2;

[[noreturn]] void fail(const QString &why);
int parseInt(const QString &text, const QString &what, int low, int high);
TParity parseParity(const QString &text, const QString &what);

struct PortChoice
{
    int com = 1;
    QString device; // a path instead of the COM map
};
PortChoice parsePort(const QString &text);

class QCommandLineParser;
// --help, --port and --trace, which every command takes.
void addCommonOptions(QCommandLineParser &p);
// Parses, answers --help, and refuses what it does not know.
void parseOrFail(QCommandLineParser &p, const QStringList &args);

QString subFunctionName(uint8_t fun, uint8_t sub);

// Counts what happens on the line for the summary; with print, also shows
// every frame, time-out and flush on stderr.
void installLineTrace(bool print);
void printLineSummary();

// Starts the transaction that create() makes for the given receiver handle,
// and waits, processing events, until its completion and its end have come.
int runTransaction(const std::function<TTHR_Trans_RH *(int handle)> &create);
