#include "dane.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cstdio>
#include <optional>
#include <vector>

TParametryProgramu V_ParametryProgramu;

namespace {

// Where each field lies in "set_monitor.dat". The layout is that of the
// record as the first releases wrote it from memory (a packed record around
// a naturally aligned nested one), so the gaps 1-3, 13-15, 34-35 and 42-43
// are alignment padding: written as zero, ignored on reading.
constexpr int kOffComNum = 0;
constexpr int kOffStopBits = 4;
constexpr int kOffDataBits = 8;
constexpr int kOffParity = 12;
constexpr int kOffProtoCol = 16;
constexpr int kOffRepeatCnt = 20;
constexpr int kOffRepeatDelay = 24;
constexpr int kOffTimeOut = 28;
constexpr int kOffAdresSerwis = 32;
constexpr int kOffAdres = 33;
constexpr int kOffPredkosc = 36;
constexpr int kOffPredkoscSerwis = 40;
constexpr int kOffTempOd = 44;
constexpr int kOffTempDo = 48;
constexpr int kOffWilgOd = 52;
constexpr int kOffWilgDo = 53;
constexpr int kOffIleProbek = 54;
constexpr int kOffFwdlTransp = 58;
constexpr int kOffFwdlPredk = 59;
constexpr int kOffFwdlAdres = 63;
constexpr int kOffRezerwa = 67;
static_assert(kOffRezerwa + kRezerwaSize == kParamRecordSize, "record layout");

// Defaults of a fresh installation: COM1, 9600 baud, no parity, address 1,
// both chart axes 0 to 100, a thousand samples, no FWDL unit.
constexpr int kDefPort = 1;
constexpr int kDefPredkosc = 9600;
constexpr int kDefAdres = 1;
constexpr int kDefParzystosc = kParityNone;
constexpr qint32 kDefTempOd = 0;
constexpr qint32 kDefTempDo = 100;
constexpr quint8 kDefWilgOd = 0;
constexpr quint8 kDefWilgDo = 100;
constexpr qint32 kDefIleProbek = 1000;
constexpr qint32 kDefFwdlPredk = 9600;
constexpr qint32 kDefFwdlAdres = 1;

// Little-endian fields, built byte by byte so that the file does not depend
// on the host's byte order or on how the compiler lays out the structs.
void putU8(QByteArray &A_Buf, int A_Off, quint8 A_Value)
{
    A_Buf[A_Off] = char(A_Value);
}

void putU16(QByteArray &A_Buf, int A_Off, quint16 A_Value)
{
    A_Buf[A_Off] = char(A_Value & 0xFF);
    A_Buf[A_Off + 1] = char((A_Value >> 8) & 0xFF);
}

void putI32(QByteArray &A_Buf, int A_Off, qint32 A_Value)
{
    const quint32 v = quint32(A_Value);
    for (int i = 0; i < 4; ++i)
        A_Buf[A_Off + i] = char((v >> (8 * i)) & 0xFF);
}

quint8 getU8(const QByteArray &A_Buf, int A_Off)
{
    return quint8(A_Buf.at(A_Off));
}

quint16 getU16(const QByteArray &A_Buf, int A_Off)
{
    return quint16(getU8(A_Buf, A_Off) | (getU8(A_Buf, A_Off + 1) << 8));
}

qint32 getI32(const QByteArray &A_Buf, int A_Off)
{
    quint32 v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | getU8(A_Buf, A_Off + i);
    return qint32(v);
}

// The file a save replaces: the target of a link rather than the link, so
// that a parameter file kept elsewhere through a link stays where it is.
QString saveTarget(const QString &A_FileName)
{
    const QFileInfo info(A_FileName);
    const QString resolved = info.canonicalFilePath();
    return resolved.isEmpty() ? info.absoluteFilePath() : resolved;
}

// The new content goes to a temporary file renamed over the old one only
// when complete, so a crash or a full disk leaves the previous file whole.
// The explicit flush matters: QSaveFile::commit() of Qt 6.4 reports success
// after a write the disk cut short.
//
// QSaveFile alone would replace an existing file through a name of its own
// choosing ("set_monitor.dat.XXXXXX", random letters): a kill between its
// link and its rename leaves that file behind for good, and nobody can tell
// it from a copy the user made. So it writes a file of a name that is ours
// alone (which it can link without a second name, as the file is new), and
// that goes over the old one in one rename; a leftover of it is removed at
// the next start (RemoveSaveLeftovers).
bool writeWhole(const QString &A_FileName, const QByteArray &A_Bytes)
{
#if defined(Q_OS_UNIX)
    const QString target = saveTarget(A_FileName);
    const QString staged = target + QLatin1String(kSaveStagingSuffix);
    QFile::remove(staged);
    QSaveFile file(staged);
#else
    QSaveFile file(A_FileName);
#endif
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(A_Bytes) != A_Bytes.size() || !file.flush() || file.size() != A_Bytes.size())
        return false; // the temporary file is discarded
    if (!file.commit())
        return false;
#if defined(Q_OS_UNIX)
    // The new file keeps the old one's access rights, as QSaveFile would
    // have kept them.
    if (QFile::exists(target))
        QFile::setPermissions(staged, QFile::permissions(target));
    if (std::rename(QFile::encodeName(staged).constData(), QFile::encodeName(target).constData()) != 0) {
        QFile::remove(staged);
        return false;
    }
#endif
    return true;
}

void forceServiceValues(TTransmitParams &A_Params)
{
    A_Params.adresRS485_serwis = kAdresSerwis;
    A_Params.predkosc_Serwis = kPredkoscSerwis;
}

} // namespace

QByteArray ParametryToBytes(const TParametryProgramu &A_Params)
{
    QByteArray buf(kParamRecordSize, '\0');
    const TTransmitParams &t = A_Params.trans;
    putU8(buf, kOffComNum, t.ComNum);
    putI32(buf, kOffStopBits, t.Stop_Bits);
    putI32(buf, kOffDataBits, t.data_Bits);
    putU8(buf, kOffParity, t.Parity);
    putI32(buf, kOffProtoCol, t.ProtoCol);
    putI32(buf, kOffRepeatCnt, t.Repeat_Cnt);
    putI32(buf, kOffRepeatDelay, t.Repeat_Delay);
    putI32(buf, kOffTimeOut, t.TimeOut);
    putU8(buf, kOffAdresSerwis, t.adresRS485_serwis);
    putU8(buf, kOffAdres, t.adresRS485);
    putI32(buf, kOffPredkosc, t.Predkosc);
    putU16(buf, kOffPredkoscSerwis, t.predkosc_Serwis);
    putI32(buf, kOffTempOd, A_Params.temp_od);
    putI32(buf, kOffTempDo, A_Params.temp_do);
    putU8(buf, kOffWilgOd, A_Params.wilg_od);
    putU8(buf, kOffWilgDo, A_Params.wilg_do);
    putI32(buf, kOffIleProbek, A_Params.ile_probek);
    putU8(buf, kOffFwdlTransp, A_Params.FwdlTransp ? 1 : 0);
    putI32(buf, kOffFwdlPredk, A_Params.FwdlPredk);
    putI32(buf, kOffFwdlAdres, A_Params.FwdlAdres);
    for (int i = 0; i < kRezerwaSize; ++i)
        putU8(buf, kOffRezerwa + i, A_Params.rezerwa[std::size_t(i)]);
    return buf;
}

bool ParametryFromBytes(const QByteArray &A_Bytes, TParametryProgramu &A_Params)
{
    if (A_Bytes.size() != kParamRecordSize)
        return false;
    TParametryProgramu p;
    TTransmitParams &t = p.trans;
    t.ComNum = getU8(A_Bytes, kOffComNum);
    t.Stop_Bits = getI32(A_Bytes, kOffStopBits);
    t.data_Bits = getI32(A_Bytes, kOffDataBits);
    t.Parity = getU8(A_Bytes, kOffParity);
    t.ProtoCol = getI32(A_Bytes, kOffProtoCol);
    t.Repeat_Cnt = getI32(A_Bytes, kOffRepeatCnt);
    t.Repeat_Delay = getI32(A_Bytes, kOffRepeatDelay);
    t.TimeOut = getI32(A_Bytes, kOffTimeOut);
    t.adresRS485_serwis = getU8(A_Bytes, kOffAdresSerwis);
    t.adresRS485 = getU8(A_Bytes, kOffAdres);
    t.Predkosc = getI32(A_Bytes, kOffPredkosc);
    t.predkosc_Serwis = getU16(A_Bytes, kOffPredkoscSerwis);
    p.temp_od = getI32(A_Bytes, kOffTempOd);
    p.temp_do = getI32(A_Bytes, kOffTempDo);
    p.wilg_od = getU8(A_Bytes, kOffWilgOd);
    p.wilg_do = getU8(A_Bytes, kOffWilgDo);
    p.ile_probek = getI32(A_Bytes, kOffIleProbek);
    // Any byte other than 0 counts as true, as a boolean read from memory would.
    p.FwdlTransp = getU8(A_Bytes, kOffFwdlTransp) != 0;
    p.FwdlPredk = getI32(A_Bytes, kOffFwdlPredk);
    p.FwdlAdres = getI32(A_Bytes, kOffFwdlAdres);
    for (int i = 0; i < kRezerwaSize; ++i)
        p.rezerwa[std::size_t(i)] = getU8(A_Bytes, kOffRezerwa + i);
    A_Params = p;
    return true;
}

bool LoadParamsFile(const QString &A_FileName, TParametryProgramu &A_Params)
{
    QFile file(A_FileName);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // Only the first record counts; anything after it is not ours to judge.
    const QByteArray bytes = file.read(kParamRecordSize);
    return ParametryFromBytes(bytes, A_Params);
}

bool SaveParamsFile(const QString &A_FileName, const TParametryProgramu &A_Params)
{
    return writeWhole(A_FileName, ParametryToBytes(A_Params));
}

bool LoadTransParams(const QString &A_FileName)
{
    // A short or damaged file must not leave half a record behind: it is read
    // into a temporary and adopted only whole.
    TParametryProgramu loaded = V_ParametryProgramu;
    const bool ok = LoadParamsFile(A_FileName, loaded);
    if (ok)
        V_ParametryProgramu = loaded;
    forceServiceValues(V_ParametryProgramu.trans);
    return ok;
}

bool SaveTransParams(const QString &A_FileName)
{
    return SaveParamsFile(A_FileName, V_ParametryProgramu);
}

void SetTransmitParams(TTransmitParams &A_Params, int A_Port, int A_Predk, int A_Adres,
                       int A_Parzyst)
{
    A_Params.ComNum = quint8(A_Port & 0xFF);
    A_Params.Predkosc = A_Predk;
    A_Params.adresRS485 = quint8(A_Adres & 0xFF);
    A_Params.Parity = quint8(A_Parzyst & 0xFF);
    forceServiceValues(A_Params);
}

void UstawDomyslne()
{
    TParametryProgramu &p = V_ParametryProgramu;
    SetTransmitParams(p.trans, kDefPort, kDefPredkosc, kDefAdres, kDefParzystosc);
    p.temp_od = kDefTempOd;
    p.temp_do = kDefTempDo;
    p.wilg_od = kDefWilgOd;
    p.wilg_do = kDefWilgDo;
    p.ile_probek = kDefIleProbek;
    p.FwdlTransp = false;
    p.FwdlPredk = kDefFwdlPredk;
    p.FwdlAdres = kDefFwdlAdres;
}

QString GetBuildInfo()
{
#if defined(FENWIRE_VERSION_MAJOR) && defined(FENWIRE_VERSION_BUILD)
    // The caption shows the major version and the build number only: the
    // maker counts builds across minor releases.
    return QString::asprintf("%d.%2.2d", int(FENWIRE_VERSION_MAJOR) & 0xFFFF,
                             int(FENWIRE_VERSION_BUILD) & 0xFFFF);
#else
    return QString();
#endif
}

// ---------------------------------------------------------------------------
// The placement section of "fen_mon.ini".

namespace {

constexpr char kKeyFlags[] = "Flags";
constexpr char kKeyShowCmd[] = "ShowCmd";
constexpr char kKeyMinMaxPos[] = "MinMaxPos";
constexpr char kKeyNormPos[] = "NormPos";
constexpr char kKeyRs485Mode[] = "Rs485Mode_Checked";
constexpr char kKeyRtsSleepAfter[] = "RtsSleepAfter_Text";
constexpr char kKeyRtsSleepBefore[] = "RtsSleepBefore_Text";
constexpr char kKeyRtsSwitch[] = "RtsSwitch_Checked";
constexpr char kKeyAddBits[] = "cb_AddBits_Checked";

constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";
constexpr int kPlacementPosCount = 4;

// One line of the file as it stands, with what it means to us.
struct IniLine
{
    QByteArray raw;      // the line without its end-of-line bytes
    QByteArray eol;      // "\r\n", "\n" or empty for a last line without one
    QByteArray section;  // set for a "[section]" line
    QByteArray key;      // set for a "key=value" line
    QByteArray value;    // its value, blanks and quotes removed
    bool isSection = false;
    bool isKey = false;
};

QByteArray unquote(QByteArray A_Value)
{
    A_Value = A_Value.trimmed();
    if (A_Value.size() >= 2) {
        const char first = A_Value.front();
        if ((first == '"' || first == '\'') && A_Value.back() == first)
            return A_Value.mid(1, A_Value.size() - 2);
    }
    return A_Value;
}

std::vector<IniLine> splitIni(const QByteArray &A_Bytes)
{
    std::vector<IniLine> lines;
    qsizetype pos = 0;
    while (pos < A_Bytes.size()) {
        IniLine line;
        qsizetype end = A_Bytes.indexOf('\n', pos);
        if (end < 0) {
            line.raw = A_Bytes.mid(pos);
            pos = A_Bytes.size();
        } else {
            line.raw = A_Bytes.mid(pos, end - pos);
            line.eol = "\n";
            pos = end + 1;
        }
        // CR belongs to a line end only before LF: a lone CR (a file cut
        // short, or one of old Mac line ends) is text, or a line appended
        // after it would be glued to it.
        if (!line.eol.isEmpty() && line.raw.endsWith('\r')) {
            line.raw.chop(1);
            line.eol.prepend('\r');
        }
        QByteArray text = line.raw;
        if (lines.empty() && text.startsWith(kUtf8Bom))
            text.remove(0, int(sizeof(kUtf8Bom) - 1));
        text = text.trimmed();
        if (text.startsWith('[')) {
            const qsizetype close = text.indexOf(']');
            if (close > 0) {
                line.isSection = true;
                line.section = text.mid(1, close - 1).trimmed();
            }
        } else if (!text.startsWith(';') && !text.startsWith('#')) {
            const qsizetype eq = text.indexOf('=');
            if (eq > 0) {
                line.isKey = true;
                line.key = text.left(eq).trimmed();
                line.value = unquote(text.mid(eq + 1));
            }
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

bool sameName(const QByteArray &A_Left, const char *A_Right)
{
    // Section and key names of an INI file do not depend on case.
    return A_Left.compare(A_Right, Qt::CaseInsensitive) == 0;
}

// Lines [begin, end) of the first section A_Section (begin is the header);
// nullopt when the file has no such section.
std::optional<std::pair<std::size_t, std::size_t>>
findSection(const std::vector<IniLine> &A_Lines, const char *A_Section)
{
    for (std::size_t i = 0; i < A_Lines.size(); ++i) {
        if (!A_Lines[i].isSection || !sameName(A_Lines[i].section, A_Section))
            continue;
        std::size_t end = i + 1;
        while (end < A_Lines.size() && !A_Lines[end].isSection)
            ++end;
        return std::make_pair(i, end);
    }
    return std::nullopt;
}

// The first line of the section holding A_Key, as the system's own INI
// reader would find it.
std::optional<std::size_t> findKey(const std::vector<IniLine> &A_Lines, std::size_t A_Begin,
                                   std::size_t A_End, const char *A_Key)
{
    for (std::size_t i = A_Begin + 1; i < A_End; ++i)
        if (A_Lines[i].isKey && sameName(A_Lines[i].key, A_Key))
            return i;
    return std::nullopt;
}

// The line end the file uses (its first one), "\n" for a file without one.
QByteArray fileEol(const std::vector<IniLine> &A_Lines)
{
    for (const IniLine &line : A_Lines)
        if (!line.eol.isEmpty())
            return line.eol;
    return QByteArrayLiteral("\n");
}

// A section header at the end of the file; a last line without its line
// end gets one first.
void appendSection(std::vector<IniLine> &A_Lines, const char *A_Section, const QByteArray &A_Eol)
{
    if (!A_Lines.empty() && A_Lines.back().eol.isEmpty())
        A_Lines.back().eol = A_Eol;
    IniLine header;
    header.raw = QByteArray("[") + A_Section + "]";
    header.eol = A_Eol;
    header.isSection = true;
    header.section = A_Section;
    A_Lines.push_back(header);
}

QByteArray joinIni(const std::vector<IniLine> &A_Lines)
{
    QByteArray out;
    for (const IniLine &line : A_Lines)
        out += line.raw + line.eol;
    return out;
}

bool readIniFile(const QString &A_FileName, QByteArray &A_Bytes)
{
    QFile file(A_FileName);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    A_Bytes = file.readAll();
    return file.error() == QFileDevice::NoError;
}

// A value to write: the text, and for booleans the value it stands for so
// that "True" in the file is not rewritten as "1" when nothing changed.
struct IniValue
{
    const char *key;
    QString text;
    std::optional<bool> flag;
};

QByteArray boolText(bool A_Value, const QByteArray &A_OldText)
{
    // Keep the file's own spelling when it had one in words.
    const bool words = !A_OldText.isEmpty() && QChar::fromLatin1(A_OldText.front()).isLetter();
    if (words)
        return A_Value ? QByteArrayLiteral("True") : QByteArrayLiteral("False");
    return A_Value ? QByteArrayLiteral("1") : QByteArrayLiteral("0");
}

bool unchanged(const IniLine &A_Line, const IniValue &A_Value)
{
    if (A_Value.flag) {
        bool old = false;
        return ParseIniBool(QString::fromUtf8(A_Line.value), old) && old == *A_Value.flag;
    }
    return QString::fromUtf8(A_Line.value) == A_Value.text;
}

QByteArray newValueText(const IniValue &A_Value, const QByteArray &A_OldText)
{
    if (A_Value.flag)
        return boolText(*A_Value.flag, A_OldText);
    return A_Value.text.toUtf8();
}

} // namespace

bool ParseIniBool(const QString &A_Text, bool &A_Value)
{
    const QString text = A_Text.trimmed();
    if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0) {
        A_Value = true;
        return true;
    }
    if (text.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0) {
        A_Value = false;
        return true;
    }
    bool ok = false;
    const long long number = text.toLongLong(&ok);
    if (!ok)
        return false;
    A_Value = number != 0;
    return true;
}

bool ParsePlacementPos(const QString &A_Text, std::array<int, 4> &A_Pos)
{
    const QStringList parts = A_Text.split(QLatin1Char(','));
    if (parts.size() != kPlacementPosCount)
        return false;
    std::array<int, 4> pos{};
    for (int i = 0; i < kPlacementPosCount; ++i) {
        bool ok = false;
        pos[std::size_t(i)] = parts.at(i).trimmed().toInt(&ok);
        if (!ok)
            return false;
    }
    A_Pos = pos;
    return true;
}

QString FormatPlacementPos(const std::array<int, 4> &A_Pos)
{
    return QString::asprintf("%d,%d,%d,%d", A_Pos[0], A_Pos[1], A_Pos[2], A_Pos[3]);
}

bool LoadMainPlacement(TMainPlacement &A_Placement, const QString &A_FileName)
{
    QByteArray bytes;
    if (!readIniFile(A_FileName, bytes))
        return false;
    const std::vector<IniLine> lines = splitIni(bytes);
    const auto section = findSection(lines, kPlacementSection);
    if (!section)
        return true;
    // Plain variables: Clang 14 refuses lambdas that capture structured bindings.
    const std::size_t begin = section->first;
    const std::size_t end = section->second;

    const auto text = [&](const char *key, QString &target) {
        if (const auto at = findKey(lines, begin, end, key))
            target = QString::fromUtf8(lines[*at].value);
    };
    // A value the file holds in a form we cannot read keeps the design value.
    const auto flag = [&](const char *key, bool &target) {
        if (const auto at = findKey(lines, begin, end, key))
            ParseIniBool(QString::fromUtf8(lines[*at].value), target);
    };

    TMainPlacement p = A_Placement;
    text(kKeyFlags, p.Flags);
    text(kKeyShowCmd, p.ShowCmd);
    text(kKeyMinMaxPos, p.MinMaxPos);
    text(kKeyNormPos, p.NormPos);
    flag(kKeyRs485Mode, p.Rs485Mode_Checked);
    text(kKeyRtsSleepAfter, p.RtsSleepAfter_Text);
    text(kKeyRtsSleepBefore, p.RtsSleepBefore_Text);
    flag(kKeyRtsSwitch, p.RtsSwitch_Checked);
    flag(kKeyAddBits, p.cb_AddBits_Checked);
    A_Placement = p;
    return true;
}

namespace {

// Rewrites, in the first section A_Section of an INI file, only the lines of
// the keys in A_Values whose value changed, and adds the missing keys after
// the section's last line (the section at the file's end when it has none).
// Every other line stays byte for byte.
bool saveSectionValues(const QString &A_FileName, const char *A_Section, const std::vector<IniValue> &A_Values)
{
    QByteArray bytes;
    if (QFile::exists(A_FileName) && !readIniFile(A_FileName, bytes))
        return false; // never replace a file we could not read
    std::vector<IniLine> lines = splitIni(bytes);

    const QByteArray eol = fileEol(lines);

    auto section = findSection(lines, A_Section);
    if (!section) {
        appendSection(lines, A_Section, eol);
        section = std::make_pair(lines.size() - 1, lines.size());
    }
    auto [begin, end] = *section;

    // New keys go after the section's last non-blank line, not after the
    // blank lines that separate it from the next section.
    std::size_t insertAt = end;
    while (insertAt > begin + 1 && lines[insertAt - 1].raw.trimmed().isEmpty())
        --insertAt;

    bool changed = false;
    for (const IniValue &value : A_Values) {
        if (const auto at = findKey(lines, begin, end, value.key)) {
            IniLine &line = lines[*at];
            if (unchanged(line, value))
                continue;
            // Keep the key as the file spells it and whatever stood before the '='.
            const qsizetype eq = line.raw.indexOf('=');
            line.raw = line.raw.left(eq + 1) + newValueText(value, line.value);
            line.value = unquote(line.raw.mid(eq + 1));
            changed = true;
            continue;
        }
        IniLine line;
        line.raw = QByteArray(value.key) + '=' + newValueText(value, QByteArray());
        line.eol = eol;
        line.isKey = true;
        line.key = value.key;
        if (insertAt > 0 && lines[insertAt - 1].eol.isEmpty())
            lines[insertAt - 1].eol = eol;
        lines.insert(lines.begin() + std::ptrdiff_t(insertAt), line);
        ++insertAt;
        ++end;
        changed = true;
    }
    if (!changed && findSection(splitIni(bytes), A_Section))
        return true; // the file already says it all; nothing is written

    const QByteArray out = joinIni(lines);

    return writeWhole(A_FileName, out);
}

} // namespace

bool SaveMainPlacement(const TMainPlacement &A_Placement, const QString &A_FileName)
{
    std::vector<IniValue> values;
    // A placement nobody has taken yet is not written as an empty key.
    const auto addText = [&](const char *key, const QString &text) {
        if (!text.isEmpty())
            values.push_back({key, text, std::nullopt});
    };
    addText(kKeyFlags, A_Placement.Flags);
    addText(kKeyShowCmd, A_Placement.ShowCmd);
    addText(kKeyMinMaxPos, A_Placement.MinMaxPos);
    addText(kKeyNormPos, A_Placement.NormPos);
    values.push_back({kKeyRs485Mode, QString(), A_Placement.Rs485Mode_Checked});
    values.push_back({kKeyRtsSleepAfter, A_Placement.RtsSleepAfter_Text, std::nullopt});
    values.push_back({kKeyRtsSleepBefore, A_Placement.RtsSleepBefore_Text, std::nullopt});
    values.push_back({kKeyRtsSwitch, QString(), A_Placement.RtsSwitch_Checked});
    values.push_back({kKeyAddBits, QString(), A_Placement.cb_AddBits_Checked});
    return saveSectionValues(A_FileName, kPlacementSection, values);
}

// ---------------------------------------------------------------------------
// The recording section of "fen_mon.ini".

namespace {

constexpr char kKeyRecord[] = "Record";
constexpr char kKeyFolder[] = "Folder";

} // namespace

bool LoadRecordingSettings(TUstawieniaZapisu &A_Ustawienia, const QString &A_FileName)
{
    QByteArray bytes;
    if (!readIniFile(A_FileName, bytes))
        return false;
    const std::vector<IniLine> lines = splitIni(bytes);
    const auto section = findSection(lines, kRecordingSection);
    if (!section)
        return true;
    const auto [begin, end] = *section;
    if (const auto at = findKey(lines, begin, end, kKeyRecord)) {
        bool on = false;
        if (ParseIniBool(QString::fromUtf8(lines[*at].value), on))
            A_Ustawienia.Record = on;
    }
    if (const auto at = findKey(lines, begin, end, kKeyFolder)) {
        const QString folder = QString::fromUtf8(lines[*at].value);
        if (!folder.isEmpty())
            A_Ustawienia.Folder = folder;
    }
    return true;
}

bool SaveRecordingSettings(const TUstawieniaZapisu &A_Ustawienia, const QString &A_FileName)
{
    if (A_Ustawienia.Folder.isEmpty())
        return saveSectionValues(A_FileName, kRecordingSection, {{kKeyRecord, QString(), A_Ustawienia.Record}});
    if (A_Ustawienia.Folder.contains(QLatin1Char('\n'))
        || A_Ustawienia.Folder.contains(QLatin1Char('\r')) || A_Ustawienia.Folder.trimmed() != A_Ustawienia.Folder)
        return false; // would not read back as written
    return saveSectionValues(A_FileName, kRecordingSection,
                             {{kKeyRecord, QString(), A_Ustawienia.Record},
                              {kKeyFolder, A_Ustawienia.Folder, std::nullopt}});
}

QString RecordingFolder(const TUstawieniaZapisu &A_Ustawienia, const QString &A_ParamFile)
{
    const QString folder = A_Ustawienia.Folder.isEmpty() ? QString::fromLatin1(kDefaultRecordingFolder)
                                                         : A_Ustawienia.Folder;
    return QDir::cleanPath(QFileInfo(A_ParamFile).absoluteDir().absoluteFilePath(folder));
}

// ---------------------------------------------------------------------------
// The COM map of "fen_mon.ini" and what an interrupted save leaves behind.

namespace {

// Whether a device name reads back as written: QSettings, which reads the
// map, would split a value at a comma and take quotes and backslashes as
// its own. No device name needs them (udev replaces such characters).
bool mapsAsWritten(const QString &A_Device)
{
    if (A_Device.isEmpty() || A_Device.trimmed() != A_Device)
        return false;
    for (const QChar c : A_Device) {
        if (c.unicode() < 0x20 || c == QLatin1Char(',') || c == QLatin1Char('"') || c == QLatin1Char('\\')
            || c == QLatin1Char(';'))
            return false;
    }
    return true;
}

} // namespace

bool SaveComPortMapping(int A_ComNum, const QString &A_Device, const QString &A_FileName)
{
    if (A_ComNum < 1 || A_ComNum > kComPortCount || !mapsAsWritten(A_Device))
        return false;
    QByteArray bytes;
    if (QFile::exists(A_FileName) && !readIniFile(A_FileName, bytes))
        return false; // never replace a file we could not read
    std::vector<IniLine> lines = splitIni(bytes);

    const QByteArray eol = fileEol(lines);

    // The line the map is read from, as QSettings reads it: names match
    // exactly, and of a key given twice the last one counts. A new key goes
    // to the end of the first [ports] section.
    const QByteArray key = QByteArray("COM") + QByteArray::number(A_ComNum);
    const QByteArray value = A_Device.toUtf8();
    std::optional<std::size_t> keyAt;
    std::optional<std::size_t> sectionEnd; // of the first [ports] section
    bool inPorts = false;
    bool firstPorts = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].isSection) {
            if (firstPorts)
                sectionEnd = i;
            inPorts = lines[i].section == kComMapSection;
            firstPorts = inPorts && !sectionEnd;
        } else if (inPorts && lines[i].isKey && lines[i].key == key) {
            keyAt = i;
        }
    }
    if (firstPorts)
        sectionEnd = lines.size();

    if (keyAt) {
        IniLine &line = lines[*keyAt];
        if (line.value == value)
            return true; // the file already says it; nothing is written
        // The key as the file spells it, and the blanks around the '='.
        const qsizetype eq = line.raw.indexOf('=');
        qsizetype start = eq + 1;
        while (start < line.raw.size() && (line.raw.at(start) == ' ' || line.raw.at(start) == '\t'))
            ++start;
        line.raw = line.raw.left(start) + value;
        line.value = value;
    } else {
        IniLine line;
        line.raw = key + '=' + value;
        line.eol = eol;
        line.isKey = true;
        line.key = key;
        std::size_t insertAt = lines.size();
        if (sectionEnd) {
            // After the section's last non-blank line, not after the blank
            // lines that part it from the next section.
            insertAt = *sectionEnd;
            while (insertAt > 0 && !lines[insertAt - 1].isSection && lines[insertAt - 1].raw.trimmed().isEmpty())
                --insertAt;
        } else {
            appendSection(lines, kComMapSection, eol);
            insertAt = lines.size();
        }
        if (insertAt > 0 && lines[insertAt - 1].eol.isEmpty())
            lines[insertAt - 1].eol = eol;
        lines.insert(lines.begin() + std::ptrdiff_t(insertAt), line);
    }

    const QByteArray out = joinIni(lines);
    return writeWhole(A_FileName, out);
}

int RemoveSaveLeftovers(const QString &A_FileName)
{
    // Only names that start with the file's own name and our suffix: a copy
    // the user keeps beside the file ("set_monitor.dat.old") is never ours.
    const QFileInfo staged(saveTarget(A_FileName) + QLatin1String(kSaveStagingSuffix));
    QDir dir = staged.absoluteDir();
    int removed = 0;
    if (QFileInfo(staged.absoluteFilePath()).isFile() && QFile::remove(staged.absoluteFilePath()))
        ++removed;
    // QSaveFile's own temporary file where the file system cannot hold an
    // unnamed one: our name and six random characters.
    const QStringList own = dir.entryList({staged.fileName() + QStringLiteral(".??????")},
                                          QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : own) {
        if (QFile::remove(dir.filePath(name)))
            ++removed;
    }
    return removed;
}
