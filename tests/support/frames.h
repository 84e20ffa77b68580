// Frame helpers for tests: hex text in, frames with their CRC out.
#pragma once

#include "dn_transmisja.h"

#include <QtCore/QByteArray>

inline QByteArray hexFrame(const char *hex)
{
    return QByteArray::fromHex(QByteArray(hex).replace(' ', ""));
}

// The frame with its Modbus CRC appended, low byte first.
inline QByteArray withCrc(QByteArray frame)
{
    const uint16_t crc = Get_MODBUS_CRC16(static_cast<int>(frame.size()),
                                          reinterpret_cast<const uint8_t *>(frame.constData()));
    frame.append(static_cast<char>(crc & 0xFF));
    frame.append(static_cast<char>(crc >> 8));
    return frame;
}

// A reply frame of the given sub-function with the data, length field and CRC.
inline QByteArray replyFrame(uint8_t address, uint8_t fun, uint8_t subFun, const QByteArray &data)
{
    QByteArray f;
    const int length = static_cast<int>(data.size()) + kModbusMinFrame;
    f.append(static_cast<char>(address));
    f.append(static_cast<char>(fun));
    f.append(static_cast<char>(subFun));
    f.append(static_cast<char>(length >> 8));
    f.append(static_cast<char>(length & 0xFF));
    f.append(data);
    return withCrc(f);
}
