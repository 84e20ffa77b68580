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
#include "dn_urzadzenia.h"

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

// Status codes ending every exchange and transaction, and the other codes the
// maker's library has a text for.
enum TTransStatus : int {
    ST_NO_TEXT = -1,         // a status field nothing has been written to
    ST_OK = 0,
    ST_SEND_FAILED = 1,      // the port refused: busy, permission, I/O error
    ST_CRC_ERROR = 2,        // the last attempt read a frame with a bad CRC
    ST_NO_ANSWER_3 = 3,      // codes of the maker's other links, all "not responding"
    ST_NO_ANSWER_4 = 4,
    ST_NO_ANSWER_9 = 9,
    ST_ERROR_49 = 49,
    ST_NOT_AUTHORIZED = 50,
    ST_PLEASE_WAIT = 100,
    ST_NO_REPLY = 200,       // no complete reply within the attempts
    ST_CANCELED = 201,       // an unexpected failure during the exchange
    ST_NO_PORT = 212,        // the selected serial port does not exist
    ST_PORT_IN_USE = 214,
    ST_IO_ERROR = 216,
    ST_TRANS_FAILED = 300,   // no port object, or the measurement failed
    ST_PARAMS_FAILED = 301,  // the communication parameters failed their check
    ST_UNKNOWN_DEVICE = 320, // the ADC module or FWDL unit failed its check
};

// Why a transaction ended as it did, kept beside the status the windows show:
// a failed measurement is status 300 whatever happened, and the cause tells
// what did. Kod is the exchange's own status (1, 2, 200, 201, 212), one of the
// transaction's own findings below, or 0 when nothing failed; for a port that
// refused, Port holds the operating system's reason.
enum TCauseCode : int32_t {
    CS_NONE = 0,
    CS_WRONG_ECHO = 1001,    // a good frame that answers another request
    CS_SHORT_REPLY = 1002,   // a good frame too short for what it must carry
    CS_NO_PORT_OBJECT = 1003, // no port object has the COM number
    CS_NOT_ON_WIRE = 1004,   // a value its bytes cannot carry: nothing was sent
};

struct TPrzyczyna
{
    int32_t Kod = CS_NONE;
    TPortFailure Port;
};

// The cause of an exchange's outcome: its status, and the port's reason when
// the port refused.
TPrzyczyna PrzyczynaWymiany(int A_Status, const TComPort *A_Apd);
// The cause in words, e.g. "Device not responding" or "permission denied on
// /dev/ttyUSB0"; empty for no cause.
QString Get_Cause_Str(const TPrzyczyna &A_Przyczyna);

uint16_t Get_MODBUS_CRC16(int A_Count, const uint8_t *A_Bufor);

// Writes the request without its CRC and returns its length (A_countData + 5).
// A_Data may point into A_SendBuffer itself: the data are set aside first.
uint16_t Set_Modbus_Send_Buffer(TModbusBuffer &A_SendBuffer, int A_Adres, int A_Fun, int A_SubFun,
                                const uint8_t *A_Data, int A_countData);

// Sends the first A_count bytes followed by their CRC; the caller's buffer is
// never altered, so a request can be sent again unchanged. Returns 0, 1 or 212.
uint16_t Send_Modbus(TComPort *A_ApdComport, const TModbusBuffer &A_Bufor, int A_count);

// Waits until the input buffer holds at least A_Count bytes or A_Timeout ms
// have passed, and returns whether the bytes are there. A port that signals
// its input ends the wait as the bytes arrive; one that cannot is looked at
// every millisecond. Bytes already there end it at once.
bool Wait_for_Apd_Buffer(TComPort *A_Apd, int A_Count, int A_Timeout);

// One request and its reply, with up to A_Repeat attempts of A_Timeout ms per
// wait. The reply frame, CRC included, is left at the start of A_buffer; the
// outcome in A_Status is 0, 1, 2, 200, 201 or 212.
//
// An adapter that hands our own transmission back is learned from a read
// whose first frame is the request byte for byte (a read's reply never is);
// from then on the port's echo of every request is taken off before the
// reply is read, within the header's timeout, and the port is known not to
// echo again when the first frame of an attempt is something else or
// nothing comes at all.
void Check_And_Receive_Modbus_Buffer(TComPort *A_Apd, int A_Repeat, int A_Timeout, TModbusBuffer &A_buffer,
                                     const TModbusBuffer &A_RepeatBuffer, int A_ByteCount, int &A_Status);

// The length field of a frame (bytes 3 and 4, high byte first).
inline uint16_t FrameLengthField(const uint8_t *A_Frame)
{
    return DlugoscRamki(A_Frame);
}

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
        Echo,        // the request, handed back by an adapter that echoes
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
    const TPortFailure *failure; // PortFailure: what the system said (may be null)
};
using TLinkTraceHook = void (*)(const TLinkTraceEvent &);
void SetLinkTraceHook(TLinkTraceHook hook);
