#include "carve/RunSource.hpp"

#include <algorithm>

namespace brightfold {

RunSource::RunSource(ByteSourcePtr source, std::vector<SourceRun> runs)
    : m_source(std::move(source))
    , m_runs(std::move(runs))
{
    for (const auto& run : m_runs) {
        m_runStarts.push_back(m_size);
        m_size += run.length;
    }
}

size_t RunSource::readInto(uint64_t offset, std::span<uint8_t> buffer)
{
    size_t delivered = 0;
    // The last run that begins at or before the offset.
    auto index = static_cast<size_t>(std::upper_bound(m_runStarts.begin(), m_runStarts.end(), offset) - m_runStarts.begin());
    for (; index > 0 && index <= m_runs.size() && delivered < buffer.size(); ++index) {
        const SourceRun& run = m_runs[index - 1];
        const uint64_t into = offset + delivered - m_runStarts[index - 1];
        if (into >= run.length)
            continue;
        const size_t wanted = static_cast<size_t>(std::min<uint64_t>(run.length - into, buffer.size() - delivered));
        const size_t got = m_source->readInto(run.offset + into, buffer.subspan(delivered, wanted));
        delivered += got;
        if (got < wanted)
            break; // the source ended inside the run
    }
    m_delivered += delivered;
    return delivered;
}

}
