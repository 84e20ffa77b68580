// Fenwire Monitor: watches one humidity and temperature transmitter on a
// serial line and opens its service and settings windows.
#include "main.h"
#include "ustawienia.h"

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

    // The window owns the serial ports, so they go before the application.
    TForm_Main window;
    Form_Main = &window;
    // Lives until the end; shown modally on demand.
    TForm_Ustaw settings(&window);
    Form_Ustaw = &settings;

    window.show();
    const int result = QApplication::exec();
    Form_Ustaw = nullptr;
    return result;
}
