#include "device/MemorySource.hpp"

#include <algorithm>
#include <cstring>

namespace brightfold {

std::string MemorySource::descriptionForReport() const
{
    return "memory(" + std::to_string(m_data.size()) + " bytes)";
}

size_t MemorySource::readInto(uint64_t offset, std::span<uint8_t> buffer)
{
    if (offset >= m_data.size())
        return 0;
    size_t count = std::min<uint64_t>(buffer.size(), m_data.size() - offset);
    if (count > 0)
        std::memcpy(buffer.data(), m_data.data() + offset, count);
    return count;
}

}
