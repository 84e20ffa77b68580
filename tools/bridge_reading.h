// One reading of one device on the line, as the bridge hands it to other
// programs: a JSON object (JSON lines, the MQTT state message), a line of
// InfluxDB line protocol, a CSV row.
#pragma once

#include <QtCore/QDateTime>
#include <QtCore/QJsonObject>
#include <QtCore/QString>
#include <optional>

// A device of the line as the bridge knows it: where it is, what the user
// called it and, once it has answered an identification, what it is.
struct TBridgeDevice
{
    QString port;     // as given: "COM1" or a device path
    int address = 0;
    QString name;     // --device ADDRESS=NAME; empty when none was given
    // From the identification (empty until the device has answered one).
    QString model;    // "FWTH-01"
    QString serial;   // "12345"
    QString firmware; // "1.07"
    bool humidity = true; // false for a temperature-only device

    // A stable identifier for topics and unique ids: the name when one was
    // given, else the port's last path part and the address ("ttyUSB0_3").
    // Letters, digits, '_' and '-' only; it never changes with the
    // identification, so retained topics stay where they are.
    QString id() const;
};

struct TBridgeReading
{
    QDateTime time; // when the reading was taken (UTC on output)
    TBridgeDevice device;
    std::optional<double> temperature; // degrees in the device's unit
    std::optional<double> humidity;    // percent
    QChar unit = QLatin1Char('C');     // 'C' or 'F'
    int status = 0;  // the transaction status: 0, or 300 for a failed reading
    QString cause;   // why it failed ("200 Device not responding"); empty when it did not
};

// UTC, RFC 3339 with milliseconds: "2026-12-10T13:51:45.123Z".
QString BridgeTime(const QDateTime &time);

// {"time", "port", "address", "name", "model", "serial", "temperature",
//  "humidity", "unit", "status", "cause"}; a value the reading lacks is null.
QJsonObject BridgeJson(const TBridgeReading &r);

// fenwire,port=…,address=…,name=…,serial=… temperature=…,humidity=… <ns>
// Humidity is left out for a device without it; a failed reading carries
// only its status field.
QString BridgeInflux(const TBridgeReading &r);
