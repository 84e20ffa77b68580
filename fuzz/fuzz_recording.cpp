// The recording's files as a disk may hand them back: any bytes as a day
// file read for the history, as a line of it, and as the fen_mon.ini whose
// [recording] section the monitor reads and writes.
//
// Script: u8 how many readings the history asks for, u8 what the settings
// writer is given (bit 0: recording on; bit 1: a folder), then the bytes.
#include "dane.h"
#include "fuzz_checks.h"
#include "line_script.h"
#include "zapis.h"

#include <QtCore/QDir>
#include <QtCore/QFile>

namespace {

QByteArray readFile(const QString &name)
{
    QFile f(name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString &name, const QByteArray &bytes)
{
    QFile f(name);
    FUZZ_CHECK(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size(), QStringLiteral("cannot write %1").arg(name));
}

// A reading read back is one a line can hold again, and that line reads
// back as the same reading.
void checkRoundTrip(const TProbka &p)
{
    const QByteArray line = LiniaZapisu(p);
    FUZZ_CHECK(line.endsWith('\n') && line.count('\n') == 1, QStringLiteral("line %1").arg(Hex(line)));
    const std::optional<TProbka> again = CzytajLinieZapisu(line);
    FUZZ_CHECK(again, QStringLiteral("written line does not read back: %1").arg(Hex(line)));
    FUZZ_CHECK(LiniaZapisu(*again) == line, QStringLiteral("line changes when read and written again: %1").arg(Hex(line)));
    FUZZ_CHECK(again->Udany() == p.Udany(), QStringLiteral("success changed: %1").arg(Hex(line)));
}

// The old file's lines, outside the keys the writer owns, are in the new
// one in their order.
void checkKeptLines(const QByteArray &oldBytes, const QByteArray &newBytes)
{
    const QList<QByteArray> o = oldBytes.split('\n');
    const QList<QByteArray> n = newBytes.split('\n');
    qsizetype j = 0;
    for (qsizetype i = 0; i < o.size(); ++i) {
        const QByteArray t = o[i].trimmed();
        const qsizetype eq = t.indexOf('=');
        const QByteArray key = eq > 0 ? t.left(eq).trimmed() : QByteArray();
        const bool ours = key.compare("Record", Qt::CaseInsensitive) == 0 || key.compare("Folder", Qt::CaseInsensitive) == 0;
        if (ours) {
            // Rewritten where it stood, or (in another section) left alone.
            if (j < n.size() && n[j].startsWith(o[i].left(o[i].indexOf('=') + 1)))
                ++j;
            continue;
        }
        while (j < n.size() && n[j] != o[i] && !(i + 1 == o.size() && n[j] == o[i] + '\r'))
            ++j;
        FUZZ_CHECK(j < n.size(), QStringLiteral("old line %1 lost: %2").arg(i + 1).arg(Hex(o[i].left(80))));
        ++j;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    LineScript script(data, size);
    const int wanted = script.u8();
    const uint8_t what = script.u8();
    const QByteArray bytes = script.rest();

    // One line.
    if (const std::optional<TProbka> p = CzytajLinieZapisu(bytes))
        checkRoundTrip(*p);

    // A day file: the history holds at most what was asked, only readings
    // that write back as whole lines, from whole lines of the file.
    const QString folder = FuzzTempPath(QStringLiteral("rec"));
    QDir().mkpath(folder);
    const QString day = QDir(folder).filePath(QStringLiteral("2026-12-10.csv"));
    writeFile(day, bytes);
    const std::vector<TProbka> history = CzytajHistorie(folder, wanted);
    FUZZ_CHECK(int(history.size()) <= wanted, QStringLiteral("%1 readings for %2").arg(history.size()).arg(wanted));
    for (const TProbka &p : history)
        checkRoundTrip(p);
    QFile::remove(day);

    // fen_mon.ini: what is saved loads back, a second save changes nothing,
    // and every other line stays.
    const QString ini = FuzzTempPath(QStringLiteral("fen_mon.ini"));
    writeFile(ini, bytes);
    TUstawieniaZapisu u;
    FUZZ_CHECK(LoadRecordingSettings(u, ini), QStringLiteral("cannot read %1").arg(ini));
    u.Record = (what & 1) != 0;
    if (what & 2)
        u.Folder = QStringLiteral("rec ") + QString::number(wanted);
    if (SaveRecordingSettings(u, ini)) {
        const QByteArray saved = readFile(ini);
        TUstawieniaZapisu back;
        FUZZ_CHECK(LoadRecordingSettings(back, ini), QStringLiteral("cannot read back"));
        FUZZ_CHECK(back.Record == u.Record, QStringLiteral("Record does not read back"));
        FUZZ_CHECK(u.Folder.isEmpty() || back.Folder == u.Folder,
                   QStringLiteral("Folder %1 reads back as %2").arg(u.Folder, back.Folder));
        FUZZ_CHECK(SaveRecordingSettings(back, ini) && readFile(ini) == saved, QStringLiteral("a second save changed the file"));
        checkKeptLines(bytes, saved);
    }
    QFile::remove(ini);
    return 0;
}
