// The fuzzer's bytes as a script, read front to back.
//
// LLVM's FuzzedDataProvider takes its numbers from the end of the input and
// its byte strings from the front; a seed built for it cannot be written by
// hand or read in a hex dump. Read in order instead, a seed holds the
// device's frames as they stand, so the corpus reads like a trace of the
// line. A read past the end gives zeros: an input that runs out is a device
// that has gone silent.
#pragma once

#include <QtCore/QByteArray>
#include <algorithm>
#include <cstddef>
#include <cstdint>

class LineScript
{
public:
    LineScript(const uint8_t *data, size_t size)
        : m_data(data)
        , m_size(size)
    {
    }

    uint8_t u8() { return m_pos < m_size ? m_data[m_pos++] : 0; }

    // High byte first, the way the frames carry their numbers.
    uint16_t u16()
    {
        const uint16_t high = u8();
        return static_cast<uint16_t>(high << 8 | u8());
    }

    int32_t i32()
    {
        const uint32_t high = u16();
        return static_cast<int32_t>(high << 16 | u16());
    }

    bool flag() { return (u8() & 1) != 0; }

    // Up to count bytes: fewer when the script ends first.
    QByteArray bytes(int count)
    {
        const size_t n = std::min(m_size - m_pos, static_cast<size_t>(std::max(count, 0)));
        QByteArray out(reinterpret_cast<const char *>(m_data + m_pos), static_cast<qsizetype>(n));
        m_pos += n;
        return out;
    }

    // Everything not read yet.
    QByteArray rest() { return bytes(static_cast<int>(std::min<size_t>(m_size - m_pos, INT32_MAX))); }

    bool atEnd() const { return m_pos >= m_size; }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
};
