// Device transactions: one short-lived worker thread per conversation with
// the device. A window hands a transaction a record of its own and gets it
// back, whole, with a status, when the thread ends: a TTransDoneEvent posted
// to the window's handle, then OnTerminate on the creating thread.
#pragma once

#include "dn_transmisja.h"

#include <QtCore/QEvent>
#include <QtCore/QThread>
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
// given) tells whether a reply with status 0 echoed the request.
int ExchangeOp(const TModbusOp &op, uint8_t address, TComPort *port, const uint8_t *data, int count,
               TModbusBuffer &reply, bool *echoOk = nullptr);

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
