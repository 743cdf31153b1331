#pragma once

#include <cstddef>
#include <cstdint>

// Shared by the fuzz targets: the input read as small numbers from its
// front, so that one target can pick a variant and cut its input into
// packets the way a network would deliver them.
class FuzzInput
{
public:
    FuzzInput(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    // The next byte, or 0 once the input is used up.
    uint8_t byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    // Up to `count` of the remaining bytes; `taken` says how many.
    const uint8_t* take(size_t count, size_t* taken)
    {
        const uint8_t* at = m_data + m_pos;
        *taken = count < remaining() ? count : remaining();
        m_pos += *taken;
        return at;
    }
    size_t remaining() const { return m_size - m_pos; }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};
