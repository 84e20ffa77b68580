// rh_poll: the monitor's measurement cycle without a window, for scripts,
// logging, a technician's look at the line and, as a bridge, the plant's
// monitoring; and the service window's work as commands.
#include "dn_transmisja.h"
#include "poll_common.h"
#include "rh_poll_bridge.h"
#include "rh_poll_service.h"

#include <QtCore/QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("rh_poll"));
    QCoreApplication::setApplicationVersion(QStringLiteral(FENWIRE_VERSION_TEXT));

    // "rh_poll COMMAND [options]"; without a command it polls.
    QStringList args = app.arguments();
    QString command;
    if (args.size() > 1 && !args.at(1).startsWith(QLatin1Char('-')))
        command = args.takeAt(1);

    bool trace = false;
    for (const QString &a : args)
        trace = trace || a == QLatin1String("--trace");
    installLineTrace(trace);

    int code;
    if (command.isEmpty() || command == QLatin1String("poll")) {
        code = runPoll(args);
    } else {
        code = runServiceCommand(command, args);
    }
    SetLinkTraceHook(nullptr);
    printLineSummary();
    return code;
}
