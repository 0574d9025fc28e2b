#pragma once

#include "device/ByteSource.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace brightfold::test {

/// A source of any size that reads as zeros except where bytes were placed, so
/// a test can put an end marker 256 MiB after a header without allocating the
/// bytes between them.
class PlacedBytesSource final : public ByteSource {
public:
    explicit PlacedBytesSource(uint64_t size)
        : m_size(size)
    {
    }

    PlacedBytesSource& place(uint64_t at, std::vector<uint8_t> bytes)
    {
        m_pieces.emplace_back(at, std::move(bytes));
        return *this;
    }

    uint64_t size() const override { return m_size; }
    int64_t badReads() const override { return 0; }
    std::string descriptionForReport() const override { return "placed(" + std::to_string(m_size) + " bytes)"; }
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
        return count;
    }

private:
    uint64_t m_size;
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> m_pieces;
};

}
