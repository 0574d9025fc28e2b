// Fuzzes the block device source over a simulated failing device: any block
// size, a size from the device or from fstat, bad blocks anywhere, interrupted
// calls and short reads. Every read must return exactly the bytes asked for
// (up to the end of the device), the device's bytes where a block is readable and
// zeros where it is not, and count each unreadable block of the span once.
//
// Input: geometry flags, the size, the bad blocks, how often calls are
// interrupted or cut short, then the reads (offset and count) to make.

#include "FuzzSource.hpp"

#include "device/BlockDeviceSource.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <set>

using namespace brightfold;
using namespace brightfold::fuzz;

namespace {

uint8_t deviceByte(uint64_t offset)
{
    return static_cast<uint8_t>(offset * 131 + (offset >> 8) + 1);
}

/// A device whose listed blocks always fail, and whose calls are interrupted or
/// come back short as the input says (a bounded number of times, as a kernel
/// would not interrupt the same call for ever).
class SimulatedDevice final : public DeviceCalls {
public:
    SimulatedDevice(uint64_t blockSize, uint64_t size, bool geometryKnown, std::set<uint64_t> badBlocks, unsigned interruptions, uint8_t shortReads)
        : m_blockSize(blockSize), m_size(size), m_geometryKnown(geometryKnown), m_badBlocks(std::move(badBlocks)), m_interruptions(interruptions), m_shortReads(shortReads) { }

    bool isBad(uint64_t offset) const { return m_badBlocks.contains(offset / m_blockSize); }

    ssize_t pread(int, void* buffer, size_t count, off_t offset) override
    {
        if (++m_calls > 50'000'000)
            propertyFailed("the source keeps calling pread");
        if (m_interruptions > 0 && (m_calls & 3) == 0) {
            --m_interruptions;
            errno = EINTR;
            return -1;
        }
        auto at = static_cast<uint64_t>(offset);
        if (at >= m_size || count == 0)
            return 0;
        uint64_t end = std::min<uint64_t>(at + count, m_size);
        auto bad = m_badBlocks.lower_bound(at / m_blockSize);
        if (bad != m_badBlocks.end() && *bad * m_blockSize < end) {
            uint64_t badAt = std::max(at, *bad * m_blockSize);
            if (badAt == at) {
                errno = EIO;
                return -1;
            }
            end = badAt;
        }
        // Cut some reads short: half of what could be delivered, at least one byte.
        if ((m_calls % 8) < (m_shortReads & 7) && end - at > 1)
            end = at + (end - at) / 2;
        auto* out = static_cast<uint8_t*>(buffer);
        for (uint64_t x = at; x < end; ++x)
            out[x - at] = deviceByte(x);
        return static_cast<ssize_t>(end - at);
    }
    int logicalBlockSize(int, int& bytes) override
    {
        if (!m_geometryKnown) {
            errno = ENOTTY;
            return -1;
        }
        bytes = static_cast<int>(m_blockSize);
        return 0;
    }
    int deviceSize(int, uint64_t& bytes) override
    {
        bytes = m_size;
        return 0;
    }
    int fstat(int, struct stat& status) override
    {
        status = {};
        status.st_size = static_cast<off_t>(m_size);
        return 0;
    }

private:
    uint64_t m_blockSize;
    uint64_t m_size;
    bool m_geometryKnown;
    std::set<uint64_t> m_badBlocks;
    unsigned m_interruptions;
    uint8_t m_shortReads;
    uint64_t m_calls { 0 };
};

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize)
{
    InputReader reader({ input, inputSize });
    const uint8_t geometry = reader.u8();
    constexpr uint64_t kBlockSizes[] = { 512, 4096, 1, 3 };
    const bool geometryKnown = !(geometry & 4);
    // Without the device's geometry the source reads 512-byte blocks of a size fstat gives.
    const uint64_t blockSize = geometryKnown ? kBlockSizes[geometry & 3] : 512;
    uint64_t size = reader.u32() % (4 * 1024 * 1024);
    if (geometryKnown)
        size -= size % blockSize; // a device holds whole blocks
    const uint64_t blocks = size == 0 ? 1 : (size + blockSize - 1) / blockSize;
    std::set<uint64_t> badBlocks;
    for (unsigned i = reader.u8() % 32; i > 0; --i) {
        uint64_t first = reader.u32() % blocks;
        unsigned run = 1 + reader.u8() % 8;
        for (unsigned k = 0; k < run && first + k < blocks; ++k)
            badBlocks.insert(first + k);
    }
    const unsigned interruptions = reader.u8() % 16;
    const uint8_t shortReads = reader.u8();

    auto device = std::make_shared<SimulatedDevice>(blockSize, size, geometryKnown, badBlocks, interruptions, shortReads);
    std::unique_ptr<BlockDeviceSource> source;
    try {
        source = std::make_unique<BlockDeviceSource>(UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC)), "/dev/fuzz", device);
    } catch (const DeviceError& error) {
        if (size != 0 || error.kind() != DeviceError::Kind::notAFileOrDevice)
            propertyFailed("a device with a size was refused", size);
        return 0;
    }
    if (size == 0)
        propertyFailed("a device of size 0 was accepted");
    if (source->size() != size)
        propertyFailed("the source's size differs from the device's", source->size(), size);

    std::vector<uint8_t> buffer;
    for (int read = 0; read < 16 && !reader.rest().empty(); ++read) {
        const uint64_t offset = reader.u32() % (size + 16);
        const size_t count = reader.u32() % (64 * 1024);
        buffer.assign(count, 0xAA);
        const int64_t before = source->badReads();
        const size_t got = source->readInto(offset, buffer);

        const uint64_t expected = offset >= size ? 0 : std::min<uint64_t>(count, size - offset);
        if (got != expected)
            propertyFailed("a read returned another count than asked for", got, expected);
        for (uint64_t i = 0; i < got; ++i) {
            uint8_t want = device->isBad(offset + i) ? 0 : deviceByte(offset + i);
            if (buffer[i] != want)
                propertyFailed("a byte that is neither the device's nor the zero of an unreadable block", offset + i);
        }
        // Each unreadable block of the aligned span is counted once.
        int64_t badInSpan = 0;
        if (got > 0) {
            for (uint64_t block = offset / blockSize; block * blockSize < offset + got; ++block)
                badInSpan += badBlocks.contains(block) ? 1 : 0;
        }
        if (source->badReads() - before != badInSpan)
            propertyFailed("unreadable blocks miscounted", static_cast<uint64_t>(source->badReads() - before), static_cast<uint64_t>(badInSpan));
    }
    return 0;
}
