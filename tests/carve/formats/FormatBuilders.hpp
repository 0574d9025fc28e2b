#pragma once

#include "TestSupport.hpp"
#include "carve/FormatCarver.hpp"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace brightfold::test {

/// A source of any size that holds zeros except where bytes were placed, so a
/// test can put a header near 4 GiB or a file's end past 256 MiB without
/// allocating it. Counts the bytes it delivers, so a test can check that a
/// walk reads headers and not image data.
class SparseSource final : public ByteSource {
public:
    explicit SparseSource(uint64_t size)
        : m_size(size)
    {
    }

    SparseSource& place(uint64_t at, std::vector<uint8_t> bytes)
    {
        m_pieces.emplace_back(at, std::move(bytes));
        return *this;
    }

    uint64_t size() const override { return m_size; }
    int64_t badReads() const override { return 0; }
    std::string descriptionForReport() const override { return "sparse(" + std::to_string(m_size) + " bytes)"; }
    size_t readInto(uint64_t offset, std::span<uint8_t> buffer) override
    {
        if (offset >= m_size)
            return 0;
        const size_t count = static_cast<size_t>(std::min<uint64_t>(buffer.size(), m_size - offset));
        std::fill_n(buffer.begin(), count, uint8_t { 0 });
        for (const auto& [at, bytes] : m_pieces) {
            const uint64_t from = std::max(at, offset);
            const uint64_t to = std::min(at + bytes.size(), offset + count);
            if (from < to)
                std::memcpy(buffer.data() + (from - offset), bytes.data() + (from - at), static_cast<size_t>(to - from));
        }
        m_bytesDelivered += count;
        return count;
    }

    uint64_t bytesDelivered() const { return m_bytesDelivered; }

private:
    uint64_t m_size;
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> m_pieces;
    uint64_t m_bytesDelivered { 0 };
};

/// A small real file from tests/data/images (see the README there for the command that made it).
inline std::vector<uint8_t> imageFile(const std::string& name)
{
    return readWholeFile(std::filesystem::path(BRIGHTFOLD_TEST_DATA_DIR) / "images" / name);
}

/// Carves the file starting at `at` in a source holding `bytes`: the match as a
/// scan records it, cut at the source's end.
inline std::optional<CarveMatch> carveRecorded(const FormatCarver& carver, std::vector<uint8_t> bytes, uint64_t at = 0)
{
    const uint64_t available = bytes.size() - std::min<uint64_t>(at, bytes.size());
    ReadContext context = contextOver(std::move(bytes));
    auto match = carver.carve(at, context);
    return match ? std::optional(match->clippedTo(available)) : std::nullopt;
}

/// Carves `bytes` as the whole source, the file starting at offset 0.
inline std::optional<CarveMatch> carveWhole(const FormatCarver& carver, std::vector<uint8_t> bytes)
{
    ReadContext context = contextOver(std::move(bytes));
    return carver.carve(0, context);
}

/// Carves `bytes` placed at `at` in a source of zeros that runs `after` bytes past them.
inline std::optional<CarveMatch> carveEmbedded(const FormatCarver& carver, const std::vector<uint8_t>& bytes, uint64_t at, uint64_t after)
{
    std::vector<uint8_t> source(static_cast<size_t>(at), 0);
    source.insert(source.end(), bytes.begin(), bytes.end());
    source.resize(source.size() + static_cast<size_t>(after), 0);
    ReadContext context = contextOver(std::move(source));
    return carver.carve(at, context);
}

}
