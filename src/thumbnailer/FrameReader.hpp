#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace brightfold {

/// The framing between the application and its thumbnail worker: each message is
/// a u32 big-endian payload length followed by that many payload bytes.
/// `encodeFrame` builds one; `FrameReader` takes a byte stream apart again.
std::vector<uint8_t> encodeFrame(std::span<const uint8_t> payload);

/// Collects bytes as they arrive on a pipe and hands out whole payloads in order.
/// A frame announcing more than the reader's limit marks the stream as broken for
/// good (nothing more is handed out), so a peer that sends garbage never makes
/// the reader buffer gigabytes.
class FrameReader {
public:
    explicit FrameReader(uint32_t maxPayloadBytes) : m_maxPayloadBytes(maxPayloadBytes) { }

    void append(std::span<const uint8_t> bytes);
    /// The next complete payload; nothing while the frame is still incomplete or
    /// once the stream is broken.
    std::optional<std::vector<uint8_t>> takeFrame();
    bool isBroken() const { return m_broken; }
    /// Bytes received and not yet handed out.
    size_t bufferedBytes() const { return m_buffer.size() - m_consumed; }

private:
    uint32_t m_maxPayloadBytes;
    std::vector<uint8_t> m_buffer;
    size_t m_consumed { 0 };
    bool m_broken { false };
};

}
