// Reads a fuzz input from the front: small integers that steer the run and byte strings that
// feed the code under test. Past the end every integer is 0 and every string is empty, so any
// input, however short, is a valid run.
#pragma once

#include <QByteArrayView>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

class FuzzInput
{
public:
    FuzzInput(const std::uint8_t *data, std::size_t size)
        : m_rest(reinterpret_cast<const char *>(data), qsizetype(size))
    {
    }
    bool atEnd() const { return m_rest.isEmpty(); }
    std::uint8_t u8() { return atEnd() ? 0 : std::uint8_t(bytes(1)[0]); }
    std::uint16_t u16() // little-endian
    {
        const std::uint16_t low = u8();
        return std::uint16_t(low | u8() << 8);
    }
    QByteArrayView bytes(qsizetype n) // up to `n` bytes; fewer at the end of the input
    {
        const QByteArrayView taken = m_rest.first(std::min(n, m_rest.size()));
        m_rest = m_rest.sliced(taken.size());
        return taken;
    }
    QByteArrayView shortString() { return bytes(u8()); } // a one-byte length in front
    QByteArrayView rest() { return bytes(m_rest.size()); }

private:
    QByteArrayView m_rest;
};

// Stops the run with a message beside the input that caused it: libFuzzer reports abort() as a
// crash and saves the input.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
