#pragma once

#include "TestSupport.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace brightfold::test {

/// A baseline JPEG that the JPEG carver bounds exactly: SOI, APP0, DQT, SOF0,
/// DHT, SOS, `scanBytes` of entropy-coded data free of FF bytes, EOI.
inline std::vector<uint8_t> jpegPhoto(size_t scanBytes, uint8_t seed)
{
    ByteBuilder b;
    b.bytes({ 0xFF, 0xD8 });
    b.bytes({ 0xFF, 0xE0 }).u16be(16).text("JFIF").u8(0).bytes({ 1, 1, 0 }).u16be(1).u16be(1).bytes({ 0, 0 });
    b.bytes({ 0xFF, 0xDB }).u16be(67).u8(0).fill(64, 1);
    b.bytes({ 0xFF, 0xC0 }).u16be(11).u8(8).u16be(8).u16be(8).u8(1).bytes({ 1, 0x11, 0 });
    b.bytes({ 0xFF, 0xC4 }).u16be(20).u8(0).u8(1).fill(15, 0).u8(0);
    b.bytes({ 0xFF, 0xDA }).u16be(8).u8(1).bytes({ 1, 0 }).bytes({ 0, 63, 0 });
    for (size_t i = 0; i < scanBytes; ++i)
        b.u8(static_cast<uint8_t>((seed + i * 7) % 0xFE)); // never FF
    b.bytes({ 0xFF, 0xD9 });
    return b.build();
}

/// The bytes of a card: zeros except where files were placed. Large cards cost
/// only the files' bytes.
class CardImage {
public:
    explicit CardImage(uint64_t size) : m_size(size) { }

    /// Puts `bytes` at `offset` (files must not overlap) and returns the offset.
    uint64_t place(uint64_t offset, std::vector<uint8_t> bytes)
    {
        m_files.push_back({ offset, std::move(bytes) });
        return offset;
    }

    uint64_t size() const { return m_size; }

    /// Copies the card's bytes at `offset` into `buffer` (which must fit in the card).
    void copy(uint64_t offset, std::span<uint8_t> buffer) const
    {
        std::fill(buffer.begin(), buffer.end(), 0);
        for (const auto& file : m_files) {
            uint64_t begin = std::max(offset, file.offset);
            uint64_t end = std::min(offset + buffer.size(), file.offset + file.bytes.size());
            if (begin < end)
                std::memcpy(buffer.data() + (begin - offset), file.bytes.data() + (begin - file.offset), end - begin);
        }
    }

    /// The whole card in memory, for small cards.
    std::vector<uint8_t> bytes() const
    {
        std::vector<uint8_t> all(m_size);
        copy(0, all);
        return all;
    }

private:
    struct PlacedFile {
        uint64_t offset;
        std::vector<uint8_t> bytes;
    };

    uint64_t m_size;
    std::vector<PlacedFile> m_files;
};

}
