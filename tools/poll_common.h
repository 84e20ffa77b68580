// What the commands of rh_poll share: argument checks, the port choice, the
// line trace with its summary, and the words for an outcome and its cause.
#pragma once

#include "dn_comport.h"
#include "dn_thr_trans_rh.h"

#include <QtCore/QJsonObject>
#include <QtCore/QString>

constexpr int kExitFailed = 1;       // the device did not give what was asked
constexpr int kExitBadArguments = 2;

// Prints "rh_poll: why" and ends the program with kExitBadArguments.
[[noreturn]] void fail(const QString &why);
// What fail() throws instead in the fuzz build.
struct UsageError
{
    QString why;
};
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
// The summary shows the device at this address by its label too.
void nameInSummary(int address, const QString &name);
// A further line at the end of the summary.
void addSummaryLine(const QString &line);
// The line's statistics so far, for other programs: the line's total and one
// entry per address ("requests", "good", "timeouts", "crcErrors",
// "wrongEchoes", "medianMs", "worstMs").
QJsonObject lineStatistics();

// A transaction's outcome with its cause: "0 Connected", "300 Device not
// responding (200)" for a silent device, "1 permission denied on
// /dev/ttyUSB0" for a port the user may not open.
QString outcomeText(int status, const TPrzyczyna &cause);
// The cause alone, as a CSV field holds it: "200 Device not responding";
// empty when nothing failed.
QString causeField(const TPrzyczyna &cause);
// Counts a failed outcome by its words for the summary.
void countFailure(int status, const TPrzyczyna &cause);
