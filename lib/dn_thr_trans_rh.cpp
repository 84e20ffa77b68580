#include "dn_thr_trans_rh.h"

#include "dn_tools.h"

#include <QtCore/QMetaObject>
#include <array>

namespace {

// Frame lengths of the measurement reply, one per device kind.
constexpr uint8_t kMeasureTempOnly = 11; // temperature only
constexpr uint8_t kMeasureRH = 13;       // humidity and temperature
constexpr uint8_t kMeasureRHLong = 15;   // the same with two more data bytes

std::array<std::atomic<int>, kComPortCount + 1> g_running{};

std::atomic<int> *runningSlot(int comNumber)
{
    if (comNumber < 1 || comNumber > kComPortCount)
        return nullptr;
    return &g_running[static_cast<size_t>(comNumber)];
}

int16_t word(const TModbusBuffer &b, int offset)
{
    return static_cast<int16_t>(static_cast<uint16_t>(b[offset] << 8 | b[offset + 1]));
}

} // namespace

int ExchangeOp(const TModbusOp &op, uint8_t address, TComPort *port, const uint8_t *data, int count,
               TModbusBuffer &reply, bool *echoOk)
{
    TModbusBuffer request;
    const uint16_t length = Set_Modbus_Send_Buffer(request, address, op.Fun, op.SubFun, data, count);
    int status = ST_NO_REPLY;
    Check_And_Receive_Modbus_Buffer(port, op.Attempts, op.Timeout, reply, request, length, status);
    if (echoOk)
        *echoOk = status == ST_OK && ModbusReturnCompare(reply.data(), request.data());
    return status;
}

TTHR_Trans_RH::TTHR_Trans_RH(bool CreateSuspended, int A_Adresat, int A_Com, int A_AdresRS, int A_VTrans,
                             int A_Protokol, void *A_Wsk_Dane, const TComPortTable &A_Tab_ApdComPort)
    : L_Adresat(A_Adresat)
    , L_AdresRS(static_cast<uint8_t>(A_AdresRS))
    , L_Protokol(A_Protokol)
    , L_VTrans(A_VTrans)
    , L_Com(A_Com)
    , L_wsk_dane(A_Wsk_Dane)
{
    for (int i = 0; i < kComPortCount; ++i) {
        TComPort *port = A_Tab_ApdComPort[static_cast<size_t>(i)];
        if (port && port->ComNumber() == L_Com) {
            L_used_Apd_Index = i + 1;
            L_Apd = port;
            if (port->Baud() != L_VTrans) {
                try {
                    port->SetBaud(L_VTrans);
                } catch (const std::exception &) {
                    // The exchange meets the port's refusal again and reports it.
                }
            }
            break;
        }
    }
    if (std::atomic<int> *slot = runningSlot(L_Com))
        ++*slot;

    // Free on terminate: OnTerminate and the deletion run on the creating
    // thread, after the body has returned.
    connect(this, &QThread::finished, this, [this] {
        if (OnTerminate)
            OnTerminate(this);
        deleteLater();
    }, Qt::QueuedConnection);

    // Like a thread created running: it starts once the caller has finished
    // constructing it, OnTerminate included.
    if (!CreateSuspended)
        QMetaObject::invokeMethod(this, [this] { Resume(); }, Qt::QueuedConnection);
}

TTHR_Trans_RH::~TTHR_Trans_RH()
{
    wait();
    if (std::atomic<int> *slot = runningSlot(L_Com))
        --*slot;
}

void TTHR_Trans_RH::Resume()
{
    if (!isRunning() && !isFinished())
        start(QThread::LowestPriority);
}

int TTHR_Trans_RH::Running(int comNumber)
{
    std::atomic<int> *slot = runningSlot(comNumber);
    return slot ? slot->load() : 0;
}

void TTHR_Trans_RH::Execute()
{
    setPriority(QThread::LowestPriority);
    if (L_used_Apd_Index > 0) {
        try {
            THR_Transmit(L_Status);
        } catch (...) {
            L_Status = ST_CANCELED;
        }
    } else {
        L_Status = ST_TRANS_FAILED;
    }
    PostToHandle(L_Adresat, new TTransDoneEvent(L_Status));
}

void FwdlTransparentStep(TComPort *A_Apd, int A_FwdlAdres, int A_FwdlPredk)
{
    const int baud = A_Apd->Baud();
    int status = ST_OK;
    try {
        A_Apd->SetBaud(A_FwdlPredk);
        SetFWDL_TransparentMOde(static_cast<uint8_t>(A_FwdlAdres), A_Apd, status);
    } catch (const std::exception &) {
    }
    try {
        A_Apd->SetBaud(baud);
    } catch (const std::exception &) {
        // The request that follows fails on the port and says so.
    }
}

void SetFWDL_TransparentMOde(uint8_t A_AdresRs, TComPort *A_Apd, int &A_Status)
{
    TModbusBuffer reply;
    bool echo = false;
    A_Status = ExchangeOp(Ops::FwdlTransparent, A_AdresRs, A_Apd, nullptr, 0, reply, &echo);
    if (A_Status == ST_OK && !echo)
        A_Status = ST_UNKNOWN_DEVICE;
}

void GetCurrentMeasure(uint8_t A_AdresRs, TComPort *A_Apd, int &A_Status, TRH_Parametry_Biezace &A_Dane)
{
    TModbusBuffer reply;
    bool echo = false;
    A_Status = ExchangeOp(Ops::Measure, A_AdresRs, A_Apd, nullptr, 0, reply, &echo);
    if (A_Status == ST_OK && echo) {
        switch (reply[4]) {
        case kMeasureTempOnly:
            A_Dane.Temperatura = word(reply, 5);
            A_Dane.Wilgotnosc = kNoValue;
            A_Dane.Status = reply[7];
            A_Dane.TrybPracy = reply[8];
            break;
        case kMeasureRH:
        case kMeasureRHLong:
            A_Dane.Wilgotnosc = word(reply, 5);
            A_Dane.Temperatura = word(reply, 7);
            A_Dane.Status = reply[9];
            A_Dane.TrybPracy = reply[10];
            break;
        default:
            break; // a reply of another shape changes nothing
        }
    } else {
        A_Dane.Temperatura = kNoValue;
        A_Dane.Wilgotnosc = kNoValue;
        A_Status = ST_TRANS_FAILED;
    }
    A_Dane.Status_Transmisji = A_Status;
}

void TTHR_RH_Get_Current_Measure::THR_Transmit(int &A_Status)
{
    auto *caller = static_cast<TRH_Parametry_Biezace *>(L_wsk_dane);
    TRH_Parametry_Biezace D = *caller;
    if (D.PrzezCentralke)
        FwdlTransparentStep(L_Apd, D.FwdlAdres, D.FwdlPredk);
    GetCurrentMeasure(L_AdresRS, L_Apd, A_Status, D);
    *caller = D;
}
