#pragma once

#include "carve/CarvedFile.hpp"
#include "device/ByteSource.hpp"

#include <vector>

namespace brightfold {

/// The bytes of a fragmented file as one source: its runs on another source, one
/// after the other, so a carver can walk the file as if it were contiguous. Reads
/// and unreadable regions are the other source's; runs reaching past its end
/// deliver what it has.
class RunSource : public ByteSource {
public:
    RunSource(ByteSourcePtr source, std::vector<SourceRun> runs);

    uint64_t size() const override { return m_size; }
    int64_t badReads() const override { return m_source->badReads(); }
    std::string descriptionForReport() const override { return m_source->descriptionForReport(); }
    size_t readInto(uint64_t offset, std::span<uint8_t> buffer) override;

    /// How many bytes the reads so far delivered, all together.
    uint64_t delivered() const { return m_delivered; }

private:
    ByteSourcePtr m_source;
    std::vector<SourceRun> m_runs;
    std::vector<uint64_t> m_runStarts; ///< where each run begins in the file
    uint64_t m_size { 0 };
    uint64_t m_delivered { 0 };
};

}
