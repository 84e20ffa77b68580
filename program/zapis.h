// Recording of the monitor's readings: one CSV file a day in a folder, a
// writer that never holds up the window, and the history read back for the
// chart. No widgets here: the tests and benchmarks link this unit on its own.
#pragma once

#include <QtCore/QByteArray>
#include <QtCore/QDate>
#include <QtCore/QDateTime>
#include <QtCore/QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

// One reading as the recording keeps it.
struct TProbka
{
    QDateTime Czas;                     // when the reading completed, with its UTC offset
    std::optional<double> Temperatura;  // in the device's unit; none for a failed reading
    std::optional<double> Wilgotnosc;   // percent; none for a failure or a device without it
    QString Jednostka;                  // "°C" or "°F"; empty without a temperature
    int Status = 0;                     // 0 for a good reading, else the transmission status
    QString Przyczyna;                  // why it failed, in words; empty for a good one
    QString Port;                       // the device the reading came through
    int Adres = 0;                      // the transmitter's RS-485 address

    bool Udany() const { return Status == 0 && Temperatura.has_value(); }
};

// The first line of every file, then one line per reading:
//   2026-12-10T18:03:04.250+01:00,21.5,45.3,°C,0,,/dev/ttyUSB0,1
//   2026-12-10T18:03:05.912+01:00,,,,2,No reply,/dev/ttyUSB0,1
extern const QByteArray kNaglowekZapisu;

// The line of a reading, ending in "\n" (UTF-8; fields with a comma or a
// quote quoted as CSV has it; line breaks in a text become blanks).
QByteArray LiniaZapisu(const TProbka &A_Probka);
// A line as LiniaZapisu writes it (with or without its "\n"); nullopt for
// the header, a torn line or anything else.
std::optional<TProbka> CzytajLinieZapisu(const QByteArray &A_Linia);

// "2026-12-10.csv": the day of the local time a reading was taken.
QString NazwaPlikuDnia(const QDate &A_Dzien);

// The last A_Ile readings recorded in A_Folder, oldest first, in the order
// they were written. Only the newest day files are read, and only as far
// back as needed, so a folder holding years of recordings costs no more
// than one holding a day. Lines that do not read as a reading (the header,
// a line torn by a power cut) are left out.
std::vector<TProbka> CzytajHistorie(const QString &A_Folder, int A_Ile);

// How the recording stands, as the window shows it.
struct TStanZapisu
{
    bool Dziala = true;      // the last write (or the first, not yet tried) went through
    QString Blad;            // the error of the last failed write, with the file it was for
    int64_t Zapisane = 0;    // readings written since the start
    int64_t Czekajace = 0;   // readings waiting to be written
    int64_t Utracone = 0;    // readings dropped because too many were waiting
};

// Appends readings to the day files of a folder on a thread of its own:
// Dodaj only queues, so a slow disk (a network share) never delays the
// window or the polling.
//
// Each line goes to the file in one write and is flushed to the disk at
// once; a kill or a power cut loses at most the line being written. A write
// the disk cuts short is taken back, so a file never holds part of a line
// we made. A file whose last line a power cut tore goes on from a fresh
// line. Files are only ever appended to: a clock set back writes after what
// a file already holds. When writing fails (a full disk, a folder that
// cannot be written) the readings wait, and are written in order as soon as
// writing works again; beyond kNajwiecejCzekajacych the oldest go.
class TZapisOdczytow
{
public:
    // About a day of readings at one a second.
    static constexpr int64_t kNajwiecejCzekajacych = 100000;
    // A failed write is tried again this often.
    static constexpr int kPonowMs = 1000;
    // How long the end of the program waits for queued readings to reach
    // the disk (CzekajNaZapis), and the destructor for the writer to end.
    static constexpr int kZamknijMs = 5000;
    static constexpr int kKoniecWatkuMs = 1000;

    explicit TZapisOdczytow(const QString &A_Folder);
    // What is still queued is written by the writer after we are gone;
    // CzekajNaZapis first to know it is on the disk.
    ~TZapisOdczytow();
    TZapisOdczytow(const TZapisOdczytow &) = delete;
    TZapisOdczytow &operator=(const TZapisOdczytow &) = delete;

    QString Folder() const { return m_folder; }
    // Never blocks on the disk.
    void Dodaj(const TProbka &A_Probka);
    TStanZapisu Stan() const;
    // Waits until nothing is left to write or A_Ms has passed; true when
    // everything queued is written. For tests and the end of the program.
    bool CzekajNaZapis(int A_Ms) const;

    struct Wspolne;

private:
    const QString m_folder;
    std::shared_ptr<Wspolne> m_d;
};
