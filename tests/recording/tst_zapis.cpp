// The recording of readings on its own: the line of a reading byte for
// byte, the day files and what a power cut, a full disk, a folder that
// cannot be written and a disk that does not answer do to them, and the
// history read back from a folder.
#include "testfiles.h"
#include "zapis.h"

#include <QtCore/QDir>
#include <QtCore/QElapsedTimer>
#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>
#include <QtTest/QtTest>

#include <sys/resource.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

QDateTime at(int day, int h, int m, int s, int ms = 0, int offsetS = 3600)
{
    return QDateTime(QDate(2026, 12, day), QTime(h, m, s, ms), Qt::OffsetFromUTC, offsetS);
}

TProbka good(const QDateTime &time, double t, std::optional<double> h = 45.3)
{
    TProbka p;
    p.Czas = time;
    p.Temperatura = t;
    p.Wilgotnosc = h;
    p.Jednostka = QStringLiteral("\u00B0C");
    p.Port = QStringLiteral("/dev/ttyUSB0");
    p.Adres = 1;
    return p;
}

TProbka failed(const QDateTime &time, int status, const QString &cause)
{
    TProbka p;
    p.Czas = time;
    p.Status = status;
    p.Przyczyna = cause;
    p.Port = QStringLiteral("/dev/ttyUSB0");
    p.Adres = 1;
    return p;
}



// Every line ends with its line end and reads as the header or a reading.
bool wholeLines(const QByteArray &bytes, int *readings = nullptr)
{
    if (!bytes.isEmpty() && !bytes.endsWith('\n'))
        return false;
    int n = 0;
    const QList<QByteArray> lines = bytes.split('\n');
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        if (i == 0 && lines[i] + '\n' == kNaglowekZapisu)
            continue;
        if (!CzytajLinieZapisu(lines[i]))
            return false;
        ++n;
    }
    if (readings)
        *readings = n;
    return true;
}

} // namespace

Q_DECLARE_METATYPE(TProbka)

class TstZapis : public QObject
{
    Q_OBJECT

private slots:
    void line_data();
    void line();
    void notALine_data();
    void notALine();
    void dayFileWithHeader();
    void tornLastLineGoesOnFromAFreshLine();
    void midnightAndAClockSetBack();
    void unwritableFolderResumesByItself();
    void pipeWhoseReaderLeftIsAFailedWrite();
    void fullDiskTakesBackPartOfALine();
    void stuckDiskNeverHoldsTheCaller();
    void waitingReadingsAreBounded();
    void historyFromTheNewestFiles();
    void historyOfAnEmptyOrMissingFolder();
    void historyAroundBlankLines_data();
    void historyAroundBlankLines();
};

void TstZapis::line_data()
{
    QTest::addColumn<TProbka>("probka");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("good reading") << good(at(10, 18, 3, 4, 250), 21.5)
                                  << QByteArray("2026-12-10T18:03:04.250+01:00,21.5,45.3,\xC2\xB0""C,0,,/dev/ttyUSB0,1\n");
    TProbka f = good(at(10, 7, 0, 0, 5, -5 * 3600 - 1800), -20.5, std::nullopt);
    f.Jednostka = QStringLiteral("\u00B0F");
    f.Adres = 247;
    QTest::newRow("Fahrenheit below zero, no humidity, offset behind UTC")
        << f << QByteArray("2026-12-10T07:00:00.005-05:30,-20.5,,\xC2\xB0""F,0,,/dev/ttyUSB0,247\n");
    QTest::newRow("failure: empty values, the status and its cause")
        << failed(at(10, 0, 0, 0, 0, 0), 2, QStringLiteral("No reply"))
        << QByteArray("2026-12-10T00:00:00.000+00:00,,,,2,No reply,/dev/ttyUSB0,1\n");
    QTest::newRow("a cause with a comma, a quote and a line break")
        << failed(at(10, 9, 1, 2, 999), 300, QStringLiteral("Port \"COM3\": gone,\nreplug it"))
        << QByteArray("2026-12-10T09:01:02.999+01:00,,,,300,\"Port \"\"COM3\"\": gone, replug it\",/dev/ttyUSB0,1\n");
}

void TstZapis::line()
{
    QFETCH(TProbka, probka);
    QFETCH(QByteArray, expected);
    QCOMPARE(LiniaZapisu(probka), expected);
    const std::optional<TProbka> back = CzytajLinieZapisu(expected);
    QVERIFY(back);
    QCOMPARE(back->Czas.toMSecsSinceEpoch(), probka.Czas.toMSecsSinceEpoch());
    QCOMPARE(back->Czas.offsetFromUtc(), probka.Czas.offsetFromUtc());
    QCOMPARE(back->Temperatura, probka.Temperatura);
    QCOMPARE(back->Wilgotnosc, probka.Wilgotnosc);
    QCOMPARE(back->Jednostka, probka.Jednostka);
    QCOMPARE(back->Status, probka.Status);
    QCOMPARE(back->Przyczyna, QString(probka.Przyczyna).replace(QLatin1Char('\n'), QLatin1Char(' ')));
    QCOMPARE(back->Port, probka.Port);
    QCOMPARE(back->Adres, probka.Adres);
    QCOMPARE(back->Udany(), probka.Udany());
}

void TstZapis::notALine_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("header") << kNaglowekZapisu;
    QTest::newRow("torn in the time") << QByteArray("2026-12-10T18:0");
    QTest::newRow("torn before the address") << QByteArray("2026-12-10T18:03:04.250+01:00,21.5,45.3,C,0,,/dev/tty");
    QTest::newRow("a quote not closed") << QByteArray("2026-12-10T18:03:04.250+01:00,,,,2,\"No reply,/dev/x,1");
    QTest::newRow("no number") << QByteArray("2026-12-10T18:03:04.250+01:00,warm,45.3,C,0,,/dev/x,1");
    QTest::newRow("empty") << QByteArray("\n");
}

void TstZapis::notALine()
{
    QFETCH(QByteArray, text);
    QVERIFY(!CzytajLinieZapisu(text));
}

void TstZapis::dayFileWithHeader()
{
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("not/yet/there"));
    {
        TZapisOdczytow zapis(folder);
        zapis.Dodaj(good(at(10, 18, 3, 4, 250), 21.5));
        zapis.Dodaj(failed(at(10, 18, 3, 5, 912), 2, QStringLiteral("No reply")));
        QVERIFY(zapis.CzekajNaZapis(5000));
        QCOMPARE(zapis.Stan().Zapisane, 2);
    }
    QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList{QStringLiteral("2026-12-10.csv")});
    QCOMPARE(readAll(folder + QStringLiteral("/2026-12-10.csv")),
             kNaglowekZapisu + "2026-12-10T18:03:04.250+01:00,21.5,45.3,\xC2\xB0""C,0,,/dev/ttyUSB0,1\n"
                               "2026-12-10T18:03:05.912+01:00,,,,2,No reply,/dev/ttyUSB0,1\n");
}

void TstZapis::tornLastLineGoesOnFromAFreshLine()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("2026-12-10.csv"));
    const QByteArray before = kNaglowekZapisu + LiniaZapisu(good(at(10, 8, 0, 0), 20.0)) + "2026-12-10T08:00:01.0";
    QVERIFY(writeAll(file, before));
    // And an empty file (made, then the power went) gets its header.
    const QString empty = dir.filePath(QStringLiteral("2026-12-11.csv"));
    QVERIFY(writeAll(empty, QByteArray()));
    {
        TZapisOdczytow zapis(dir.path());
        zapis.Dodaj(good(at(10, 8, 0, 2), 20.1));
        zapis.Dodaj(good(at(10, 8, 0, 3), 20.2));
        zapis.Dodaj(good(at(11, 0, 0, 0), 19.0));
        QVERIFY(zapis.CzekajNaZapis(5000));
    }
    const QByteArray after = readAll(file);
    QCOMPARE(after, before + "\n" + LiniaZapisu(good(at(10, 8, 0, 2), 20.1)) + LiniaZapisu(good(at(10, 8, 0, 3), 20.2)));
    QCOMPARE(readAll(empty), kNaglowekZapisu + LiniaZapisu(good(at(11, 0, 0, 0), 19.0)));
    // The torn line stays (nothing is thrown away) and is no reading.
    const std::vector<TProbka> history = CzytajHistorie(dir.path(), 10);
    QCOMPARE(int(history.size()), 4);
}

void TstZapis::midnightAndAClockSetBack()
{
    QTemporaryDir dir;
    const TProbka a = good(at(10, 23, 59, 59, 500), 1.0);
    const TProbka b = good(at(11, 0, 0, 0, 500), 2.0);
    const TProbka c = good(at(10, 23, 59, 58), 3.0); // the clock went back
    {
        TZapisOdczytow zapis(dir.path());
        zapis.Dodaj(a);
        zapis.Dodaj(b);
        zapis.Dodaj(c);
        QVERIFY(zapis.CzekajNaZapis(5000));
    }
    {
        // A second run of the program on the same day adds to its file.
        TZapisOdczytow zapis(dir.path());
        zapis.Dodaj(good(at(11, 0, 0, 5), 4.0));
        QVERIFY(zapis.CzekajNaZapis(5000));
    }
    QCOMPARE(readAll(dir.filePath(QStringLiteral("2026-12-10.csv"))), kNaglowekZapisu + LiniaZapisu(a) + LiniaZapisu(c));
    QCOMPARE(readAll(dir.filePath(QStringLiteral("2026-12-11.csv"))),
             kNaglowekZapisu + LiniaZapisu(b) + LiniaZapisu(good(at(11, 0, 0, 5), 4.0)));
}

void TstZapis::unwritableFolderResumesByItself()
{
    QTemporaryDir dir;
    // A file where the folder should be: no folder can be made there, as
    // root or not.
    const QString folder = dir.filePath(QStringLiteral("rec"));
    QVERIFY(writeAll(folder, "in the way"));
    TZapisOdczytow zapis(folder);
    QList<TProbka> sent;
    for (int i = 0; i < 3; ++i) {
        sent << good(at(10, 12, 0, i), 20 + i);
        zapis.Dodaj(sent.back());
    }
    QTRY_VERIFY_WITH_TIMEOUT(!zapis.Stan().Dziala, 5000);
    QVERIFY2(zapis.Stan().Blad.contains(folder), qPrintable(zapis.Stan().Blad));
    QCOMPARE(zapis.Stan().Czekajace, 3);
    sent << good(at(10, 12, 0, 3), 23);
    zapis.Dodaj(sent.back());

    QVERIFY(QFile::remove(folder));
    QVERIFY(zapis.CzekajNaZapis(5000));
    QVERIFY(zapis.Stan().Dziala);
    QVERIFY(zapis.Stan().Blad.isEmpty());
    QByteArray expected = kNaglowekZapisu;
    for (const TProbka &p : sent)
        expected += LiniaZapisu(p);
    QCOMPARE(readAll(folder + QStringLiteral("/2026-12-10.csv")), expected);
}

// A day file that is a named pipe, and its reader goes: the next write
// fails as any write may, and the program (here the test) lives on.
void TstZapis::pipeWhoseReaderLeftIsAFailedWrite()
{
    QTemporaryDir dir;
    const QByteArray file = QFile::encodeName(dir.filePath(QStringLiteral("2026-12-10.csv")));
    QVERIFY(::mkfifo(file.constData(), 0600) == 0);
    const int reader = ::open(file.constData(), O_RDONLY | O_NONBLOCK);
    QVERIFY(reader >= 0);
    TZapisOdczytow zapis(dir.path());
    zapis.Dodaj(good(at(10, 12, 0, 0), 20));
    QVERIFY(zapis.CzekajNaZapis(5000));
    ::close(reader);
    zapis.Dodaj(good(at(10, 12, 0, 1), 21));
    QTRY_VERIFY_WITH_TIMEOUT(!zapis.Stan().Dziala, 5000);
    QCOMPARE(zapis.Stan().Zapisane, 1);
}

void TstZapis::fullDiskTakesBackPartOfALine()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("2026-12-10.csv"));
    TZapisOdczytow zapis(dir.path());
    zapis.Dodaj(good(at(10, 12, 0, 0), 20.0));
    QVERIFY(zapis.CzekajNaZapis(5000));
    const qint64 size = QFileInfo(file).size();
    const qint64 line = LiniaZapisu(good(at(10, 12, 0, 0), 20.0)).size();

    // Room for one more line and half of the next: the disk is full.
    rlimit old{};
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &old) == 0);
    rlimit limit = old;
    limit.rlim_cur = rlim_t(size + line + line / 2);
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &limit) == 0);
    QList<TProbka> sent;
    for (int i = 1; i <= 4; ++i) {
        sent << good(at(10, 12, 0, i), 20 + i);
        zapis.Dodaj(sent.back());
    }
    QTRY_VERIFY_WITH_TIMEOUT(!zapis.Stan().Dziala, 5000);
    const QByteArray meanwhile = readAll(file);
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &old) == 0);
    int readings = 0;
    QVERIFY2(wholeLines(meanwhile, &readings), meanwhile.constData());
    QCOMPARE(readings, 2);
    QVERIFY2(zapis.Stan().Blad.contains(QStringLiteral("large")), qPrintable(zapis.Stan().Blad));

    QVERIFY(zapis.CzekajNaZapis(5000));
    QVERIFY(zapis.Stan().Dziala);
    QByteArray expected = kNaglowekZapisu + LiniaZapisu(good(at(10, 12, 0, 0), 20.0));
    for (const TProbka &p : sent)
        expected += LiniaZapisu(p);
    QCOMPARE(readAll(file), expected);
}

void TstZapis::stuckDiskNeverHoldsTheCaller()
{
    // A named pipe in place of the day's file: opening it waits until
    // someone reads, as a share that does not answer would.
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("2026-12-10.csv"));
    QVERIFY(::mkfifo(QFile::encodeName(file).constData(), 0600) == 0);
    TZapisOdczytow zapis(dir.path());
    QElapsedTimer timer;
    timer.start();
    constexpr int kReadings = 500;
    for (int i = 0; i < kReadings; ++i)
        zapis.Dodaj(good(at(10, 12, i / 60, i % 60), 20.0));
    // Generous: queueing takes microseconds, a stuck write for ever.
    QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(zapis.Stan().Czekajace, kReadings);

    const int fd = ::open(QFile::encodeName(file).constData(), O_RDONLY | O_NONBLOCK);
    QVERIFY(fd >= 0);
    QByteArray got;
    QTRY_VERIFY_WITH_TIMEOUT(([&] {
                                 char buf[65536];
                                 ssize_t n;
                                 while ((n = ::read(fd, buf, sizeof buf)) > 0)
                                     got.append(buf, n);
                                 return got.count('\n') == kReadings + 1;
                             }()),
                             10000);
    ::close(fd);
    int readings = 0;
    QVERIFY(wholeLines(got, &readings));
    QCOMPARE(readings, kReadings);
}

void TstZapis::waitingReadingsAreBounded()
{
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("rec"));
    QVERIFY(writeAll(folder, "in the way"));
    TZapisOdczytow zapis(folder);
    const TProbka p = good(at(10, 12, 0, 0), 20.0);
    for (int64_t i = 0; i < TZapisOdczytow::kNajwiecejCzekajacych + 7; ++i)
        zapis.Dodaj(p);
    const TStanZapisu stan = zapis.Stan();
    QCOMPARE(stan.Czekajace, TZapisOdczytow::kNajwiecejCzekajacych);
    QCOMPARE(stan.Utracone, 7);
}

void TstZapis::historyFromTheNewestFiles()
{
    QTemporaryDir dir;
    // Three days, and things that are no day file of ours.
    QByteArray day8 = kNaglowekZapisu, day9 = kNaglowekZapisu, day10 = kNaglowekZapisu;
    for (int i = 0; i < 50; ++i) {
        day8 += LiniaZapisu(good(at(8, 10, 0, i), 8 + i / 100.0));
        day9 += LiniaZapisu(good(at(9, 10, 0, i), 9 + i / 100.0));
    }
    day9 += LiniaZapisu(failed(at(9, 10, 1, 0), 2, QStringLiteral("No reply")));
    for (int i = 0; i < 30; ++i)
        day10 += LiniaZapisu(good(at(10, 10, 0, i), 10 + i / 100.0));
    day10 += "2026-12-10T10:00:30.0"; // torn by a power cut
    QVERIFY(writeAll(dir.filePath(QStringLiteral("2026-12-08.csv")), day8));
    QVERIFY(writeAll(dir.filePath(QStringLiteral("2026-12-09.csv")), day9));
    QVERIFY(writeAll(dir.filePath(QStringLiteral("2026-12-10.csv")), day10));
    // Sorted after the day files by name, and none of them a day file.
    QVERIFY(writeAll(dir.filePath(QStringLiteral("2026-13-40.csv")), "not a day\n"));
    QVERIFY(writeAll(dir.filePath(QStringLiteral("notes.csv")), "x\n"));
    QVERIFY(writeAll(dir.filePath(QStringLiteral("2026-12-11.txt")), "x\n"));
    // An old file holding one very long line without a line end.
    QVERIFY(writeAll(dir.filePath(QStringLiteral("2026-01-01.csv")), QByteArray(300000, 'x')));

    for (int n : {1, 30, 31, 45, 200}) {
        const std::vector<TProbka> h = CzytajHistorie(dir.path(), n);
        const int expected = std::min(n, 50 + 50 + 1 + 30);
        QCOMPARE(int(h.size()), expected);
        // Newest last, and the newest is the last whole line of the newest file.
        QCOMPARE(h.back().Czas, at(10, 10, 0, 29));
        for (std::size_t i = 1; i < h.size(); ++i)
            QVERIFY(h[i - 1].Czas < h[i].Czas);
        if (n >= 31)
            QVERIFY(!h[h.size() - 31].Udany()); // the failure of the day before
    }
}

void TstZapis::historyOfAnEmptyOrMissingFolder()
{
    QTemporaryDir dir;
    QVERIFY(CzytajHistorie(dir.path(), 100).empty());
    QVERIFY(CzytajHistorie(dir.filePath(QStringLiteral("none")), 100).empty());
    QVERIFY(writeAll(dir.filePath(QStringLiteral("2026-12-10.csv")), kNaglowekZapisu));
    QVERIFY(CzytajHistorie(dir.path(), 100).empty());
    QVERIFY(CzytajHistorie(dir.path(), 0).empty());
}

// Blank lines are no readings, wherever a hand or an editor left them; the
// readings around them are found, and the reading of the file ends.
void TstZapis::historyAroundBlankLines_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("readings");
    const QByteArray line = LiniaZapisu(good(at(10, 10, 0, 0), 21.5));
    QTest::newRow("one blank line") << QByteArray("\n") << 0;
    QTest::newRow("blank lines before the header") << "\n\n" + kNaglowekZapisu + line << 1;
    QTest::newRow("blank lines between readings") << kNaglowekZapisu + line + "\n\r\n" + line + "\n" << 2;
    QTest::newRow("a blank first line and a torn last one") << "\n" + line + line.left(12) << 1;
}

void TstZapis::historyAroundBlankLines()
{
    QFETCH(QByteArray, file);
    QFETCH(int, readings);
    QTemporaryDir dir;
    QVERIFY(writeAll(dir.filePath(QStringLiteral("2026-12-10.csv")), file));
    QCOMPARE(int(CzytajHistorie(dir.path(), 100).size()), readings);
}

QTEST_GUILESS_MAIN(TstZapis)
#include "tst_zapis.moc"
