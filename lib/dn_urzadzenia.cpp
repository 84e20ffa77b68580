#include "dn_urzadzenia.h"

#include <algorithm>

bool JestPredkosciaNadajnika(int A_Predkosc)
{
    return std::find(kPredkosciNadajnika.begin(), kPredkosciNadajnika.end(), A_Predkosc)
        != kPredkosciNadajnika.end();
}

std::optional<uint8_t> PredkoscNaBajt(int A_Predkosc)
{
    constexpr int kByteMax = 0xFF;
    if (A_Predkosc <= 0 || A_Predkosc % kBaudByteStep != 0 || A_Predkosc / kBaudByteStep > kByteMax)
        return std::nullopt;
    return static_cast<uint8_t>(A_Predkosc / kBaudByteStep);
}

TRodzajUrzadzenia RodzajUrzadzenia(uint8_t A_Typ, uint8_t A_Wariant)
{
    switch (A_Typ) {
    case DT_FWTH: return A_Wariant == kFwth02Variant ? TRodzajUrzadzenia::FWTH02 : TRodzajUrzadzenia::FWTH01;
    case DT_FWT: return A_Wariant == kFwt02Variant ? TRodzajUrzadzenia::FWT02 : TRodzajUrzadzenia::FWT01;
    case DT_FWADC: return TRodzajUrzadzenia::FWADC01;
    case DT_PROGRAMMER: return TRodzajUrzadzenia::Programator;
    case DT_GENERIC: return TRodzajUrzadzenia::Ogolny;
    default: return TRodzajUrzadzenia::Nieznany;
    }
}

bool WymagaTrybuSerwisowego(uint8_t A_Typ, uint8_t A_Wariant)
{
    return RodzajUrzadzenia(A_Typ, A_Wariant) == TRodzajUrzadzenia::FWTH01;
}

bool PokazujeIdentyfikacje(uint8_t A_Typ, uint8_t A_Wariant)
{
    switch (RodzajUrzadzenia(A_Typ, A_Wariant)) {
    case TRodzajUrzadzenia::FWTH02:
    case TRodzajUrzadzenia::FWT01:
    case TRodzajUrzadzenia::FWT02:
    case TRodzajUrzadzenia::FWADC01:
    case TRodzajUrzadzenia::Ogolny:
        return true;
    case TRodzajUrzadzenia::FWTH01:
    case TRodzajUrzadzenia::Programator:
    case TRodzajUrzadzenia::Nieznany:
        return false;
    }
    return false;
}

bool PodajeNumerIDate(uint8_t A_Typ, uint8_t A_Wariant)
{
    return A_Typ == DT_FWTH && A_Wariant == kFwth01Variant;
}

bool JestModulemAdc(uint8_t A_Typ)
{
    return A_Typ == DT_FWADC;
}

bool PrzyjmujeParametry(uint8_t A_Typ, uint8_t A_Wariant)
{
    // The FWTH-01 as well as every device that shows its identity at once.
    return WymagaTrybuSerwisowego(A_Typ, A_Wariant) || PokazujeIdentyfikacje(A_Typ, A_Wariant);
}

std::optional<uint16_t> ParityNaKodUrzadzenia(TParity A_Parity)
{
    switch (A_Parity) {
    case TParity::None: return PC_NONE;
    case TParity::Odd: return PC_ODD;
    case TParity::Even: return PC_EVEN;
    case TParity::Mark:
    case TParity::Space: return std::nullopt;
    }
    return std::nullopt;
}

std::optional<TParity> KodUrzadzeniaNaParity(int A_Kod)
{
    switch (A_Kod) {
    case PC_NONE: return TParity::None;
    case PC_ODD: return TParity::Odd;
    case PC_EVEN: return TParity::Even;
    default: return std::nullopt;
    }
}

uint8_t ParityNaKodPliku(TParity A_Parity)
{
    switch (A_Parity) {
    case TParity::None: return kParityNone;
    case TParity::Odd: return kParityOdd;
    case TParity::Even: return kParityEven;
    case TParity::Mark: return kParityMark;
    case TParity::Space: return kParitySpace;
    }
    return kParityNone;
}

std::optional<TParity> KodPlikuNaParity(int A_Kod)
{
    switch (A_Kod) {
    case kParityNone: return TParity::None;
    case kParityOdd: return TParity::Odd;
    case kParityEven: return TParity::Even;
    case kParityMark: return TParity::Mark;
    case kParitySpace: return TParity::Space;
    default: return std::nullopt;
    }
}

QString ParityLitera(TParity A_Parity)
{
    switch (A_Parity) {
    case TParity::None: return QStringLiteral("N");
    case TParity::Odd: return QStringLiteral("O");
    case TParity::Even: return QStringLiteral("E");
    case TParity::Mark: return QStringLiteral("M");
    case TParity::Space: return QStringLiteral("S");
    }
    return QString();
}

const TUkladPomiaru *UkladPomiaru(int A_DlugoscRamki)
{
    for (const TUkladPomiaru &u : kUkladyPomiaru) {
        if (u.Dlugosc == A_DlugoscRamki)
            return &u;
    }
    return nullptr;
}
