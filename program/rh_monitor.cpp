// Fenwire Monitor: watches one humidity and temperature transmitter on a
// serial line and opens its service and settings windows.
#include "dane.h"
#include "main.h"
#include "ustawienia.h"

#include <QtCore/QCommandLineParser>
#include <QtCore/QDir>
#include <QtCore/QStandardPaths>
#include <QtWidgets/QApplication>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>

namespace {

// Where the two files are, when it is not the working directory. The
// desktop entry sets it: a program started from a menu finds itself in
// whatever folder the desktop starts programs in, which is no place for an
// installation's files. Started from a terminal, the working directory
// stays the installation, as every existing one has it.
constexpr char kFilesVariable[] = "FENWIRE_FILES";
// ... the user's own folder for the monitor, $XDG_CONFIG_HOME/fenwire
// (~/.config/fenwire), created on first start.
constexpr char kFilesInConfig[] = "config";
constexpr char kConfigFolder[] = "fenwire";

// The monitor's own arguments, --version and --help, besides Qt's own.
void addOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Monitors one Fenwire humidity and temperature transmitter. The program keeps set_monitor.dat and\n"
        "fen_mon.ini in its working directory; with %1=%2 in its environment (as the desktop entry\n"
        "starts it) in $XDG_CONFIG_HOME/%3 (~/.config/%3) instead, created on first start.")
                                         .arg(QLatin1String(kFilesVariable), QLatin1String(kFilesInConfig),
                                              QLatin1String(kConfigFolder)));
    parser.addHelpOption();
    parser.addVersionOption();
}

// The two files, after a look at the environment; nullopt (with the reason
// on stderr) when it asks for something the program does not know.
std::optional<TPlikiProgramu> plikiProgramu()
{
    const QByteArray where = qgetenv(kFilesVariable);
    if (where.isEmpty())
        return TPlikiProgramu{};
    if (where != kFilesInConfig) {
        std::fprintf(stderr, "rh_monitor: %s takes \"%s\" or nothing, not \"%s\"\n", kFilesVariable, kFilesInConfig,
                     where.constData());
        return std::nullopt;
    }
    const QString folder = QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
                               .filePath(QLatin1String(kConfigFolder));
    // A folder that cannot be made leaves the program running on its
    // defaults, as a parameter file that cannot be written always has.
    if (!QDir().mkpath(folder))
        std::fprintf(stderr, "rh_monitor: cannot create %s\n", qPrintable(folder));
    // Anything else relative (a COM map entry such as "ttyFW") means the
    // same folder as the files.
    QDir::setCurrent(folder);
    const QDir dir(folder);
    TPlikiProgramu pliki;
    pliki.Parametry = dir.filePath(QLatin1String(kParamFileName));
    pliki.Ini = dir.filePath(QLatin1String(kPlacementFileName));
    return pliki;
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

    // A signal to end closes the window as its close box would.
    TSygnalyKonca sygnaly;
    // A file grown to the size limit (ulimit -f) fails its write as a full
    // disk would, instead of killing the program: the saves and the
    // recording report it and go on.
    std::signal(SIGXFSZ, SIG_IGN);
    const std::optional<TPlikiProgramu> where = plikiProgramu();
    if (!where)
        return 2;
    const TPlikiProgramu pliki = *where;
    // A save killed between writing its new file and putting it in place
    // leaves that file beside the old one, which stayed whole: ours to
    // remove, and only ours.
    RemoveSaveLeftovers(pliki.Parametry);
    RemoveSaveLeftovers(pliki.Ini);
    // The window owns the serial ports, so they go before the application.
    TForm_Main window(pliki);
    Form_Main = &window;
    // Lives until the end; shown modally on demand.
    TForm_Ustaw settings(pliki, &window);
    Form_Ustaw = &settings;

    window.show();
    const int result = QApplication::exec();
    Form_Ustaw = nullptr;
    return result;
}
