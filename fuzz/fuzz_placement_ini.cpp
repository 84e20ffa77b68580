// The main window's section of "fen_mon.ini": its reader and its writer,
// on files of any content. The writer must keep every line outside the keys
// it writes byte for byte: the file is shared with the [ports] map and with
// whatever a technician keeps there.
//
// Script: u8 what (bit 0: no file at all; bits 1-6: which values the
// window changes), u8 the three check boxes, u16 and u16 numbers for the new
// values; the rest is the file.
#include "dane.h"
#include "fuzz_checks.h"

#include <QtCore/QFile>
#include <array>

namespace {

constexpr uint8_t kNoFile = 0x01;
constexpr uint8_t kNewFlags = 0x02;
constexpr uint8_t kNewShowCmd = 0x04;
constexpr uint8_t kNewMinMaxPos = 0x08;
constexpr uint8_t kNewNormPos = 0x10;
constexpr uint8_t kNewChecks = 0x20;
constexpr uint8_t kNewRtsTexts = 0x40;

constexpr std::array<const char *, 9> kKeys{"Flags",          "ShowCmd",           "MinMaxPos",
                                            "NormPos",        "Rs485Mode_Checked", "RtsSleepAfter_Text",
                                            "RtsSleepBefore_Text", "RtsSwitch_Checked", "cb_AddBits_Checked"};
constexpr char kBom[] = "\xEF\xBB\xBF";

struct Line
{
    QByteArray text; // without its end of line
    QByteArray eol;  // "\n", "\r\n", or empty for a last line without one
    QByteArray whole() const { return text + eol; }
};

std::vector<Line> splitLines(const QByteArray &bytes)
{
    std::vector<Line> lines;
    qsizetype pos = 0;
    while (pos < bytes.size()) {
        const qsizetype nl = bytes.indexOf('\n', pos);
        Line line;
        line.text = nl < 0 ? bytes.mid(pos) : bytes.mid(pos, nl - pos);
        if (nl >= 0) {
            line.eol = "\n";
            if (line.text.endsWith('\r')) {
                line.text.chop(1);
                line.eol.prepend('\r');
            }
        }
        pos = nl < 0 ? bytes.size() : nl + 1;
        lines.push_back(line);
    }
    return lines;
}

QByteArray meaning(const QByteArray &text, bool first)
{
    return (first && text.startsWith(kBom) ? text.mid(3) : text).trimmed();
}

// A "[name]" line, and the section it opens.
bool isSection(const QByteArray &text, bool first)
{
    const QByteArray t = meaning(text, first);
    return t.startsWith('[') && t.indexOf(']') > 0;
}

bool opensMain(const QByteArray &text, bool first)
{
    const QByteArray t = meaning(text, first);
    return isSection(text, first) && t.mid(1, t.indexOf(']') - 1).trimmed().compare("main", Qt::CaseInsensitive) == 0;
}

bool isOurKey(const QByteArray &key)
{
    for (const char *k : kKeys)
        if (key.compare(k, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

// The part up to and with the '=' of a line holding one of the window's keys;
// empty for any other line.
QByteArray keyPrefix(const QByteArray &text, bool first)
{
    const QByteArray t = meaning(text, first);
    if (t.startsWith(';') || t.startsWith('#') || t.startsWith('['))
        return QByteArray();
    const qsizetype eq = t.indexOf('=');
    if (eq <= 0 || !isOurKey(t.left(eq).trimmed()))
        return QByteArray();
    return text.left(text.indexOf('=') + 1);
}

// Every line of the old file is in the new one, in its order, as it stood,
// but for the value of one of the window's keys in the first [main]
// section; the lines added are the window's keys there, or that section.
void checkKeptLines(const QByteArray &oldBytes, const QByteArray &newBytes)
{
    const std::vector<Line> o = splitLines(oldBytes);
    const std::vector<Line> n = splitLines(newBytes);
    size_t i = 0;
    size_t j = 0;
    bool inFirstMain = false;
    bool mainSeen = false;
    bool addedMain = false;
    const auto mayAdd = [&](const Line &line) {
        if (line.text == "[main]" && !mainSeen && i == o.size() && !addedMain) {
            addedMain = true;
            return true;
        }
        const qsizetype eq = line.text.indexOf('=');
        return (inFirstMain || addedMain) && eq > 0 && isOurKey(line.text.left(eq));
    };
    const auto where = [&] {
        return QStringLiteral("old line %1 \"%2\", new line %3 \"%4\"")
            .arg(i + 1)
            .arg(i < o.size() ? QString::fromLatin1(o[i].text.left(80).toHex(' ')) : QString())
            .arg(j + 1)
            .arg(j < n.size() ? QString::fromLatin1(n[j].text.left(80).toHex(' ')) : QString());
    };
    while (i < o.size() && j < n.size()) {
        const Line &old = o[i];
        const bool first = i == 0;
        const QByteArray prefix = keyPrefix(old.text, first);
        // A last line without an end of line gains one when lines follow it.
        const bool last = old.eol.isEmpty() && i + 1 == o.size();
        const bool same = n[j].whole() == old.whole();
        const bool gained = last && (n[j].whole() == old.text + "\n" || n[j].whole() == old.text + "\r\n");
        const bool rewritten = inFirstMain && !prefix.isEmpty() && n[j].text.startsWith(prefix)
            && (n[j].eol == old.eol || last);
        if (same || gained || rewritten) {
            if (isSection(old.text, first)) {
                const bool main = opensMain(old.text, first);
                inFirstMain = main && !mainSeen;
                mainSeen = mainSeen || main;
            }
            ++i;
            ++j;
            continue;
        }
        FUZZ_CHECK(mayAdd(n[j]), QStringLiteral("a line was changed or added: %1").arg(where()));
        ++j;
    }
    FUZZ_CHECK(i == o.size(), QStringLiteral("lines were lost: %1").arg(where()));
    for (; j < n.size(); ++j)
        FUZZ_CHECK(mayAdd(n[j]), QStringLiteral("a line was added at the end: %1").arg(where()));
}

bool samePlacement(const TMainPlacement &a, const TMainPlacement &b)
{
    return a.Flags == b.Flags && a.ShowCmd == b.ShowCmd && a.MinMaxPos == b.MinMaxPos && a.NormPos == b.NormPos
        && a.Rs485Mode_Checked == b.Rs485Mode_Checked && a.RtsSleepAfter_Text == b.RtsSleepAfter_Text
        && a.RtsSleepBefore_Text == b.RtsSleepBefore_Text && a.RtsSwitch_Checked == b.RtsSwitch_Checked
        && a.cb_AddBits_Checked == b.cb_AddBits_Checked;
}

QString describe(const TMainPlacement &p)
{
    return QStringList{p.Flags, p.ShowCmd, p.MinMaxPos, p.NormPos, QString::number(p.Rs485Mode_Checked),
                       p.RtsSleepAfter_Text, p.RtsSleepBefore_Text, QString::number(p.RtsSwitch_Checked),
                       QString::number(p.cb_AddBits_Checked)}
        .join(QStringLiteral(" | "));
}

QByteArray readFile(const QString &name)
{
    QFile f(name);
    FUZZ_CHECK(f.open(QIODevice::ReadOnly), QStringLiteral("cannot read back %1").arg(name));
    return f.readAll();
}

// A placement text as the file holds it: two positions that read back as
// the four numbers they were written from.
void checkPosition(const QString &text)
{
    std::array<int, 4> pos{};
    if (!ParsePlacementPos(text, pos))
        return;
    std::array<int, 4> again{};
    FUZZ_CHECK(ParsePlacementPos(FormatPlacementPos(pos), again) && again == pos,
               QStringLiteral("the position %1 does not read back").arg(text));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    LineScript script(data, size);
    const uint8_t what = script.u8();
    const uint8_t checks = script.u8();
    const uint16_t a = script.u16();
    const uint16_t b = script.u16();
    const QByteArray original = script.rest();

    const QString name = FuzzTempPath(QStringLiteral("fen_mon.ini"));
    QFile::remove(name);
    const bool haveFile = !(what & kNoFile);
    if (haveFile) {
        QFile f(name);
        FUZZ_CHECK(f.open(QIODevice::WriteOnly) && f.write(original) == original.size(),
                   QStringLiteral("cannot write the file"));
    }

    // The window's design values stay where the file says nothing readable.
    TMainPlacement p;
    const TMainPlacement design = p;
    FUZZ_CHECK(LoadMainPlacement(p, name) == haveFile, QStringLiteral("the load reported the wrong outcome"));
    if (!haveFile)
        FUZZ_CHECK(samePlacement(p, design), QStringLiteral("no file, yet the values changed"));
    checkPosition(p.MinMaxPos);
    checkPosition(p.NormPos);

    // What the window stores when it closes.
    if (what & kNewFlags)
        p.Flags = QString::number(a % 4);
    if (what & kNewShowCmd)
        p.ShowCmd = QString::number(1 + (b & 1));
    if (what & kNewMinMaxPos)
        p.MinMaxPos = QStringLiteral("-1,-1,-1,-1");
    if (what & kNewNormPos)
        p.NormPos = FormatPlacementPos({int16_t(a), int16_t(b), int16_t(a) + 800, int16_t(b) + 600});
    if (what & kNewChecks) {
        p.Rs485Mode_Checked = checks & 1;
        p.RtsSwitch_Checked = checks & 2;
        p.cb_AddBits_Checked = checks & 4;
    }
    if (what & kNewRtsTexts) {
        p.RtsSleepAfter_Text = QString::number(a);
        p.RtsSleepBefore_Text = QString::number(b);
    }

    FUZZ_CHECK(SaveMainPlacement(p, name), QStringLiteral("the save failed"));
    const QByteArray saved = readFile(name);
    TMainPlacement back;
    FUZZ_CHECK(LoadMainPlacement(back, name) && samePlacement(back, p),
               QStringLiteral("saved %1\nread back %2").arg(describe(p), describe(back)));
    checkKeptLines(haveFile ? original : QByteArray(), saved);

    // Nothing changed, nothing written differently.
    FUZZ_CHECK(SaveMainPlacement(back, name), QStringLiteral("the second save failed"));
    const QByteArray again = readFile(name);
    FUZZ_CHECK(again == saved, QStringLiteral("a save of the same values changed the file:\n%1\n%2")
                                   .arg(QString::fromLatin1(saved.toHex(' ')), QString::fromLatin1(again.toHex(' '))));
    return 0;
}
