#pragma once

#include "TestSupport.hpp"
#include "carve/FormatCarver.hpp"

#include <gtest/gtest.h>

namespace brightfold::test {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr auto kExact = CarveConfidence::exact;
constexpr auto kHeuristic = CarveConfidence::heuristic;

inline std::vector<uint8_t> prefix(const std::vector<uint8_t>& bytes, size_t count) { return { bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count) }; }

/// A baseline JPEG that the JPEG carver bounds exactly: SOI, APP0, DQT, SOF0,
/// DHT, SOS, `scanBytes` of entropy-coded data free of FF bytes, EOI.
inline std::vector<uint8_t> jpegPhoto(size_t scanBytes, uint8_t seed)
{
    ByteBuilder b;
    b.bytes({ 0xFF, 0xD8, 0xFF, 0xE0 }).u16be(16).text("JFIF").u8(0).bytes({ 1, 1, 0 }).u16be(1).u16be(1).bytes({ 0, 0 });
    b.bytes({ 0xFF, 0xDB }).u16be(67).u8(0).fill(64, 1).bytes({ 0xFF, 0xC0 }).u16be(11).u8(8).u16be(8).u16be(8).u8(1).bytes({ 1, 0x11, 0 });
    b.bytes({ 0xFF, 0xC4 }).u16be(20).u8(0).u8(1).fill(15, 0).u8(0).bytes({ 0xFF, 0xDA }).u16be(8).u8(1).bytes({ 1, 0, 0, 63, 0 });
    for (size_t i = 0; i < scanBytes; ++i)
        b.u8(static_cast<uint8_t>((seed + i * 7) % 0xFE)); // never FF
    return b.bytes({ 0xFF, 0xD9 }).build();
}

/// CRC-32 as zip, gzip, 7z and RAR use it (reflected, polynomial EDB88320), bit by bit.
inline uint32_t crc32Of(const std::vector<uint8_t>& bytes, size_t from = 0, size_t count = SIZE_MAX)
{
    uint32_t crc = 0xFFFF'FFFF;
    for (size_t i = from; i < std::min(bytes.size(), from + std::min(count, bytes.size() - from)); ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB8'8320 & (0u - (crc & 1)));
    }
    return ~crc;
}

/// One row of a carver's table: a source, where the file starts, and the answer as a scan records it.
struct CarveCase {
    std::string name;
    std::shared_ptr<SparseSource> source;
    std::optional<uint64_t> length;              ///< no value: no match
    CarveConfidence confidence { kExact };
    std::string ext {};                          ///< empty: not checked
    uint64_t at { 0 };
    uint64_t readLimit { UINT64_MAX };           ///< no read may reach past this offset, nor past the carver's walk window
    uint64_t deliveredLimit { UINT64_MAX };      ///< nor may more bytes than this be read
};

inline void expectCarves(const FormatCarver& carver, const std::vector<CarveCase>& cases)
{
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        ReadContext context(row.source);
        auto match = carver.carve(row.at, context);
        if (match)
            match = match->clippedTo(row.source->size() - row.at);
        EXPECT_EQ(match ? std::optional(match->length) : std::nullopt, row.length);
        if (match && row.length) {
            EXPECT_EQ(match->confidence, row.confidence);
            EXPECT_TRUE(row.ext.empty() || match->ext == row.ext) << match->ext;
        }
        EXPECT_LE(row.source->furthest, std::min(row.readLimit, row.at + carver.walkWindow().reach));
        EXPECT_LE(row.source->delivered, row.deliveredLimit);
    }
}

}
