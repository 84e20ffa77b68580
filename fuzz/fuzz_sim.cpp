// The simulator's side of the line: the bytes the program under test may
// send (anything a broken driver, a wrong baud rate or another master makes
// of them), cut into frames and answered by a line of simulated devices.
// The tests trust the simulator to answer as the devices do; a reply it
// sends with a bad CRC or a length field that lies, unasked, would show up
// as a fault of the link.
//
// Script: u8 the line (bits 0-2: the first device's kind; bit 3: a second
// device at address 2; bit 4: the first behind an FWDL unit), the baud rate
// the frames are heard at, u8 where the bytes are cut in two as they arrive;
// the rest is the bytes.
#include "fenwire_sim.h"
#include "fuzz_checks.h"
#include "line_script.h"

#include "dn_transmisja.h"

namespace {

constexpr int kKinds = 8;

int lengthField(const QByteArray &bytes)
{
    return uint8_t(bytes[3]) << 8 | uint8_t(bytes[4]);
}

bool plausibleHeader(const QByteArray &bytes)
{
    const uint8_t fun = uint8_t(bytes[1]);
    const int length = lengthField(bytes);
    return (fun == 70 || fun == 71) && length >= kModbusMinFrame && length <= kModbusBufferSize;
}

struct Cut
{
    QList<QByteArray> frames;
    QByteArray noise;
    QByteArray rest; // what waits for more bytes
};

Cut cut(const QByteArray &bytes)
{
    Cut c;
    c.rest = bytes;
    c.frames = fwsim::takeFrames(c.rest, &c.noise);
    return c;
}

// Every byte is in a frame, in the noise or still waiting, in its order;
// each frame is one the devices can take, and what waits is the start of
// one that is not whole yet.
void checkCut(const QByteArray &bytes, const Cut &c)
{
    QByteArray again;
    for (const QByteArray &frame : c.frames) {
        FUZZ_CHECK(frame.size() >= kModbusHeaderSize && plausibleHeader(frame) && lengthField(frame) == frame.size(),
                   QStringLiteral("frame %1").arg(Hex(frame)));
        again += frame;
    }
    FUZZ_CHECK(c.noise.isEmpty() || c.rest.isEmpty(), QStringLiteral("bytes kept after noise"));
    FUZZ_CHECK(c.noise.isEmpty() || (c.noise.size() >= kModbusHeaderSize && !plausibleHeader(c.noise)),
               QStringLiteral("noise %1").arg(Hex(c.noise)));
    FUZZ_CHECK(c.rest.size() < kModbusHeaderSize || (plausibleHeader(c.rest) && lengthField(c.rest) > c.rest.size()),
               QStringLiteral("waiting %1").arg(Hex(c.rest)));
    again += c.noise + c.rest;
    FUZZ_CHECK(again == bytes, QStringLiteral("bytes lost or made: %1").arg(Hex(again)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    LineScript script(data, size);
    const uint8_t line = script.u8();
    const int baud = ReadBaud(script);
    const int split = script.u8();
    const QByteArray bytes = script.rest();

    const Cut whole = cut(bytes);
    checkCut(bytes, whole);

    // Bytes that come in two reads are cut the same way, as long as the
    // first read had no noise (noise throws away what the device holds).
    const qsizetype at = std::min<qsizetype>(split, bytes.size());
    Cut first = cut(bytes.left(at));
    if (first.noise.isEmpty()) {
        QByteArray rest = first.rest + bytes.mid(at);
        QByteArray noise;
        const QList<QByteArray> more = fwsim::takeFrames(rest, &noise);
        FUZZ_CHECK(first.frames + more == whole.frames && noise == whole.noise && rest == whole.rest,
                   QStringLiteral("a cut at %1 changes the frames").arg(at));
    }

    std::vector<fwsim::Config> devices(1);
    devices[0].kind = fwsim::DeviceKind(line % kKinds);
    devices[0].curve = false;
    devices[0].fwdl = (line & 0x10) != 0;
    if (line & 0x08) {
        fwsim::Config second;
        second.address = 2;
        second.curve = false;
        devices.push_back(second);
    }
    fwsim::Simulator sim(devices);
    for (const QByteArray &frame : whole.frames) {
        const fwsim::Answer a = sim.answer(frame, baud);
        FUZZ_CHECK(a.fault == fwsim::Fault::None, QStringLiteral("a fault nobody asked for"));
        FUZZ_CHECK((a.device >= 0) == !a.reply.isEmpty() && a.device < sim.deviceCount(),
                   QStringLiteral("device %1 with reply %2").arg(a.device).arg(Hex(a.reply)));
        if (a.reply.isEmpty())
            continue;
        FUZZ_CHECK(IsGoodFrame(a.reply) && a.reply.size() <= kModbusBufferSize,
                   QStringLiteral("to %1 the reply %2").arg(Hex(frame), Hex(a.reply)));
        FUZZ_CHECK(IsGoodFrame(frame), QStringLiteral("a frame with a bad CRC answered: %1").arg(Hex(frame)));
    }
    return 0;
}
