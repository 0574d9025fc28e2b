#pragma once

#include "device/ByteSource.hpp"

namespace brightfold {

/// A source over a buffer in memory. Never fails, never counts bad reads.
class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::vector<uint8_t> data) : m_data(std::move(data)) { }

    uint64_t size() const override { return m_data.size(); }
    int64_t badReads() const override { return 0; }
    std::string descriptionForReport() const override;
    size_t readInto(uint64_t offset, std::span<uint8_t> buffer) override;
    bool allowsConcurrentReads() const override { return true; }

private:
    const std::vector<uint8_t> m_data;
};

}
