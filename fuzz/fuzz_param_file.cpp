// The parameter file "set_monitor.dat": the record's image both ways, and
// the load and save of a file.
//
// The input is the file.
#include "dane.h"
#include "fuzz_checks.h"

#include <QtCore/QFile>

namespace {

// The record's alignment padding and its one boolean: the only bytes a read
// and a write do not carry through as they stand.
constexpr int kPadding[][2] = {{1, 3}, {13, 3}, {34, 2}, {42, 2}};
constexpr int kFwdlTranspOffset = 58;

// The image a record read from these bytes must be written as.
QByteArray normalised(QByteArray image)
{
    for (const auto &gap : kPadding)
        for (int i = 0; i < gap[1]; ++i)
            image[gap[0] + i] = '\0';
    image[kFwdlTranspOffset] = image.at(kFwdlTranspOffset) != 0 ? '\1' : '\0';
    return image;
}

// A record unlike any the bytes give, to see that a refused read leaves it alone.
TParametryProgramu sentinel()
{
    TParametryProgramu p;
    p.trans.ComNum = 7;
    p.trans.Predkosc = 31337;
    p.temp_do = -5;
    p.ile_probek = 12345;
    p.rezerwa.fill(0xA5);
    return p;
}

QByteArray readFile(const QString &name)
{
    QFile f(name);
    FUZZ_CHECK(f.open(QIODevice::ReadOnly), QStringLiteral("cannot read back %1").arg(name));
    return f.readAll();
}

void writeFile(const QString &name, const QByteArray &bytes)
{
    QFile f(name);
    FUZZ_CHECK(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size(),
               QStringLiteral("cannot write %1").arg(name));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QByteArray untouched = ParametryToBytes(sentinel());

    // The image: only a whole record is taken, and it is written back as read.
    TParametryProgramu p = sentinel();
    const bool whole = ParametryFromBytes(input, p);
    FUZZ_CHECK(whole == (input.size() == kParamRecordSize),
               QStringLiteral("%1 bytes %2 as a record").arg(input.size()).arg(whole ? "taken" : "refused"));
    const QByteArray image = ParametryToBytes(p);
    FUZZ_CHECK(image.size() == kParamRecordSize, QStringLiteral("a record of %1 bytes").arg(image.size()));
    if (whole) {
        const QByteArray want = normalised(input);
        FUZZ_CHECK(image == want, QStringLiteral("read then written:\n  %1\nnot\n  %2").arg(Hex(image), Hex(want)));
        TParametryProgramu again = sentinel();
        FUZZ_CHECK(ParametryFromBytes(image, again) && ParametryToBytes(again) == image,
                   QStringLiteral("a written record does not read back as itself"));
    } else {
        FUZZ_CHECK(image == untouched, QStringLiteral("a refused image changed the record"));
    }

    // The file: its first record counts, a short one is refused.
    const QString in = FuzzTempPath(QStringLiteral("in.dat"));
    const QString out = FuzzTempPath(QStringLiteral("out.dat"));
    writeFile(in, input);
    TParametryProgramu loaded = sentinel();
    const bool ok = LoadParamsFile(in, loaded);
    FUZZ_CHECK(ok == (input.size() >= kParamRecordSize), QStringLiteral("a file of %1 bytes %2")
                                                             .arg(input.size())
                                                             .arg(ok ? "loaded" : "refused"));
    const QByteArray loadedImage = ParametryToBytes(loaded);
    FUZZ_CHECK(loadedImage == (ok ? normalised(input.left(kParamRecordSize)) : untouched),
               QStringLiteral("the file loaded as %1").arg(Hex(loadedImage)));

    // A save replaces whatever stood in the file with exactly one record.
    writeFile(out, input);
    FUZZ_CHECK(SaveParamsFile(out, loaded), QStringLiteral("the save failed"));
    const QByteArray saved = readFile(out);
    FUZZ_CHECK(saved == loadedImage, QStringLiteral("saved %1 bytes: %2").arg(saved.size()).arg(Hex(saved)));
    TParametryProgramu reloaded = sentinel();
    FUZZ_CHECK(LoadParamsFile(out, reloaded) && ParametryToBytes(reloaded) == loadedImage,
               QStringLiteral("the saved file does not load as the record saved"));
    return 0;
}
