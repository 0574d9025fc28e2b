#include "device/ByteSource.hpp"

#include <algorithm>
#include <cassert>

namespace brightfold {

std::vector<uint8_t> ByteSource::read(uint64_t offset, int64_t count)
{
    assert(count >= 0 && "a negative read count is a caller error");
    uint64_t total = size();
    if (count <= 0 || offset >= total)
        return {};
    auto wanted = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(count), total - offset));
    std::vector<uint8_t> bytes(wanted);
    bytes.resize(readInto(offset, bytes));
    return bytes;
}

}
