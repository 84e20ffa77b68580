// A small bridge process for the tests that need one to die: it publishes a
// reading per device every --interval ms to the broker on 127.0.0.1:--port
// until it is killed.
//
//   mqtt_bridge_probe --port P --bridge-id ID [--devices N] [--interval MS]
#include "bridge_mqtt.h"

#include <QtCore/QCommandLineParser>
#include <QtCore/QCoreApplication>
#include <QtCore/QTimer>
#include <cstdio>
#include <vector>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("broker port"), QStringLiteral("P"));
    const QCommandLineOption id(QStringLiteral("bridge-id"), QStringLiteral("bridge id"), QStringLiteral("ID"),
                                QStringLiteral("probe"));
    const QCommandLineOption devices(QStringLiteral("devices"), QStringLiteral("devices"), QStringLiteral("N"),
                                     QStringLiteral("2"));
    const QCommandLineOption interval(QStringLiteral("interval"), QStringLiteral("ms"), QStringLiteral("MS"),
                                      QStringLiteral("200"));
    parser.addOptions({port, id, devices, interval});
    parser.process(app);

    TMqttOptions o;
    o.host = QStringLiteral("127.0.0.1");
    o.port = parser.value(port).toInt();
    o.bridgeId = parser.value(id);
    TMqttBridge bridge(o);
    QString error;
    if (!bridge.Start(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 2;
    }
    std::vector<TBridgeDevice> line;
    for (int a = 1; a <= parser.value(devices).toInt(); ++a) {
        TBridgeDevice d;
        d.port = QStringLiteral("/dev/ttyUSB0");
        d.address = a;
        d.model = QStringLiteral("FWTH-01");
        line.push_back(d);
        bridge.DeviceKnown(d);
        bridge.SetAvailable(d, true);
    }
    QTimer tick;
    int n = 0;
    QObject::connect(&tick, &QTimer::timeout, &bridge, [&] {
        for (const TBridgeDevice &d : line) {
            TBridgeReading r;
            r.time = QDateTime::currentDateTimeUtc();
            r.device = d;
            r.temperature = 20 + 0.1 * (n % 50);
            r.humidity = 45.0;
            bridge.Publish(r);
        }
        ++n;
    });
    tick.start(parser.value(interval).toInt());
    return app.exec();
}
