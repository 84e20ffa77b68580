// What is true of the Fenwire devices and of their line, in one place: the
// service address and speed, the baud rates a transmitter takes and how a
// rate travels, the address bounds, the device kinds an identification
// names, the parity codes, and where a reply keeps what it carries.
//
// The windows, the transactions and the tools all take these facts from
// here, so that what the service window decides and what rh_poll does
// cannot drift apart.
#pragma once

#include "dn_comport.h"

#include <QtCore/QString>
#include <array>
#include <cstdint>
#include <optional>

// ---------------------------------------------------------------------------
// The service address and speed

// Every Fenwire device answers at this address at this speed, whatever its
// own settings: the service window finds a device there.
constexpr uint8_t kAdresSerwis = 247;
constexpr int kPredkoscSerwis = 9600;

// ---------------------------------------------------------------------------
// Baud rates

// The rates a transmitter can be set to, as its parameters page offers them.
constexpr std::array<int, 7> kPredkosciNadajnika{1200, 2400, 4800, 9600, 19200, 38400, 57600};

// A rate travels as one byte counting steps of this many bit/s.
constexpr int kBaudByteStep = 300;

bool JestPredkosciaNadajnika(int A_Predkosc);
// The byte of a rate; empty for a rate one byte cannot carry (not a whole
// number of steps, or above 255 steps: 115200 would arrive as another rate).
std::optional<uint8_t> PredkoscNaBajt(int A_Predkosc);
constexpr int BajtNaPredkosc(uint8_t A_Bajt)
{
    return A_Bajt * kBaudByteStep;
}

// ---------------------------------------------------------------------------
// Address bounds

struct TZakresAdresow
{
    int Min;
    int Max;
    constexpr bool Zawiera(int A_Adres) const { return A_Adres >= Min && A_Adres <= Max; }
};

// A transmitter is given an address up to 245 only: the highest addresses
// stay reserved, 247 being the service address every device answers at.
constexpr TZakresAdresow kAdresyNadajnika{1, 245};
// The ADC module takes any address up to the service one.
constexpr TZakresAdresow kAdresyModulu{1, 247};
// The monitored device and the FWDL unit, as the settings window takes them.
constexpr TZakresAdresow kAdresyMonitora{0, 250};

// ---------------------------------------------------------------------------
// Device kinds

// Device types an identification reports.
enum TDevType : uint8_t {
    DT_FWTH = 1,
    DT_FWT = 2,
    DT_FWADC = 3,
    DT_PROGRAMMER = 30,
    DT_GENERIC = 255, // a device of the line this program knows no more of
};

// The variant of an FWTH that is the FWTH-02; every other FWTH is an FWTH-01.
constexpr uint8_t kFwth02Variant = 1;
// The FWTH-01's own variant: only it reports its serial number and date.
constexpr uint8_t kFwth01Variant = 0;
// The variant of an FWT that is the FWT-02.
constexpr uint8_t kFwt02Variant = 1;

enum class TRodzajUrzadzenia {
    FWTH01,
    FWTH02,
    FWT01,
    FWT02,
    FWADC01,
    Programator, // type 30
    Ogolny,      // type 255
    Nieznany,    // any other type
};

TRodzajUrzadzenia RodzajUrzadzenia(uint8_t A_Typ, uint8_t A_Wariant);

// An FWTH-01 takes parameter requests only in its service mode, and leaves
// it unless told again.
bool WymagaTrybuSerwisowego(uint8_t A_Typ, uint8_t A_Wariant);
// A device whose identity the service window shows as soon as it answers;
// an FWTH-01 shows nothing before its service mode is open, and a type the
// window has no page for keeps the search display.
bool PokazujeIdentyfikacje(uint8_t A_Typ, uint8_t A_Wariant);
// Whether the device reports its serial number and production date.
bool PodajeNumerIDate(uint8_t A_Typ, uint8_t A_Wariant);
// The service window's work page for the device: the module's page for the
// FWADC-01, the transmitter page otherwise.
bool JestModulemAdc(uint8_t A_Typ);
// The devices whose parameter write the service window completes: the
// transmitters, the module and type 255.
bool PrzyjmujeParametry(uint8_t A_Typ, uint8_t A_Wariant);

// The identification counts the production year from this one.
constexpr int kRokBazowy = 2000;

// ---------------------------------------------------------------------------
// Parity

// Parity codes of a transmitter, in the order of its parameters page.
enum TParityCode : uint16_t {
    PC_NONE = 0,
    PC_ODD = 1,
    PC_EVEN = 2,
};

// Parity codes as the parameter file holds them.
constexpr uint8_t kParityNone = 0;
constexpr uint8_t kParityOdd = 1;
constexpr uint8_t kParityEven = 2;
constexpr uint8_t kParityMark = 3;
constexpr uint8_t kParitySpace = 4;

// A device has no code for mark and space parity: those give nothing.
std::optional<uint16_t> ParityNaKodUrzadzenia(TParity A_Parity);
std::optional<TParity> KodUrzadzeniaNaParity(int A_Kod);
uint8_t ParityNaKodPliku(TParity A_Parity);
std::optional<TParity> KodPlikuNaParity(int A_Kod);
// "N", "O", "E", "M" or "S".
QString ParityLitera(TParity A_Parity);

// ---------------------------------------------------------------------------
// Frames

// The frame length field: bytes 3 and 4 of every frame, high byte first.
constexpr int kPoleDlugosci = 3;
inline uint16_t DlugoscRamki(const uint8_t *A_Ramka)
{
    return static_cast<uint16_t>(A_Ramka[kPoleDlugosci] << 8 | A_Ramka[kPoleDlugosci + 1]);
}

// Where a measurement reply keeps its readings, by its frame length. The
// readings are 16-bit, high byte first, in tenths.
struct TUkladPomiaru
{
    uint8_t Dlugosc;
    int Temperatura;
    int Wilgotnosc; // -1: the device measures temperature only
    int Status;
    int Tryb;
};

constexpr uint8_t kPomiarTemperatura = 11; // temperature only (FWT)
constexpr uint8_t kPomiarWilgotnosc = 13;  // humidity and temperature
constexpr uint8_t kPomiarDlugi = 15;       // the same with two more data bytes

constexpr std::array<TUkladPomiaru, 3> kUkladyPomiaru{{
    {kPomiarTemperatura, 5, -1, 7, 8},
    {kPomiarWilgotnosc, 7, 5, 9, 10},
    {kPomiarDlugi, 7, 5, 9, 10},
}};

// The layout of a measurement frame of this length; null for a frame of
// another shape.
const TUkladPomiaru *UkladPomiaru(int A_DlugoscRamki);

// The identification reply's data, offsets from its first data byte. Its two
// multi-byte numbers come low byte first, the device's memory order.
namespace IdOffsets {
constexpr int DevType = 0;
constexpr int DevTypeDetails = 1;
constexpr int SerialNumber = 2; // 2 bytes
constexpr int Year = 4;
constexpr int Month = 5;
constexpr int Day = 6;
constexpr int Version = 7;      // 4 characters
constexpr int VersionSize = 4;
constexpr int MakerSerial = 11; // 4 bytes
constexpr int Reserved1 = 15;
constexpr int Reserved2 = 16;
constexpr int DataSize = 17;
} // namespace IdOffsets
