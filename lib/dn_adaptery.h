// The serial adapters present on this machine: what the settings window
// offers beside each COM number, what "rh_poll ports" lists, and what a
// port that finds no device tells the user is there instead.
//
// No widgets: the windows, the tools and the port layer share it.
#pragma once

#include <QtCore/QList>
#include <QtCore/QString>
#include <QtCore/QStringList>
#include <functional>
#include <optional>

struct TAdapter
{
    QString Device;       // the device node, e.g. /dev/ttyUSB0
    QString ById;         // its /dev/serial/by-id link; empty when it has none
    QString Description;  // as the adapter names itself, e.g. "FT232R USB UART"
    QString Manufacturer; // e.g. "FTDI"
    QString SerialNumber; // the adapter's own, e.g. "A1B2C3"
    int VendorId = -1;    // USB vendor and product, -1 when not a USB device
    int ProductId = -1;

    bool Usb() const { return VendorId >= 0; }
};
using TAdapterList = QList<TAdapter>;

// Where the udev rules put the names that follow an adapter from socket to
// socket: the serial number is part of them, the USB path is not.
inline constexpr char kSerialByIdDir[] = "/dev/serial/by-id";

// The adapters present now, as QSerialPortInfo finds them, each with its
// by-id link where one points at it. Sorted by device node.
TAdapterList ListAdapters();

// Tests put a list of their own in place of the machine's (a pseudo-terminal
// is no USB adapter); an empty function gives the machine's list back.
using TAdapterSource = std::function<TAdapterList()>;
void SetAdapterSource(TAdapterSource A_Source);

// The name a COM number is best mapped to: the by-id link, which stays the
// same when the adapter is plugged into another socket, else the node.
QString AdapterMapName(const TAdapter &A_Adapter);

// One line for a person: "FT232R USB UART, FTDI, serial A1B2C3 (/dev/ttyUSB0)".
QString AdapterLabel(const TAdapter &A_Adapter);

// The adapter A_Device names, by its node, its by-id link or any other link
// to the same node; nullopt when none of them is it.
std::optional<TAdapter> FindAdapter(const TAdapterList &A_Adapters, const QString &A_Device);

// The adapter a COM1 without any mapping falls to: the USB serial adapter,
// when exactly one is present.
std::optional<TAdapter> OnlyUsbAdapter(const TAdapterList &A_Adapters);

// A device path with its links followed to the node they end at; the path
// itself when it does not exist (nothing to follow).
QString ResolvedDevice(const QString &A_Device);
