// The Modbus RTU link of the Fenwire devices.
//
// Standard RTU framing and CRC, but every frame carries a sub-function byte
// and a two-byte frame length after the function code, and only the
// user-defined functions 70 (read) and 71 (write) are used:
//
//   0 address | 1 function | 2 sub-function | 3..4 frame length, high first |
//   5.. data | CRC-16 low byte, high byte
//
// The frame length counts every byte of the frame, header and CRC included.
#pragma once

#include "dn_comport.h"

#include <QtCore/QString>
#include <QtCore/QStringList>
#include <array>
#include <cstdint>

// The largest frame the link handles; every frame buffer has this size.
constexpr int kModbusBufferSize = 513;
using TModbusBuffer = std::array<uint8_t, kModbusBufferSize>;

constexpr int kModbusHeaderSize = 5; // address, function, sub-function, length
constexpr int kModbusCrcSize = 2;
constexpr int kModbusMinFrame = kModbusHeaderSize + kModbusCrcSize;
constexpr int kModbusMaxData = kModbusBufferSize - kModbusMinFrame;

constexpr uint8_t kFunRead = 70;  // 0x46
constexpr uint8_t kFunWrite = 71; // 0x47

// Status codes ending every exchange and transaction.
enum TTransStatus : int {
    ST_OK = 0,
    ST_SEND_FAILED = 1,      // the port refused: busy, permission, I/O error
    ST_CRC_ERROR = 2,        // the last attempt read a frame with a bad CRC
    ST_PENDING = 1,          // a record's status while its transaction runs
    ST_NO_REPLY = 200,       // no complete reply within the attempts
    ST_CANCELED = 201,       // an unexpected failure during the exchange
    ST_NO_PORT = 212,        // the selected serial port does not exist
    ST_TRANS_FAILED = 300,   // no port object, or the measurement failed
    ST_PARAMS_FAILED = 301,  // the communication parameters failed their check
    ST_UNKNOWN_DEVICE = 320, // the ADC module or FWDL unit failed its check
};

uint16_t Get_MODBUS_CRC16(int A_Count, const uint8_t *A_Bufor);

// Writes the request without its CRC and returns its length (A_countData + 5).
// A_Data may point into A_SendBuffer itself: the data are set aside first.
uint16_t Set_Modbus_Send_Buffer(TModbusBuffer &A_SendBuffer, int A_Adres, int A_Fun, int A_SubFun,
                                const uint8_t *A_Data, int A_countData);

// Sends the first A_count bytes followed by their CRC; the caller's buffer is
// never altered, so a request can be sent again unchanged. Returns 0, 1 or 212.
uint16_t Send_Modbus(TComPort *A_ApdComport, const TModbusBuffer &A_Bufor, int A_count);

// Waits until the input buffer holds at least A_Count bytes or A_Timeout ms
// have passed, looking after every 20 ms.
bool Wait_for_Apd_Buffer(TComPort *A_Apd, int A_Count, int A_Timeout);

// One request and its reply, with up to A_Repeat attempts of A_Timeout ms per
// wait. The reply frame, CRC included, is left at the start of A_buffer; the
// outcome in A_Status is 0, 1, 2, 200, 201 or 212.
void Check_And_Receive_Modbus_Buffer(TComPort *A_Apd, int A_Repeat, int A_Timeout, TModbusBuffer &A_buffer,
                                     const TModbusBuffer &A_RepeatBuffer, int A_ByteCount, int &A_Status);

// The echo check: address, function and sub-function of the reply equal the
// request's.
bool ModbusReturnCompare(const uint8_t *A_BufferIn, const uint8_t *A_BufferSend);

QString Get_Trans_Error_Str(int A_ErrCode);

QString Get_Dornal_Device_Type(uint8_t A_Dev_Type, uint8_t A_SubType);
void GetFwadcChannelItems(QStringList &A_Items);

// The serial ports of the program, entry i is COMi+1.
extern TComPortTable Tab_ApdComPort;

// What the link does on the line, for a technician's trace. A hook set here
// is called on the exchanging thread; it must be cheap and must not block.
struct TLinkTraceEvent
{
    enum Kind {
        Sent,        // a request went to the port
        Received,    // a whole reply frame was read (CrcOk tells the verdict)
        BadLength,   // a header announced a frame the link cannot take
        Timeout,     // no header, or not the rest of the frame, in time
        FlushedIn,   // stale input bytes thrown away
        FlushedOut,  // unsent output bytes thrown away
        PortFailure, // the port raised a failure (Status tells the outcome)
    };
    Kind kind;
    int comNumber;
    const uint8_t *bytes; // the frame, or the partial bytes (may be null)
    int count;
    bool crcOk;
    int status;  // PortFailure: the status it gives
    int pending; // Timeout: bytes waiting in the port besides the header read
};
using TLinkTraceHook = void (*)(const TLinkTraceEvent &);
void SetLinkTraceHook(TLinkTraceHook hook);
