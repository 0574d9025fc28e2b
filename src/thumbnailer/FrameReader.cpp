#include "FrameReader.hpp"

namespace brightfold {

namespace {

constexpr size_t kLengthBytes = 4; // u32 big-endian payload length

}

std::vector<uint8_t> encodeFrame(std::span<const uint8_t> payload)
{
    const auto length = static_cast<uint32_t>(payload.size());
    std::vector<uint8_t> frame;
    frame.reserve(kLengthBytes + payload.size());
    for (int shift : { 24, 16, 8, 0 })
        frame.push_back(static_cast<uint8_t>(length >> shift));
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

void FrameReader::append(std::span<const uint8_t> bytes)
{
    if (m_broken)
        return;
    // Drop what was handed out before growing, so the buffer holds at most one
    // frame plus what arrived behind it.
    if (m_consumed > 0) {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_consumed));
        m_consumed = 0;
    }
    m_buffer.insert(m_buffer.end(), bytes.begin(), bytes.end());
}

std::optional<std::vector<uint8_t>> FrameReader::takeFrame()
{
    if (m_broken)
        return std::nullopt;
    const size_t available = m_buffer.size() - m_consumed;
    if (available < kLengthBytes)
        return std::nullopt;
    const uint8_t* head = m_buffer.data() + m_consumed;
    const uint32_t length = (uint32_t { head[0] } << 24) | (uint32_t { head[1] } << 16)
        | (uint32_t { head[2] } << 8) | uint32_t { head[3] };
    if (length > m_maxPayloadBytes) {
        m_broken = true;
        m_buffer.clear();
        m_consumed = 0;
        return std::nullopt;
    }
    if (length > available - kLengthBytes)
        return std::nullopt;
    std::vector<uint8_t> payload(head + kLengthBytes, head + kLengthBytes + length);
    m_consumed += kLengthBytes + length;
    return payload;
}

}
