// Reads a fuzz input from the front: small integers that steer the run and byte strings that
// feed the code under test. Past the end every integer is 0 and every string is empty, so any
// input, however short, is a valid run.
#pragma once

#include <QByteArrayView>

#include <cstddef>
#include <cstdint>

class FuzzInput
{
public:
    FuzzInput(const std::uint8_t *data, std::size_t size)
        : m_data(reinterpret_cast<const char *>(data)), m_size(size)
    {
    }

    bool atEnd() const { return m_pos >= m_size; }

    std::uint8_t u8() { return atEnd() ? 0 : std::uint8_t(m_data[m_pos++]); }

    // Little-endian, so that the corpus writer and a hex dump agree.
    std::uint16_t u16()
    {
        const std::uint16_t low = u8();
        return std::uint16_t(low | std::uint16_t(u8()) << 8);
    }

    // Up to `n` bytes; fewer at the end of the input.
    QByteArrayView bytes(std::size_t n)
    {
        const std::size_t take = n < m_size - m_pos ? n : m_size - m_pos;
        const QByteArrayView view(m_data + m_pos, qsizetype(take));
        m_pos += take;
        return view;
    }

    // A string with a one-byte length in front.
    QByteArrayView shortString() { return bytes(u8()); }

    QByteArrayView rest() { return bytes(m_size - m_pos); }

private:
    const char *m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

// Stops the run with a message libFuzzer shows next to the input that caused it.
[[noreturn]] void fuzzFailure(const char *file, int line, const char *what);

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition))                                                                          \
            fuzzFailure(__FILE__, __LINE__, #condition);                                           \
    } while (false)
