// Device transactions: one short-lived worker thread per conversation with
// the device. A window hands a transaction a record of its own and gets it
// back, whole, with a status, when the thread ends: a TTransDoneEvent posted
// to the window's handle, then OnTerminate on the creating thread.
#pragma once

#include "dn_transmisja.h"

#include <QtCore/QEvent>
#include <QtCore/QThread>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

// The completion event a transaction posts to its window (the window message
// WM_USER + 100 of the maker's library), carrying the final status.
constexpr QEvent::Type WM_TRANS_DONE = static_cast<QEvent::Type>(QEvent::User + 100);

class TTransDoneEvent : public QEvent
{
public:
    explicit TTransDoneEvent(int status)
        : QEvent(WM_TRANS_DONE)
        , Status(status)
    {
    }
    const int Status;
};

// Sub-functions of the device protocol.
enum TSubFun : uint8_t {
    SF_PARAMS_WRITE = 1,
    SF_MEASURE = 0,
    SF_UNIT_WRITE = 11,
    SF_RANGES_020_WRITE = 13,
    SF_RANGES_420_WRITE = 15,
    SF_FWDL_TRANSPARENT = 18,
    SF_IDENTIFY = 21,
    SF_PARAMS_READ = 22,
    SF_ADC_TYPES_READ = 50,
    SF_ADC_TYPE_WRITE = 51,
    SF_ADC_CONFIG_READ = 124,
    SF_SERVICE_MODE = 250,
};

// One row of the transaction catalogue: what an exchange sends and how
// patiently it waits.
struct TModbusOp
{
    uint8_t Fun;
    uint8_t SubFun;
    int Attempts;
    int Timeout; // ms, per wait
    bool Echo;   // the reply must echo address, function and sub-function
};

namespace Ops {
constexpr TModbusOp Measure{kFunRead, SF_MEASURE, 4, 200, true};
constexpr TModbusOp Identify{kFunRead, SF_IDENTIFY, 4, 200, false};
constexpr TModbusOp ParamsRead{kFunRead, SF_PARAMS_READ, 3, 300, true};
constexpr TModbusOp UnitRead{kFunRead, SF_MEASURE, 3, 250, false};
constexpr TModbusOp UnitWrite{kFunWrite, SF_UNIT_WRITE, 3, 750, false};
constexpr TModbusOp ParamsWrite{kFunWrite, SF_PARAMS_WRITE, 3, 250, true};
constexpr TModbusOp ServiceMode{kFunWrite, SF_SERVICE_MODE, 3, 300, false};
constexpr TModbusOp FwdlTransparent{kFunWrite, SF_FWDL_TRANSPARENT, 4, 200, true};
constexpr TModbusOp AdcTypesRead{kFunRead, SF_ADC_TYPES_READ, 3, 800, true};
constexpr TModbusOp AdcTypeWrite{kFunWrite, SF_ADC_TYPE_WRITE, 3, 800, true};
constexpr TModbusOp AdcRanges020Write{kFunWrite, SF_RANGES_020_WRITE, 3, 1000, true};
constexpr TModbusOp AdcRanges420Write{kFunWrite, SF_RANGES_420_WRITE, 3, 1000, true};
constexpr TModbusOp AdcConfigRead{kFunRead, SF_ADC_CONFIG_READ, 3, 8000, true};
} // namespace Ops

// Builds the request of op to address with count data bytes, exchanges it
// and leaves the reply in reply. Returns the exchange status; *echoOk (when
// given) tells whether a reply with status 0 echoed the request, and *cause
// (when given) why the exchange ended as it did.
int ExchangeOp(const TModbusOp &op, uint8_t address, TComPort *port, const uint8_t *data, int count,
               TModbusBuffer &reply, bool *echoOk = nullptr, TPrzyczyna *cause = nullptr);

// The status of a record whose transaction runs: the main window shows blank
// digits for it. It has the value of the port's refusal, but is not one.
constexpr int32_t kRecordPending = 1;

// A reading in tenths that the device did not give.
constexpr int16_t kNoValue = -3000;

// Current readings of the monitored device.
struct TRH_Parametry_Biezace
{
    int16_t Temperatura = kNoValue; // tenths of a degree, unit by Status bit 4
    int16_t Wilgotnosc = kNoValue;  // tenths of a percent
    int32_t Status_Transmisji = 0;
    bool PrzezCentralke = false; // input: through an FWDL unit in transparent mode
    uint8_t Status = 0;          // bit 4 Fahrenheit; bits 6-7 the door state
    uint8_t TrybPracy = 0;
    // Radio fields of the maker's shared record; not used by this program.
    uint16_t Nr_Seryjny_Radio = 0;
    double OstatniaProbka_Radio = 0;
    uint8_t Signal = 0;
    uint8_t Battery = 0;
    int16_t LastAnswer = 0;
    double RadioDT = 0;
    int32_t IdLogger = 0;
    int32_t FwdlAdres = 0; // input: address of the FWDL unit
    int32_t FwdlPredk = 0; // input: baud rate of the FWDL unit
    TPrzyczyna Przyczyna;  // why the last measurement failed
};

// Status bits of a measurement reply.
constexpr uint8_t kStatusFahrenheit = 0x10;
constexpr uint8_t kStatusDoorMask = 0xC0;

class TTHR_Trans_RH : public QThread
{
public:
    TTHR_Trans_RH(bool CreateSuspended, int A_Adresat, int A_Com, int A_AdresRS, int A_VTrans, int A_Protokol,
                  void *A_Wsk_Dane, const TComPortTable &A_Tab_ApdComPort);
    ~TTHR_Trans_RH() override;

    // Runs on the creating thread once the transaction has ended, before the
    // object frees itself.
    std::function<void(TTHR_Trans_RH *)> OnTerminate;

    // Starts a transaction created suspended.
    void Resume();

    // Keeps the caller's record (or anything else) alive until the thread
    // object is freed, for a window that may close before its transaction ends.
    void KeepAlive(std::shared_ptr<void> owner) { m_keepAlive = std::move(owner); }

    int Status() const { return L_Status; }
    // The transaction found no port object with its COM number.
    bool NoPortObject() const { return m_noPortObject; }
    TComPort *Port() const { return L_Apd; }

    // Transactions constructed and not yet freed, on the port with this COM
    // number. A window starts nothing on a port another transaction still uses.
    static int Running(int comNumber);

protected:
    void run() override { Execute(); }
    virtual void Execute();
    virtual void THR_Transmit(int &A_Status) = 0;

    int L_Adresat;
    int L_used_Apd_Index = 0;
    uint8_t L_AdresRS;
    int L_Protokol;
    int L_VTrans;
    int L_Com;
    int L_Status = 0;
    void *L_wsk_dane;
    TComPort *L_Apd = nullptr;

private:
    std::shared_ptr<void> m_keepAlive;
    std::atomic<bool> m_noPortObject{false};
};

// The FWDL central unit's step before a request through it: the port goes to
// the unit's baud rate for the transparent-mode command and back to the rate
// it had. The command's own status is not consulted.
void FwdlTransparentStep(TComPort *A_Apd, int A_FwdlAdres, int A_FwdlPredk);

// One measurement exchange into A_Dane; status 300 when it fails or the reply
// does not echo the request.
void GetCurrentMeasure(uint8_t A_AdresRs, TComPort *A_Apd, int &A_Status, TRH_Parametry_Biezace &A_Dane);

// Switches the FWDL central unit at A_AdresRs to transparent mode (status
// 320 on a wrong echo). A_Apd is already at the unit's baud rate.
void SetFWDL_TransparentMOde(uint8_t A_AdresRs, TComPort *A_Apd, int &A_Status);

class TTHR_RH_Get_Current_Measure : public TTHR_Trans_RH
{
public:
    using TTHR_Trans_RH::TTHR_Trans_RH;

protected:
    void THR_Transmit(int &A_Status) override;
};

// ---------------------------------------------------------------------------
// Service transactions: identification, service mode, the communication
// parameters of a transmitter and the channel set-up of the ADC module.

// The identity of a device. Its four bytes go back to the device unchanged
// to open the service mode, so they are kept exactly as the device sent them.
struct TPWT_ID
{
    uint8_t Dev_Type = 0;
    uint8_t Dev_Type_Details = 0; // the variant within the type
    uint16_t Serial_Number = 0;

    // The same four bytes in the device's order: type, variant, serial
    // number low byte, high byte.
    std::array<uint8_t, 4> ID_TAB() const;
};

// The identification of a device plus the inputs of its transaction.
struct TPWT_ID_Informacja
{
    TPWT_ID ID;
    uint8_t Year = 0; // production year minus 2000
    uint8_t Month = 0;
    uint8_t Day = 0;
    std::array<char, 4> Version{}; // firmware version text, not terminated
    int32_t Dornal_serial_Number = 0; // the maker's own serial number
    uint8_t Reserved1 = 0;
    uint8_t Reserved2 = 0;
    int32_t Status_Transmisji = 0;
    int32_t FwdlAdres = 0;        // input: address of the FWDL unit
    int32_t FwdlPredk = 0;        // input: baud rate of the FWDL unit
    bool FwdlTransparent = false; // input: through an FWDL unit in transparent mode
    TPrzyczyna Przyczyna;
};

// A transmitter's own line settings and temperature unit.
struct TPWTTrans
{
    int32_t predkosc = 0;    // baud rate
    uint16_t adres = 0;      // RS-485 address
    uint16_t parzystosc = 0; // TParityCode
    int32_t Status_Transmisji = 0;
    uint8_t FahrCels = 0; // 0 Celsius, 1 Fahrenheit
    TPrzyczyna Przyczyna;
};

// Channel type codes of the ADC module, positions in GetFwadcChannelItems.
// Only the two current-loop types use the scale values.
enum TFwadcChannelType : int {
    FCT_PT100 = 0,
    FCT_PT500 = 1,
    FCT_PT1000 = 2,
    FCT_020MA = 3,
    FCT_420MA = 4,
    FCT_TC_R = 5,
    FCT_TC_S = 6,
    FCT_TC_B = 7,
    FCT_TC_J = 8,
    FCT_TC_T = 9,
    FCT_TC_E = 10,
    FCT_TC_K = 11,
    FCT_TC_N = 12,
};

// The channel numbers of the type write.
constexpr int kFwadcChannel1 = 0;
constexpr int kFwadcChannel2 = 1;

// A mode byte of this value in the module's measurement: its converter is damaged.
constexpr uint8_t kFwadcConverterDamaged = 255;
// Channel error bits of the module's measurement status byte.
constexpr uint8_t kFwadcChannel1Error = 0x01;
constexpr uint8_t kFwadcChannel2Error = 0x04;

// The configuration of the ADC module. Scale values are in tenths of the
// unit the window shows; this program only carries them.
struct TFwadc_Informacja
{
    uint8_t Adres = 0;
    bool PrzetwornikUszkodzony = false;
    bool Kanal1Error = false;
    bool Kanal2Error = false;
    int32_t Jednostka = 0; // 0 Celsius, 1 Fahrenheit
    int32_t Kanal1Typ = 0; // TFwadcChannelType
    int32_t Kanal2Typ = 0;
    int32_t Status_Transmisji = 0;
    uint16_t Kanal1Range0201 = 0; // 0-20 mA, channel 1, first and second value
    uint16_t Kanal1Range0202 = 0;
    uint16_t Kanal2Range0201 = 0;
    uint16_t Kanal2Range0202 = 0;
    uint16_t Kanal1Range4201 = 0; // 4-20 mA
    uint16_t Kanal1Range4202 = 0;
    uint16_t Kanal2Range4201 = 0;
    uint16_t Kanal2Range4202 = 0;
    TPrzyczyna Przyczyna;
};

// Reads the line settings of the transmitter at A_AdresRs into A_Dane
// (FahrCels 0: the unit comes from a measurement). Status 301 when the read
// fails, is not echoed, or is too short to hold the settings.
void GetTransParams(uint8_t A_AdresRs, TComPort *A_Apd, int &A_Status, TPWTTrans &A_Dane);

// Writes the unit, then the line settings, to the transmitter at A_AdresRs.
// The unit write's outcome is not reported; the settings write reports its
// exchange status, or 301 for a wrong echo. Settings that their bytes cannot
// carry (a baud rate that is not a whole number of steps up to 255, an
// address or parity code above 255) give 301 and nothing is sent.
void SetTransParams(uint8_t A_AdresRs, TComPort *A_Apd, int &A_Status, TPWTTrans A_Dane,
                    TPrzyczyna *A_Przyczyna = nullptr);

// Reads the two channel types of the ADC module; 320 for a wrong echo or a
// reply too short to hold them.
void GetFwadcChannelType(uint8_t A_AdresRs, TComPort *A_Apd, int &A_Status, int &A_Channel1, int &A_Channel2,
                         TPrzyczyna *A_Przyczyna = nullptr);

// Sets the type of one channel (kFwadcChannel1 or kFwadcChannel2); 320 for a
// wrong echo.
void SetFwadcChannelType(uint8_t A_AdresRs, TComPort *A_Apd, int &A_Status, int A_Channel, int A_ChannelType,
                         TPrzyczyna *A_Przyczyna = nullptr);

// Writes the 0-20 mA scale values, then the 4-20 mA ones. The second frame
// goes out whatever became of the first; the status is the first one's
// failure, or else the second one's outcome (320 for a wrong echo).
void SetFwadcChannelRange(uint8_t A_AdresRs, TComPort *A_Apd, int &A_Status, uint16_t A_ChannelRange02011,
                          uint16_t A_ChannelRange02012, uint16_t A_ChannelRange02021, uint16_t A_ChannelRange02022,
                          uint16_t A_ChannelRange42011, uint16_t A_ChannelRange42012, uint16_t A_ChannelRange42021,
                          uint16_t A_ChannelRange42022, TPrzyczyna *A_Przyczyna = nullptr);

// Identification into a TPWT_ID_Informacja, through the FWDL unit first when
// the record asks for it. The record's FWDL inputs are kept.
class TTHR_RH_Get_ID : public TTHR_Trans_RH
{
public:
    using TTHR_Trans_RH::TTHR_Trans_RH;

protected:
    void THR_Transmit(int &A_Status) override;
};

// Line settings and temperature unit of a transmitter into a TPWTTrans.
class TTHR_RH_Get_Trans : public TTHR_Trans_RH
{
public:
    using TTHR_Trans_RH::TTHR_Trans_RH;

protected:
    void THR_Transmit(int &A_Status) override;
};

// Writes the unit and the line settings of a TPWTTrans to a transmitter.
class TTHR_RH_Set_Trans : public TTHR_Trans_RH
{
public:
    using TTHR_Trans_RH::TTHR_Trans_RH;

protected:
    void THR_Transmit(int &A_Status) override;
};

// Opens the service mode of the device identified in a TPWT_ID_Informacja;
// only the record's status changes.
class TTHR_RH_EnterServiceMode : public TTHR_Trans_RH
{
public:
    using TTHR_Trans_RH::TTHR_Trans_RH;

protected:
    void THR_Transmit(int &A_Status) override;
};

// Reads the ADC module's state and configuration into a TFwadc_Informacja.
class TTHR_RH_GetFwadc : public TTHR_Trans_RH
{
public:
    using TTHR_Trans_RH::TTHR_Trans_RH;

protected:
    void THR_Transmit(int &A_Status) override;
};

// Writes a TFwadc_Informacja to the ADC module: changed channel types, the
// scale values while a channel is a current loop, then 9600 baud, no parity,
// the record's address and unit.
class TTHR_RH_SetFwadc : public TTHR_Trans_RH
{
public:
    using TTHR_Trans_RH::TTHR_Trans_RH;

protected:
    void THR_Transmit(int &A_Status) override;
};
