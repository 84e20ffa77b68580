#include "bridge_reading.h"

#include <QtCore/QFileInfo>
#include <QtCore/QJsonValue>
#include <QtCore/QRegularExpression>

namespace {

QString sanitized(const QString &text)
{
    static const QRegularExpression other(QStringLiteral("[^A-Za-z0-9_-]"));
    QString s = text;
    s.replace(other, QStringLiteral("_"));
    return s;
}

// Tag keys and values escape commas, equals signs and spaces; string field
// values escape double quotes and backslashes.
QString influxTag(const QString &text)
{
    QString s = text;
    s.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    for (const char c : {',', '=', ' '})
        s.replace(QLatin1Char(c), QStringLiteral("\\") + QLatin1Char(c));
    return s;
}

QJsonValue orNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QJsonValue orNull(const std::optional<double> &v)
{
    return v ? QJsonValue(*v) : QJsonValue(QJsonValue::Null);
}

} // namespace

QString TBridgeDevice::id() const
{
    if (!name.isEmpty())
        return sanitized(name);
    return sanitized(QFileInfo(port).fileName()) + QLatin1Char('_') + QString::number(address);
}

QString BridgeTime(const QDateTime &time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
}

QJsonObject BridgeJson(const TBridgeReading &r)
{
    QJsonObject o;
    o.insert(QStringLiteral("time"), BridgeTime(r.time));
    o.insert(QStringLiteral("port"), r.device.port);
    o.insert(QStringLiteral("address"), r.device.address);
    o.insert(QStringLiteral("name"), orNull(r.device.name));
    o.insert(QStringLiteral("model"), orNull(r.device.model));
    o.insert(QStringLiteral("serial"), orNull(r.device.serial));
    o.insert(QStringLiteral("temperature"), orNull(r.temperature));
    o.insert(QStringLiteral("humidity"), orNull(r.humidity));
    o.insert(QStringLiteral("unit"), QString(r.unit));
    o.insert(QStringLiteral("status"), r.status);
    o.insert(QStringLiteral("cause"), orNull(r.cause));
    return o;
}

QString BridgeInflux(const TBridgeReading &r)
{
    QString line = QStringLiteral("fenwire,port=%1,address=%2").arg(influxTag(r.device.port)).arg(r.device.address);
    // A tag with an empty value is not allowed: a missing one is left out.
    if (!r.device.name.isEmpty())
        line += QStringLiteral(",name=") + influxTag(r.device.name);
    if (!r.device.serial.isEmpty())
        line += QStringLiteral(",serial=") + influxTag(r.device.serial);
    QStringList fields;
    if (r.status == 0 && r.temperature) {
        fields << QStringLiteral("temperature=%1").arg(*r.temperature, 0, 'f', 1);
        if (r.device.humidity && r.humidity)
            fields << QStringLiteral("humidity=%1").arg(*r.humidity, 0, 'f', 1);
    } else {
        // A gap in the series, with the status that made it.
        fields << QStringLiteral("status=%1i").arg(r.status == 0 ? 300 : r.status);
    }
    const qint64 ns = r.time.toMSecsSinceEpoch() * 1000000;
    return line + QLatin1Char(' ') + fields.join(QLatin1Char(',')) + QLatin1Char(' ') + QString::number(ns);
}
