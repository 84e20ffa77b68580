// Fenwire Monitor: watches one humidity and temperature transmitter on a
// serial line and opens its service and settings windows.
#include "dane.h"
#include "main.h"
#include "ustawienia.h"

#include <QtCore/QCommandLineParser>
#include <QtWidgets/QApplication>
#include <cstring>

namespace {

// The monitor's own arguments, --version and --help, besides Qt's own.
void addOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Monitors one Fenwire humidity and temperature transmitter. The program keeps set_monitor.dat and\n"
        "fen_mon.ini in its working directory."));
    parser.addHelpOption();
    parser.addVersionOption();
}

// --version and --help answer without a display: they are asked from
// scripts, package checks and terminals where no window can open.
bool asksOnlyForText(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        for (const char *o : {"--version", "-v", "--help", "-h", "--help-all"}) {
            if (std::strcmp(argv[i], o) == 0)
                return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    if (asksOnlyForText(argc, argv)) {
        QCoreApplication text(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("rh_monitor"));
        QCoreApplication::setApplicationVersion(QStringLiteral(FENWIRE_VERSION_TEXT));
        QCommandLineParser parser;
        addOptions(parser);
        parser.process(text);
        return 0;
    }

    QApplication app(argc, argv);
    // Pictures are linked in from a static library: nothing registers them
    // unless asked.
    Q_INIT_RESOURCE(resources);
    // The application's name, not its display name: Qt would append a
    // display name to every window caption.
    QApplication::setApplicationName(QStringLiteral("Monitor Fenwire"));
    QApplication::setApplicationVersion(QStringLiteral(FENWIRE_VERSION_TEXT));
    // Anything else that is not Qt's own is refused here.
    QCommandLineParser parser;
    addOptions(parser);
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
