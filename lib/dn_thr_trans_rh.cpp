#include "dn_thr_trans_rh.h"

#include "dn_tools.h"

#include <QtCore/QMetaObject>
#include <algorithm>
#include <array>

namespace {

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
               TModbusBuffer &reply, bool *echoOk, TPrzyczyna *cause)
{
    TModbusBuffer request;
    const uint16_t length = Set_Modbus_Send_Buffer(request, address, op.Fun, op.SubFun, data, count);
    int status = ST_NO_REPLY;
    Check_And_Receive_Modbus_Buffer(port, op.Attempts, op.Timeout, reply, request, length, status);
    if (echoOk)
        *echoOk = status == ST_OK && ModbusReturnCompare(reply.data(), request.data());
    if (cause)
        *cause = PrzyczynaWymiany(status, port);
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
        m_noPortObject = true;
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
        // A rate the driver refuses (a damaged parameter file) must not leave
        // the port at the unit's rate: the request would go out there. Closed,
        // the port takes the rate as it is, and the next open refuses it, so
        // the request that follows fails on the port and says so.
        try {
            A_Apd->SetOpen(false);
            A_Apd->SetBaud(baud);
        } catch (const std::exception &) {
        }
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
    TPrzyczyna cause;
    A_Status = ExchangeOp(Ops::Measure, A_AdresRs, A_Apd, nullptr, 0, reply, &echo, &cause);
    if (A_Status == ST_OK && echo) {
        // A reply of another shape changes nothing.
        if (const TUkladPomiaru *u = UkladPomiaru(DlugoscRamki(reply.data()))) {
            A_Dane.Temperatura = word(reply, u->Temperatura);
            A_Dane.Wilgotnosc = u->Wilgotnosc < 0 ? kNoValue : word(reply, u->Wilgotnosc);
            A_Dane.Status = reply[u->Status];
            A_Dane.TrybPracy = reply[u->Tryb];
        }
    } else {
        A_Dane.Temperatura = kNoValue;
        A_Dane.Wilgotnosc = kNoValue;
        // Status 300 whatever happened; the cause keeps what did.
        if (A_Status == ST_OK)
            cause.Kod = CS_WRONG_ECHO;
        A_Status = ST_TRANS_FAILED;
    }
    A_Dane.Przyczyna = cause;
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

// ---------------------------------------------------------------------------
// Service transactions

namespace {

// The parameters reply: baud byte, parity code, address.
constexpr int kParamsBaud = kModbusHeaderSize;
constexpr int kParamsParity = kModbusHeaderSize + 1;
constexpr int kParamsAddress = kModbusHeaderSize + 2;
constexpr int kParamsReplyMinFrame = kParamsAddress + 1 + kModbusCrcSize;

// The ADC module's channel types reply.
constexpr int kAdcTypesChannel1 = kModbusHeaderSize;
constexpr int kAdcTypesChannel2 = kModbusHeaderSize + 1;
constexpr int kAdcTypesReplyMinFrame = kAdcTypesChannel2 + 1 + kModbusCrcSize;

// The ADC module's configuration reply; scale values high byte first.
constexpr int kAdcCfgUnit = 5;
constexpr int kAdcCfgK1Range0201 = 6;
constexpr int kAdcCfgK1Range0202 = 8;
constexpr int kAdcCfgK2Range0201 = 10;
constexpr int kAdcCfgK2Range0202 = 12;
constexpr int kAdcCfgK1Range4201 = 14;
constexpr int kAdcCfgK1Range4202 = 16;
constexpr int kAdcCfgK2Range4201 = 18;
constexpr int kAdcCfgK2Range4202 = 20;
constexpr int kAdcCfgAddress = 24;
constexpr int kAdcCfgK1Type = 25;
constexpr int kAdcCfgK2Type = 26;
constexpr int kAdcCfgReplyMinFrame = kAdcCfgK2Type + 1 + kModbusCrcSize;

// The module stores each set-up write in its own memory and re-initialises
// the channel; a command sent before it has settled goes unanswered.
constexpr int kAdcTypeSettleMs = 1500;
constexpr int kAdcRangesLeadMs = 1000;
constexpr int kAdcRangesSettleMs = 1500;
// The module always leaves a write talking at the service speed, without
// parity, so that the next service session finds it.
constexpr int kAdcLineBaud = 9600;

uint16_t frameLengthOf(const TModbusBuffer &b)
{
    return DlugoscRamki(b.data());
}

uint16_t beWord(const TModbusBuffer &b, int offset)
{
    return static_cast<uint16_t>(b[offset] << 8 | b[offset + 1]);
}

void putBeWord(uint8_t *to, uint16_t value)
{
    to[0] = static_cast<uint8_t>(value >> 8);
    to[1] = static_cast<uint8_t>(value & 0xFF);
}

// An exchange whose reply must echo the request: a wrong echo on a good
// frame becomes the caller's own failure code.
int EchoedExchange(const TModbusOp &op, uint8_t address, TComPort *port, const uint8_t *data, int count,
                   TModbusBuffer &reply, int echoFailure, TPrzyczyna *cause = nullptr)
{
    bool echo = false;
    TPrzyczyna c;
    const int status = ExchangeOp(op, address, port, data, count, reply, &echo, &c);
    if (status == ST_OK && !echo)
        c.Kod = CS_WRONG_ECHO;
    if (cause)
        *cause = c;
    return status == ST_OK && !echo ? echoFailure : status;
}

// The identification as the device sent it. Data the frame does not hold
// read as 0, never as whatever an earlier frame left in the buffer.
void DecodeIdentification(const TModbusBuffer &reply, TPWT_ID_Informacja &D)
{
    namespace O = IdOffsets;
    std::array<uint8_t, O::DataSize> data{};
    const int available = std::clamp(int(frameLengthOf(reply)) - kModbusMinFrame, 0, O::DataSize);
    std::copy_n(reply.begin() + kModbusHeaderSize, available, data.begin());

    D.ID.Dev_Type = data[O::DevType];
    D.ID.Dev_Type_Details = data[O::DevTypeDetails];
    D.ID.Serial_Number = static_cast<uint16_t>(data[O::SerialNumber] | data[O::SerialNumber + 1] << 8);
    D.Year = data[O::Year];
    D.Month = data[O::Month];
    D.Day = data[O::Day];
    static_assert(sizeof D.Version == O::VersionSize);
    for (size_t i = 0; i < D.Version.size(); ++i)
        D.Version[i] = static_cast<char>(data[O::Version + i]);
    uint32_t makerSerial = 0;
    for (int i = 3; i >= 0; --i)
        makerSerial = makerSerial << 8 | data[O::MakerSerial + i];
    D.Dornal_serial_Number = static_cast<int32_t>(makerSerial);
    D.Reserved1 = data[O::Reserved1];
    D.Reserved2 = data[O::Reserved2];
}

// The temperature unit in a measurement frame: bit 4 of its status byte,
// wherever the device kind puts that byte. 0 for a frame of unknown shape.
uint8_t UnitOfMeasurement(const TModbusBuffer &reply)
{
    const TUkladPomiaru *u = UkladPomiaru(DlugoscRamki(reply.data()));
    if (!u)
        return 0;
    return (reply[u->Status] & kStatusFahrenheit) ? 1 : 0;
}

// Whether every setting fits its byte on the wire. One that does not would
// reach the device as another value, and the program would then look for
// the device under settings it never took.
bool FitsOnWire(const TPWTTrans &t)
{
    constexpr int kByteMax = 0xFF;
    return PredkoscNaBajt(t.predkosc).has_value() && t.adres <= kByteMax && t.parzystosc <= kByteMax;
}

bool IsCurrentLoop(int channelType)
{
    return channelType == FCT_020MA || channelType == FCT_420MA;
}

} // namespace

std::array<uint8_t, 4> TPWT_ID::ID_TAB() const
{
    return {Dev_Type, Dev_Type_Details, static_cast<uint8_t>(Serial_Number & 0xFF),
            static_cast<uint8_t>(Serial_Number >> 8)};
}

void TTHR_RH_Get_ID::THR_Transmit(int &A_Status)
{
    auto *caller = static_cast<TPWT_ID_Informacja *>(L_wsk_dane);
    TPWT_ID_Informacja D = *caller;
    if (D.FwdlTransparent)
        FwdlTransparentStep(L_Apd, D.FwdlAdres, D.FwdlPredk);
    TModbusBuffer reply{};
    // Any device that answers is identified, whatever address it answers
    // from: the service address reaches whichever device listens to it.
    A_Status = ExchangeOp(Ops::Identify, L_AdresRS, L_Apd, nullptr, 0, reply, nullptr, &D.Przyczyna);
    if (A_Status == ST_OK)
        DecodeIdentification(reply, D);
    D.Status_Transmisji = A_Status;
    *caller = D;
}

void TTHR_RH_EnterServiceMode::THR_Transmit(int &A_Status)
{
    auto *caller = static_cast<TPWT_ID_Informacja *>(L_wsk_dane);
    TPWT_ID_Informacja D = *caller;
    const std::array<uint8_t, 4> identity = D.ID.ID_TAB();
    TModbusBuffer reply{};
    A_Status = ExchangeOp(Ops::ServiceMode, L_AdresRS, L_Apd, identity.data(), int(identity.size()), reply, nullptr,
                          &D.Przyczyna);
    D.Status_Transmisji = A_Status;
    *caller = D;
}

void GetTransParams(uint8_t A_AdresRs, TComPort *A_Apd, int &A_Status, TPWTTrans &A_Dane)
{
    TModbusBuffer reply{};
    A_Status = EchoedExchange(Ops::ParamsRead, A_AdresRs, A_Apd, nullptr, 0, reply, ST_PARAMS_FAILED,
                              &A_Dane.Przyczyna);
    if (A_Status == ST_OK && frameLengthOf(reply) >= kParamsReplyMinFrame) {
        A_Dane.predkosc = BajtNaPredkosc(reply[kParamsBaud]);
        A_Dane.parzystosc = reply[kParamsParity];
        A_Dane.adres = reply[kParamsAddress];
        A_Dane.FahrCels = 0;
    } else {
        if (A_Status == ST_OK)
            A_Dane.Przyczyna.Kod = CS_SHORT_REPLY;
        A_Status = ST_PARAMS_FAILED;
    }
}

void SetTransParams(uint8_t A_AdresRs, TComPort *A_Apd, int &A_Status, TPWTTrans A_Dane, TPrzyczyna *A_Przyczyna)
{
    if (!FitsOnWire(A_Dane)) {
        A_Status = ST_PARAMS_FAILED;
        if (A_Przyczyna)
            A_Przyczyna->Kod = CS_NOT_ON_WIRE;
        return;
    }
    TModbusBuffer reply{};
    const uint8_t unit[] = {A_Dane.FahrCels};
    ExchangeOp(Ops::UnitWrite, A_AdresRs, A_Apd, unit, int(sizeof unit), reply);
    // Devices without a unit setting do not answer it; their line settings
    // are still to be written.
    A_Status = ST_OK;

    const uint8_t params[] = {*PredkoscNaBajt(A_Dane.predkosc), static_cast<uint8_t>(A_Dane.parzystosc),
                              static_cast<uint8_t>(A_Dane.adres)};
    A_Status = EchoedExchange(Ops::ParamsWrite, A_AdresRs, A_Apd, params, int(sizeof params), reply,
                              ST_PARAMS_FAILED, A_Przyczyna);
}

void TTHR_RH_Get_Trans::THR_Transmit(int &A_Status)
{
    TPWTTrans D;
    GetTransParams(L_AdresRS, L_Apd, A_Status, D);
    if (A_Status == ST_OK) {
        TModbusBuffer reply{};
        if (ExchangeOp(Ops::UnitRead, L_AdresRS, L_Apd, nullptr, 0, reply) == ST_OK)
            D.FahrCels = UnitOfMeasurement(reply);
        // The settings are what was asked for; a unit that could not be read
        // stays Celsius.
        A_Status = ST_OK;
    }
    D.Status_Transmisji = A_Status;
    *static_cast<TPWTTrans *>(L_wsk_dane) = D;
}

void TTHR_RH_Set_Trans::THR_Transmit(int &A_Status)
{
    auto *caller = static_cast<TPWTTrans *>(L_wsk_dane);
    TPWTTrans D = *caller;
    SetTransParams(L_AdresRS, L_Apd, A_Status, D, &D.Przyczyna);
    D.Status_Transmisji = A_Status;
    *caller = D;
}

void GetFwadcChannelType(uint8_t A_AdresRs, TComPort *A_Apd, int &A_Status, int &A_Channel1, int &A_Channel2,
                         TPrzyczyna *A_Przyczyna)
{
    TModbusBuffer reply{};
    A_Status = EchoedExchange(Ops::AdcTypesRead, A_AdresRs, A_Apd, nullptr, 0, reply, ST_UNKNOWN_DEVICE, A_Przyczyna);
    if (A_Status != ST_OK)
        return;
    if (frameLengthOf(reply) < kAdcTypesReplyMinFrame) {
        A_Status = ST_UNKNOWN_DEVICE;
        if (A_Przyczyna)
            A_Przyczyna->Kod = CS_SHORT_REPLY;
        return;
    }
    A_Channel1 = reply[kAdcTypesChannel1];
    A_Channel2 = reply[kAdcTypesChannel2];
}

void SetFwadcChannelType(uint8_t A_AdresRs, TComPort *A_Apd, int &A_Status, int A_Channel, int A_ChannelType,
                         TPrzyczyna *A_Przyczyna)
{
    TModbusBuffer reply{};
    const uint8_t data[] = {static_cast<uint8_t>(A_Channel), static_cast<uint8_t>(A_ChannelType)};
    A_Status = EchoedExchange(Ops::AdcTypeWrite, A_AdresRs, A_Apd, data, int(sizeof data), reply, ST_UNKNOWN_DEVICE,
                              A_Przyczyna);
}

void SetFwadcChannelRange(uint8_t A_AdresRs, TComPort *A_Apd, int &A_Status, uint16_t A_ChannelRange02011,
                          uint16_t A_ChannelRange02012, uint16_t A_ChannelRange02021, uint16_t A_ChannelRange02022,
                          uint16_t A_ChannelRange42011, uint16_t A_ChannelRange42012, uint16_t A_ChannelRange42021,
                          uint16_t A_ChannelRange42022, TPrzyczyna *A_Przyczyna)
{
    auto send = [&](const TModbusOp &op, std::array<uint16_t, 4> values, TPrzyczyna &cause) {
        std::array<uint8_t, 8> data{};
        for (size_t i = 0; i < values.size(); ++i)
            putBeWord(&data[2 * i], values[i]);
        TModbusBuffer reply{};
        return EchoedExchange(op, A_AdresRs, A_Apd, data.data(), int(data.size()), reply, ST_UNKNOWN_DEVICE,
                              &cause);
    };
    // Each range is a frame of its own; the second goes out even when the
    // first failed, so that one bad frame does not cost the other range.
    TPrzyczyna firstCause;
    TPrzyczyna secondCause;
    const int first = send(Ops::AdcRanges020Write,
                           {A_ChannelRange02011, A_ChannelRange02012, A_ChannelRange02021, A_ChannelRange02022},
                           firstCause);
    const int second = send(Ops::AdcRanges420Write,
                            {A_ChannelRange42011, A_ChannelRange42012, A_ChannelRange42021, A_ChannelRange42022},
                            secondCause);
    A_Status = first != ST_OK ? first : second;
    if (A_Przyczyna)
        *A_Przyczyna = first != ST_OK ? firstCause : secondCause;
}

void TTHR_RH_GetFwadc::THR_Transmit(int &A_Status)
{
    auto *caller = static_cast<TFwadc_Informacja *>(L_wsk_dane);
    TFwadc_Informacja F = *caller;
    TRH_Parametry_Biezace D;
    GetCurrentMeasure(L_AdresRS, L_Apd, A_Status, D);
    F.Przyczyna = D.Przyczyna;
    TModbusBuffer reply{};
    if (A_Status == ST_OK)
        A_Status = EchoedExchange(Ops::AdcConfigRead, L_AdresRS, L_Apd, nullptr, 0, reply, ST_UNKNOWN_DEVICE,
                                  &F.Przyczyna);
    if (A_Status == ST_OK && frameLengthOf(reply) < kAdcCfgReplyMinFrame) {
        A_Status = ST_UNKNOWN_DEVICE;
        F.Przyczyna.Kod = CS_SHORT_REPLY;
    }
    if (A_Status == ST_OK) {
        F.Adres = reply[kAdcCfgAddress];
        F.PrzetwornikUszkodzony = D.TrybPracy == kFwadcConverterDamaged;
        F.Kanal1Error = (D.Status & kFwadcChannel1Error) != 0;
        F.Kanal2Error = (D.Status & kFwadcChannel2Error) != 0;
        F.Jednostka = reply[kAdcCfgUnit];
        F.Kanal1Typ = reply[kAdcCfgK1Type];
        F.Kanal2Typ = reply[kAdcCfgK2Type];
        F.Kanal1Range0201 = beWord(reply, kAdcCfgK1Range0201);
        F.Kanal1Range0202 = beWord(reply, kAdcCfgK1Range0202);
        F.Kanal2Range0201 = beWord(reply, kAdcCfgK2Range0201);
        F.Kanal2Range0202 = beWord(reply, kAdcCfgK2Range0202);
        F.Kanal1Range4201 = beWord(reply, kAdcCfgK1Range4201);
        F.Kanal1Range4202 = beWord(reply, kAdcCfgK1Range4202);
        F.Kanal2Range4201 = beWord(reply, kAdcCfgK2Range4201);
        F.Kanal2Range4202 = beWord(reply, kAdcCfgK2Range4202);
    }
    F.Status_Transmisji = A_Status;
    *caller = F;
}

void TTHR_RH_SetFwadc::THR_Transmit(int &A_Status)
{
    auto *caller = static_cast<TFwadc_Informacja *>(L_wsk_dane);
    TFwadc_Informacja D = *caller;

    TPWTTrans P;
    P.predkosc = kAdcLineBaud;
    P.adres = D.Adres;
    P.parzystosc = PC_NONE;
    P.FahrCels = static_cast<uint8_t>(D.Jednostka);

    // The types as the module has them now decide what is written; a
    // failure stops the sequence, and what was written stays written.
    int K1 = -1;
    int K2 = -1;
    D.Przyczyna = {};
    GetFwadcChannelType(L_AdresRS, L_Apd, A_Status, K1, K2, &D.Przyczyna);

    if (A_Status == ST_OK && K1 != D.Kanal1Typ) {
        WaitMS(kAdcTypeSettleMs);
        SetFwadcChannelType(L_AdresRS, L_Apd, A_Status, kFwadcChannel1, D.Kanal1Typ, &D.Przyczyna);
        if (A_Status == ST_OK)
            WaitMS(kAdcTypeSettleMs);
    }
    if (A_Status == ST_OK && K2 != D.Kanal2Typ) {
        SetFwadcChannelType(L_AdresRS, L_Apd, A_Status, kFwadcChannel2, D.Kanal2Typ, &D.Przyczyna);
        if (A_Status == ST_OK)
            WaitMS(kAdcTypeSettleMs);
    }
    // Scale values go out only while a channel reads as a current loop: a
    // channel that has just become one gets them on the next write, once
    // the module reports its new type.
    if (A_Status == ST_OK && (IsCurrentLoop(K1) || IsCurrentLoop(K2))) {
        WaitMS(kAdcRangesLeadMs);
        SetFwadcChannelRange(L_AdresRS, L_Apd, A_Status, D.Kanal1Range0201, D.Kanal1Range0202, D.Kanal2Range0201,
                             D.Kanal2Range0202, D.Kanal1Range4201, D.Kanal1Range4202, D.Kanal2Range4201,
                             D.Kanal2Range4202, &D.Przyczyna);
        if (A_Status == ST_OK)
            WaitMS(kAdcRangesSettleMs);
    }
    if (A_Status == ST_OK)
        SetTransParams(L_AdresRS, L_Apd, A_Status, P, &D.Przyczyna);

    D.Status_Transmisji = A_Status;
    *caller = D;
}
