// Fenwire Monitor: watches one humidity and temperature transmitter on a
// serial line and opens its service and settings windows.
#include "dane.h"
#include "main.h"
#include "ustawienia.h"

#include <QtCore/QCommandLineParser>
#include <QtWidgets/QApplication>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    // Pictures are linked in from a static library: nothing registers them
    // unless asked.
    Q_INIT_RESOURCE(resources);
    // The application's name, not its display name: Qt would append a
    // display name to every window caption.
    QApplication::setApplicationName(QStringLiteral("Monitor Fenwire"));
    QApplication::setApplicationVersion(QStringLiteral(FENWIRE_VERSION_TEXT));

    // Besides Qt's own arguments (taken by QApplication above) the monitor
    // answers only --version and --help.
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Monitors one Fenwire humidity and temperature transmitter. The program keeps set_monitor.dat and\n"
        "fen_mon.ini in its working directory."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.process(app);

    // The files of the working directory, as every installation has them.
    const TPlikiProgramu pliki;
    // The window owns the serial ports, so they go before the application.
    TForm_Main window(pliki);
    Form_Main = &window;
    // Lives until the end; shown modally on demand.
    TForm_Ustaw settings(pliki.Parametry, &window);
    Form_Ustaw = &settings;

    window.show();
    const int result = QApplication::exec();
    Form_Ustaw = nullptr;
    return result;
}
