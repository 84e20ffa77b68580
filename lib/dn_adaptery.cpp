#include "dn_adaptery.h"

#include <QtCore/QDir>
#include <QtCore/QFileInfo>
#include <QtCore/QMutex>
#include <QtSerialPort/QSerialPortInfo>
#include <algorithm>

namespace {

QMutex g_sourceMutex;
TAdapterSource g_source; // guarded by g_sourceMutex

// ttyUSB2 before ttyUSB10: the trailing number counts as a number.
bool nodeBefore(const QString &A_Left, const QString &A_Right)
{
    const auto split = [](const QString &s) {
        qsizetype digits = s.size();
        while (digits > 0 && s.at(digits - 1).isDigit())
            --digits;
        return std::make_pair(s.left(digits), digits < s.size() ? s.mid(digits).toLongLong() : -1);
    };
    return split(A_Left) < split(A_Right);
}

TAdapterList systemAdapters()
{
    // The by-id links, by the node they point at.
    QList<std::pair<QString, QString>> links;
    const QFileInfoList entries =
        QDir(QString::fromLatin1(kSerialByIdDir)).entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (entry.isSymLink())
            links.append({entry.canonicalFilePath(), entry.absoluteFilePath()});
    }

    TAdapterList adapters;
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        TAdapter a;
        a.Device = info.systemLocation();
        a.Description = info.description();
        a.Manufacturer = info.manufacturer();
        a.SerialNumber = info.serialNumber();
        if (info.hasVendorIdentifier())
            a.VendorId = info.vendorIdentifier();
        if (info.hasProductIdentifier())
            a.ProductId = info.productIdentifier();
        const QString node = ResolvedDevice(a.Device);
        for (const auto &link : std::as_const(links)) {
            if (link.first == node) {
                a.ById = link.second;
                break;
            }
        }
        adapters.append(a);
    }
    std::sort(adapters.begin(), adapters.end(),
              [](const TAdapter &l, const TAdapter &r) { return nodeBefore(l.Device, r.Device); });
    return adapters;
}

} // namespace

TAdapterList ListAdapters()
{
    TAdapterSource source;
    {
        QMutexLocker lock(&g_sourceMutex);
        source = g_source;
    }
    return source ? source() : systemAdapters();
}

void SetAdapterSource(TAdapterSource A_Source)
{
    QMutexLocker lock(&g_sourceMutex);
    g_source = std::move(A_Source);
}

QString AdapterMapName(const TAdapter &A_Adapter)
{
    return A_Adapter.ById.isEmpty() ? A_Adapter.Device : A_Adapter.ById;
}

QString AdapterLabel(const TAdapter &A_Adapter)
{
    QStringList parts;
    for (const QString &s : {A_Adapter.Description, A_Adapter.Manufacturer}) {
        if (!s.isEmpty() && !parts.contains(s))
            parts << s;
    }
    if (!A_Adapter.SerialNumber.isEmpty())
        parts << QStringLiteral("serial %1").arg(A_Adapter.SerialNumber);
    if (parts.isEmpty())
        return A_Adapter.Device;
    return QStringLiteral("%1 (%2)").arg(parts.join(QStringLiteral(", ")), A_Adapter.Device);
}

std::optional<TAdapter> FindAdapter(const TAdapterList &A_Adapters, const QString &A_Device)
{
    if (A_Device.isEmpty())
        return std::nullopt;
    const QString node = ResolvedDevice(A_Device);
    for (const TAdapter &a : A_Adapters) {
        if (A_Device == a.Device || (!a.ById.isEmpty() && A_Device == a.ById) || node == ResolvedDevice(a.Device))
            return a;
    }
    return std::nullopt;
}

std::optional<TAdapter> OnlyUsbAdapter(const TAdapterList &A_Adapters)
{
    std::optional<TAdapter> usb;
    for (const TAdapter &a : A_Adapters) {
        if (!a.Usb())
            continue;
        if (usb)
            return std::nullopt; // two or more: which one is the line's is the user's choice
        usb = a;
    }
    return usb;
}

QString ResolvedDevice(const QString &A_Device)
{
    const QString node = QFileInfo(A_Device).canonicalFilePath();
    return node.isEmpty() ? A_Device : node;
}
