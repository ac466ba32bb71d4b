#pragma once
// Reads a fuzzer's input as a sequence of chunks: one length byte, then up to
// that many bytes (fewer at the end of the input). An exhausted input gives
// empty chunks, so a caller always finishes its round.
#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace norvik::fuzz {

class FuzzBytes {
public:
    FuzzBytes(const std::uint8_t *data, std::size_t size) : m_data(data), m_size(size) {}

    bool Empty() const { return m_pos >= m_size; }

    std::uint8_t Byte()
    {
        return Empty() ? 0 : m_data[m_pos++];
    }

    // Points at the next chunk and returns its length (0 to 255).
    std::size_t Chunk(const std::uint8_t *&start)
    {
        const std::size_t wanted = Byte();
        const std::size_t length = std::min(wanted, m_size - m_pos);
        start = m_data + m_pos;
        m_pos += length;
        return length;
    }

private:
    const std::uint8_t *m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

} // namespace norvik::fuzz
