#include "zapis.h"

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

const QByteArray kNaglowekZapisu = QByteArrayLiteral("time,temperature,humidity,unit,status,cause,port,address\n");

namespace {

constexpr int kPol = 8; // fields of a line
constexpr int kDziesiate = 1; // decimals of a value
const QString kFormatCzasu = QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz");
const QString kFormatDnia = QStringLiteral("yyyy-MM-dd");
// "yyyy-MM-dd.csv"; the date itself is checked on the name.
const QString kWzorPliku = QStringLiteral("*-*-*.csv");
const QString kRozszerzenie = QStringLiteral(".csv");
// The history is read from a file's end in blocks of this size.
constexpr qint64 kBlokHistorii = 64 * 1024;
// No line of ours is this long: text without a line end beyond it is not a
// recording, and is skipped rather than gathered.
constexpr qsizetype kNajdluzszaLinia = 16 * 1024;

QByteArray czasTekst(const QDateTime &A_Czas)
{
    const int offset = A_Czas.offsetFromUtc();
    const int bez = std::abs(offset);
    return (A_Czas.toString(kFormatCzasu)
            + QStringLiteral("%1%2:%3")
                  .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
                  .arg(bez / 3600, 2, 10, QLatin1Char('0'))
                  .arg(bez % 3600 / 60, 2, 10, QLatin1Char('0')))
        .toUtf8();
}

QByteArray wartoscTekst(const std::optional<double> &A_Wartosc)
{
    return A_Wartosc ? QByteArray::number(*A_Wartosc, 'f', kDziesiate) : QByteArray();
}

// A text field as CSV has it: quoted when it holds a comma or a quote; a
// line break would end the line, so it becomes a blank.
QByteArray tekstPola(const QString &A_Tekst)
{
    QByteArray bytes = A_Tekst.toUtf8();
    bytes.replace('\r', ' ').replace('\n', ' ');
    if (!bytes.contains(',') && !bytes.contains('"'))
        return bytes;
    bytes.replace("\"", "\"\"");
    return '"' + bytes + '"';
}

// The fields of one CSV line; false when a quote is not closed.
bool podzielLinie(const QByteArray &A_Linia, std::vector<QByteArray> &A_Pola)
{
    A_Pola.clear();
    QByteArray pole;
    bool wCudzyslowie = false;
    for (qsizetype i = 0; i < A_Linia.size(); ++i) {
        const char c = A_Linia.at(i);
        if (wCudzyslowie) {
            if (c != '"') {
                pole += c;
            } else if (i + 1 < A_Linia.size() && A_Linia.at(i + 1) == '"') {
                pole += '"';
                ++i;
            } else {
                wCudzyslowie = false;
            }
        } else if (c == '"') {
            wCudzyslowie = true;
        } else if (c == ',') {
            A_Pola.push_back(pole);
            pole.clear();
        } else {
            pole += c;
        }
    }
    A_Pola.push_back(pole);
    return !wCudzyslowie;
}

bool czytajWartosc(const QByteArray &A_Pole, std::optional<double> &A_Wartosc)
{
    if (A_Pole.isEmpty()) {
        A_Wartosc.reset();
        return true;
    }
    bool ok = false;
    const double v = A_Pole.toDouble(&ok);
    if (ok)
        A_Wartosc = v;
    return ok;
}

bool czytajLiczbe(const QByteArray &A_Pole, int &A_Liczba)
{
    bool ok = false;
    A_Liczba = A_Pole.toInt(&ok);
    return ok;
}

// The day files of a folder, newest first.
QStringList plikiDni(const QString &A_Folder)
{
    QStringList dni;
    const QStringList nazwy = QDir(A_Folder).entryList({kWzorPliku}, QDir::Files, QDir::Name | QDir::Reversed);
    for (const QString &nazwa : nazwy) {
        if (QDate::fromString(nazwa.chopped(kRozszerzenie.size()), kFormatDnia).isValid())
            dni.push_back(QDir(A_Folder).filePath(nazwa));
    }
    return dni;
}

// Up to A_Ile readings from the end of a file, newest first, appended to
// A_Wynik; returns how many it found. A last line without its line end is
// torn (a power cut) or still being written, and is left out.
int czytajKoniecPliku(const QString &A_Plik, int A_Ile, std::vector<TProbka> &A_Wynik)
{
    QFile plik(A_Plik);
    if (A_Ile <= 0 || !plik.open(QIODevice::ReadOnly))
        return 0;
    qint64 pos = plik.size();
    QByteArray reszta; // the start of the file's text not yet taken apart
    bool koniecPliku = true;
    int znalezione = 0;
    while (znalezione < A_Ile) {
        if (pos > 0) {
            const qint64 ile = std::min(kBlokHistorii, pos);
            pos -= ile;
            if (!plik.seek(pos))
                break;
            const QByteArray blok = plik.read(ile);
            if (blok.size() != ile)
                break;
            reszta.prepend(blok);
        }
        if (koniecPliku) {
            // Whatever follows the last line end is not a whole line.
            const qsizetype ostatni = reszta.lastIndexOf('\n');
            if (ostatni < 0 && pos > 0 && reszta.size() <= kNajdluzszaLinia)
                continue;
            reszta.truncate(ostatni + 1);
            koniecPliku = false;
        }
        // Whole lines from the end; the first one is whole only at the
        // start of the file.
        qsizetype koniec = reszta.size();
        while (znalezione < A_Ile && koniec > 0) {
            // Before the line end that closes this line; a negative start
            // would make lastIndexOf search from the end again.
            const qsizetype poprzedni = koniec >= 2 ? reszta.lastIndexOf('\n', koniec - 2) : -1;
            if (poprzedni < 0 && pos > 0)
                break;
            const QByteArray linia = reszta.mid(poprzedni + 1, koniec - poprzedni - 1);
            koniec = poprzedni + 1;
            if (auto probka = CzytajLinieZapisu(linia)) {
                A_Wynik.push_back(std::move(*probka));
                ++znalezione;
            }
        }
        reszta.truncate(koniec);
        if (pos == 0)
            break;
        if (reszta.size() > kNajdluzszaLinia)
            reszta.clear(); // no line of ours: skipped, not gathered
    }
    return znalezione;
}

} // namespace

QByteArray LiniaZapisu(const TProbka &A_Probka)
{
    QByteArray linia = czasTekst(A_Probka.Czas);
    linia += ',' + wartoscTekst(A_Probka.Temperatura);
    linia += ',' + wartoscTekst(A_Probka.Wilgotnosc);
    linia += ',' + tekstPola(A_Probka.Jednostka);
    linia += ',' + QByteArray::number(A_Probka.Status);
    linia += ',' + tekstPola(A_Probka.Przyczyna);
    linia += ',' + tekstPola(A_Probka.Port);
    linia += ',' + QByteArray::number(A_Probka.Adres);
    linia += '\n';
    return linia;
}

std::optional<TProbka> CzytajLinieZapisu(const QByteArray &A_Linia)
{
    QByteArray linia = A_Linia;
    if (linia.endsWith('\n'))
        linia.chop(1);
    if (linia.endsWith('\r'))
        linia.chop(1);
    std::vector<QByteArray> pola;
    if (!podzielLinie(linia, pola) || pola.size() != kPol)
        return std::nullopt;
    TProbka p;
    p.Czas = QDateTime::fromString(QString::fromUtf8(pola[0]), Qt::ISODateWithMs);
    if (!p.Czas.isValid() || !czytajWartosc(pola[1], p.Temperatura) || !czytajWartosc(pola[2], p.Wilgotnosc)
        || !czytajLiczbe(pola[4], p.Status) || !czytajLiczbe(pola[7], p.Adres))
        return std::nullopt;
    p.Jednostka = QString::fromUtf8(pola[3]);
    p.Przyczyna = QString::fromUtf8(pola[5]);
    p.Port = QString::fromUtf8(pola[6]);
    return p;
}

QString NazwaPlikuDnia(const QDate &A_Dzien)
{
    return A_Dzien.toString(kFormatDnia) + kRozszerzenie;
}

std::vector<TProbka> CzytajHistorie(const QString &A_Folder, int A_Ile)
{
    std::vector<TProbka> wynik; // newest first until the end
    if (A_Ile <= 0 || A_Folder.isEmpty())
        return wynik;
    for (const QString &plik : plikiDni(A_Folder)) {
        const int brakuje = A_Ile - int(wynik.size());
        if (brakuje <= 0)
            break;
        czytajKoniecPliku(plik, brakuje, wynik);
    }
    std::reverse(wynik.begin(), wynik.end());
    return wynik;
}

// ---------------------------------------------------------------------------
// TZapisOdczytow

struct TZapisOdczytow::Wspolne
{
    struct Wpis
    {
        QDate Dzien;
        QByteArray Linia;
        uint64_t Nr = 0; // in the order of Dodaj
    };

    explicit Wspolne(const QString &A_Folder)
        : Folder(A_Folder)
    {
    }

    void Pracuj();
    bool Zapisz(const Wpis &A_Wpis, QString &A_Blad);
    void Zamknij();

    const QString Folder;
    mutable std::mutex Mutex;
    mutable std::condition_variable Zmiana;
    std::deque<Wpis> Kolejka; // the front one stays until it is written
    uint64_t Nastepny = 0;
    TStanZapisu Stan;
    bool Koniec = false;
    bool Skonczone = false;

    // The writer thread's own.
    int Fd = -1;
    QDate OtwartyDzien;
    bool SprawdzKoniec = false; // the file's last line may be torn
    bool Naglowek = false;      // the file is new: the header goes first
};

void TZapisOdczytow::Wspolne::Zamknij()
{
    if (Fd >= 0)
        ::close(Fd);
    Fd = -1;
    OtwartyDzien = QDate();
}

bool TZapisOdczytow::Wspolne::Zapisz(const Wpis &A_Wpis, QString &A_Blad)
{
    const QString sciezka = QDir(Folder).filePath(NazwaPlikuDnia(A_Wpis.Dzien));
    if (Fd < 0 || OtwartyDzien != A_Wpis.Dzien) {
        Zamknij();
        if (!QDir().mkpath(Folder)) {
            A_Blad = QStringLiteral("%1: the folder cannot be made").arg(Folder);
            return false;
        }
        Fd = ::open(QFile::encodeName(sciezka).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (Fd < 0) {
            A_Blad = QStringLiteral("%1: %2").arg(sciezka, qt_error_string(errno));
            return false;
        }
        OtwartyDzien = A_Wpis.Dzien;
        struct stat st{};
        if (::fstat(Fd, &st) != 0) {
            A_Blad = QStringLiteral("%1: %2").arg(sciezka, qt_error_string(errno));
            Zamknij();
            return false;
        }
        Naglowek = st.st_size == 0;
        SprawdzKoniec = st.st_size > 0 && S_ISREG(st.st_mode);
    }
    struct stat st{};
    if (::fstat(Fd, &st) != 0) {
        A_Blad = QStringLiteral("%1: %2").arg(sciezka, qt_error_string(errno));
        Zamknij();
        return false;
    }
    const off_t przed = st.st_size;
    QByteArray bufor;
    if (Naglowek) {
        bufor = kNaglowekZapisu;
    } else if (SprawdzKoniec && przed > 0) {
        // A power cut may have torn the last line: ours starts on a line
        // of its own.
        const int fd = ::open(QFile::encodeName(sciezka).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        char ostatni = '\n';
        if (fd >= 0 && ::pread(fd, &ostatni, 1, przed - 1) == 1 && ostatni != '\n')
            bufor = "\n";
        if (fd >= 0)
            ::close(fd);
    }
    bufor += A_Wpis.Linia;

    qsizetype zapisane = 0;
    while (zapisane < bufor.size()) {
        const ssize_t n = ::write(Fd, bufor.constData() + zapisane, size_t(bufor.size() - zapisane));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        zapisane += n;
    }
    if (zapisane != bufor.size()) {
        const int blad = zapisane < bufor.size() && errno != 0 ? errno : EIO;
        // Part of a line is no reading: the file goes back to what it held.
        if (zapisane > 0 && S_ISREG(st.st_mode) && ::ftruncate(Fd, przed) != 0) {
            // Nothing more to do: the next open starts on a fresh line.
        }
        A_Blad = QStringLiteral("%1: %2").arg(sciezka, qt_error_string(blad));
        Zamknij();
        return false;
    }
    SprawdzKoniec = false;
    Naglowek = false;
    // On the disk before the next reading: a power cut loses at most the
    // line being written.
    if (S_ISREG(st.st_mode))
        ::fdatasync(Fd);
    return true;
}

void TZapisOdczytow::Wspolne::Pracuj()
{
    // A day file that is a pipe or a socket whose reader has gone: the write
    // fails with EPIPE and is tried again like any failed write. The signal
    // is held back in this thread only, so it cannot end the program.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    std::unique_lock<std::mutex> lock(Mutex);
    for (;;) {
        Zmiana.wait(lock, [&] { return Koniec || !Kolejka.empty(); });
        if (Kolejka.empty())
            break;
        const Wpis wpis = Kolejka.front();
        lock.unlock();
        errno = 0;
        QString blad;
        const bool ok = Zapisz(wpis, blad);
        lock.lock();
        if (ok) {
            // The queue may have lost its oldest entries meanwhile; the one
            // written is still the front unless it was dropped.
            if (!Kolejka.empty() && Kolejka.front().Nr == wpis.Nr)
                Kolejka.pop_front();
            ++Stan.Zapisane;
            Stan.Dziala = true;
            Stan.Blad.clear();
        } else {
            Stan.Dziala = false;
            Stan.Blad = blad;
        }
        Stan.Czekajace = int64_t(Kolejka.size());
        Zmiana.notify_all();
        if (!ok) {
            // At the end a failing disk does not hold the program up.
            if (Koniec)
                break;
            Zmiana.wait_for(lock, std::chrono::milliseconds(kPonowMs), [&] { return Koniec; });
            if (Koniec && !Kolejka.empty()) {
                // One last try for what waits, then it goes.
                continue;
            }
        }
    }
    Zamknij();
    Skonczone = true;
    Zmiana.notify_all();
}

TZapisOdczytow::TZapisOdczytow(const QString &A_Folder)
    : m_folder(A_Folder)
    , m_d(std::make_shared<Wspolne>(A_Folder))
{
    // Beyond the file size limit a write must fail like a full disk does,
    // not kill the program.
    std::signal(SIGXFSZ, SIG_IGN);
    std::thread([d = m_d] { d->Pracuj(); }).detach();
}

TZapisOdczytow::~TZapisOdczytow()
{
    std::unique_lock<std::mutex> lock(m_d->Mutex);
    m_d->Koniec = true;
    m_d->Zmiana.notify_all();
    // The thread keeps what it shares with us: a write stuck on a slow
    // disk finishes after we are gone without touching anything freed.
    m_d->Zmiana.wait_for(lock, std::chrono::milliseconds(kKoniecWatkuMs), [&] { return m_d->Skonczone; });
}

void TZapisOdczytow::Dodaj(const TProbka &A_Probka)
{
    Wspolne::Wpis wpis{A_Probka.Czas.date(), LiniaZapisu(A_Probka)};
    std::lock_guard<std::mutex> lock(m_d->Mutex);
    if (m_d->Koniec)
        return;
    wpis.Nr = m_d->Nastepny++;
    m_d->Kolejka.push_back(std::move(wpis));
    while (int64_t(m_d->Kolejka.size()) > kNajwiecejCzekajacych) {
        m_d->Kolejka.pop_front();
        ++m_d->Stan.Utracone;
    }
    m_d->Stan.Czekajace = int64_t(m_d->Kolejka.size());
    m_d->Zmiana.notify_all();
}

TStanZapisu TZapisOdczytow::Stan() const
{
    std::lock_guard<std::mutex> lock(m_d->Mutex);
    return m_d->Stan;
}

bool TZapisOdczytow::CzekajNaZapis(int A_Ms) const
{
    std::unique_lock<std::mutex> lock(m_d->Mutex);
    return m_d->Zmiana.wait_for(lock, std::chrono::milliseconds(A_Ms), [&] {
        return m_d->Kolejka.empty() || m_d->Skonczone;
    }) && m_d->Kolejka.empty();
}
