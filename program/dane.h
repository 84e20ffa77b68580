// Program parameters, their file "set_monitor.dat", the main window's
// placement section of "fen_mon.ini" and the program's version text.
// No widgets here: tools and tests link this unit on its own.
#pragma once

#include "dn_comport.h"
#include "dn_urzadzenia.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <array>

// The service window always talks to a device at its service address and
// speed (kAdresSerwis, kPredkoscSerwis), whatever the file says.

// Communication settings of the monitored transmitter. The fields nobody sets
// or reads are kept only so that a load and a save carry them through.
struct TTransmitParams
{
    quint8 ComNum = 0;           // 1 to 8 for COM1 to COM8
    qint32 Stop_Bits = 0;        // carried through
    qint32 data_Bits = 0;        // carried through
    quint8 Parity = kParityNone; // kParityNone .. kParitySpace, kept as stored
    qint32 ProtoCol = 0;         // carried through
    qint32 Repeat_Cnt = 0;       // carried through
    qint32 Repeat_Delay = 0;     // carried through
    qint32 TimeOut = 0;          // carried through
    quint8 adresRS485_serwis = 0;
    quint8 adresRS485 = 0;
    qint32 Predkosc = 0;         // bits per second
    quint16 predkosc_Serwis = 0; // bits per second
};

constexpr int kRezerwaSize = 488;

struct TParametryProgramu
{
    TTransmitParams trans;
    qint32 temp_od = 0;     // temperature axis, degrees
    qint32 temp_do = 0;
    quint8 wilg_od = 0;     // humidity axis, percent
    quint8 wilg_do = 0;
    qint32 ile_probek = 0;  // samples kept on the chart
    bool FwdlTransp = false;
    qint32 FwdlPredk = 0;
    qint32 FwdlAdres = 0;
    std::array<quint8, kRezerwaSize> rezerwa{}; // carried through
};

extern TParametryProgramu V_ParametryProgramu;

// The parameter file: one little-endian record. The program keeps it in its
// working directory under this name.
inline constexpr char kParamFileName[] = "set_monitor.dat";
constexpr int kParamRecordSize = 555;

// V_ParametryProgramu from and to the parameter file A_FileName.
// True when the whole record was read; a short or unreadable file leaves the
// parameters in memory as they were. The service address and speed are forced
// in every case.
bool LoadTransParams(const QString &A_FileName);
// True when the record reached the disk; the old file stays whole otherwise.
bool SaveTransParams(const QString &A_FileName);
void SetTransmitParams(TTransmitParams &A_Params, int A_Port, int A_Predk, int A_Adres,
                       int A_Parzyst);
// Defaults into V_ParametryProgramu (in memory only).
void UstawDomyslne();
// "major.build", e.g. "1.65" for version 1.3.0.65.
QString GetBuildInfo();

// The record's file image and back. ParametryFromBytes accepts only a whole
// record (exactly kParamRecordSize bytes) and leaves A_Params alone otherwise.
QByteArray ParametryToBytes(const TParametryProgramu &A_Params);
bool ParametryFromBytes(const QByteArray &A_Bytes, TParametryProgramu &A_Params);
// The same as LoadTransParams/SaveTransParams for any file and record, without
// forcing the service values.
bool LoadParamsFile(const QString &A_FileName, TParametryProgramu &A_Params);
bool SaveParamsFile(const QString &A_FileName, const TParametryProgramu &A_Params);

// The main window's placement and its hidden option values, section "main" of
// "fen_mon.ini". The placement values stay in the text form the file holds
// (empty when the key is missing); the options start at the window's design
// values and are changed only by keys present in the file.
struct TMainPlacement
{
    QString Flags;
    QString ShowCmd;
    QString MinMaxPos; // "%d,%d,%d,%d"
    QString NormPos;   // "%d,%d,%d,%d"
    bool Rs485Mode_Checked = true;
    QString RtsSleepAfter_Text = QStringLiteral("0");
    QString RtsSleepBefore_Text = QStringLiteral("0");
    bool RtsSwitch_Checked = false;
    bool cb_AddBits_Checked = false;
};

// The same file that maps the COM numbers to devices.
inline constexpr const char *kPlacementFileName = kComMapFileName;
inline constexpr char kPlacementSection[] = "main";

// True when the file could be read (a missing file or section is not an error
// for the caller: A_Placement then keeps what it held).
bool LoadMainPlacement(TMainPlacement &A_Placement, const QString &A_FileName);
// Rewrites only the keys of section "main" whose value changed; every other
// line of the file is kept as it stands. True when the file was written.
bool SaveMainPlacement(const TMainPlacement &A_Placement, const QString &A_FileName);

// Where the program keeps its two files.
struct TPlikiProgramu
{
    QString Parametry = QString::fromLatin1(kParamFileName);
    QString Ini = QString::fromLatin1(kPlacementFileName);
};

// Maps "COMn" to A_Device in section [ports] of A_FileName (the by-id name
// of an adapter, so that the mapping survives another USB socket). Only
// that key's line changes, or a line is added; every other line of the file
// stays byte for byte. False, with the file as it was, for a COM number
// outside 1 to 8, a name the map cannot hold, or a failed write.
bool SaveComPortMapping(int A_ComNum, const QString &A_Device, const QString &A_FileName);

// A save writes its new file under the file's own name and this suffix,
// then renames it over the file. A program killed between the two leaves
// that file; the next start removes it (and only it) with
// RemoveSaveLeftovers. Returns how many files went.
inline constexpr char kSaveStagingSuffix[] = ".fenwire-new";
int RemoveSaveLeftovers(const QString &A_FileName);

// The four numbers of "MinMaxPos"/"NormPos". ParsePlacementPos is false (and
// leaves A_Pos alone) unless the text holds exactly four integers.
bool ParsePlacementPos(const QString &A_Text, std::array<int, 4> &A_Pos);
QString FormatPlacementPos(const std::array<int, 4> &A_Pos);
// A boolean as an INI file may hold it: "1"/"0" (any integer), "True"/"False".
// False when the text is neither.
bool ParseIniBool(const QString &A_Text, bool &A_Value);

// The recording of readings, section [recording] of "fen_mon.ini": whether
// the monitor records, and where. A relative folder is taken from the
// parameter file's folder.
struct TUstawieniaZapisu
{
    bool Record = false;
    QString Folder;  // empty: kDefaultRecordingFolder
};

inline constexpr char kRecordingSection[] = "recording";
inline constexpr char kDefaultRecordingFolder[] = "recordings";

// A missing file, section or key leaves A_Ustawienia as it was; false only
// when the file is there and cannot be read.
bool LoadRecordingSettings(TUstawieniaZapisu &A_Ustawienia, const QString &A_FileName);
// Writes the keys "Record" and "Folder" of [recording] where they changed,
// every other line of the file byte for byte. False, with the file as it
// was, for a folder that would not read back as written, or a failed write.
bool SaveRecordingSettings(const TUstawieniaZapisu &A_Ustawienia, const QString &A_FileName);
// The folder the readings go to, as an absolute path.
QString RecordingFolder(const TUstawieniaZapisu &A_Ustawienia, const QString &A_ParamFile);
