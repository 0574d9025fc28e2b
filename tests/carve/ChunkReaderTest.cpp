#include "TestSupport.hpp"

#include "carve/ChunkReader.hpp"
#include "carve/ReadContext.hpp"
#include "device/DeviceError.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <mutex>
#include <optional>
#include <thread>

namespace brightfold::test {
namespace {

constexpr uint64_t kChunk = 4096;

/// Patterned bytes that remembers every read and may hold unreadable regions,
/// which it delivers as zeros and counts as a zero-filling device does.
class RecordingSource final : public ByteSource {
public:
    explicit RecordingSource(uint64_t size, bool concurrent = false) : m_bytes(patterned(size)), m_concurrent(concurrent) { }
    explicit RecordingSource(std::vector<uint8_t> bytes, bool concurrent = false) : m_bytes(std::move(bytes)), m_concurrent(concurrent) { }
    uint64_t size() const override { return m_bytes.size(); }
    int64_t badReads() const override { return m_badReads; }
    std::string descriptionForReport() const override { return "recording"; }
    bool allowsConcurrentReads() const override { return m_concurrent; }
    size_t readInto(uint64_t offset, std::span<uint8_t> buffer) override
    {
        std::vector<UnreadableRegion> met;
        size_t delivered = readIntoUncounted(offset, buffer, met);
        countUnreadable(static_cast<int64_t>(met.size()));
        return delivered;
    }
    size_t readIntoUncounted(uint64_t offset, std::span<uint8_t> buffer, std::vector<UnreadableRegion>& unreadable) override
    {
        std::lock_guard lock(m_lock);
        if (failsAt && offset <= *failsAt && *failsAt < offset + buffer.size())
            throw DeviceError::readFailed(*failsAt, EIO);
        const uint64_t end = std::min<uint64_t>(offset + buffer.size(), std::min<uint64_t>(m_bytes.size(), endsAt));
        if (offset >= end)
            return 0;
        std::copy(m_bytes.begin() + static_cast<ptrdiff_t>(offset), m_bytes.begin() + static_cast<ptrdiff_t>(end), buffer.begin());
        for (const auto& region : bad) {
            if (region.offset < end && offset < region.offset + region.length) {
                const uint64_t from = std::max(offset, region.offset), to = std::min(end, region.offset + region.length);
                std::fill(buffer.begin() + static_cast<ptrdiff_t>(from - offset), buffer.begin() + static_cast<ptrdiff_t>(to - offset), uint8_t { 0 });
                unreadable.push_back(region);
            }
        }
        reads.push_back({ offset, end - offset });
        delivered += end - offset;
        return static_cast<size_t>(end - offset);
    }
    void countUnreadable(int64_t regions) override { m_badReads += regions; }

    std::vector<uint8_t> expected(uint64_t offset, uint64_t count) const
    {
        std::vector<uint8_t> bytes(m_bytes.begin() + static_cast<ptrdiff_t>(offset), m_bytes.begin() + static_cast<ptrdiff_t>(offset + count));
        for (const auto& region : bad) {
            for (uint64_t at = std::max(offset, region.offset); at < std::min(offset + count, region.offset + region.length); ++at)
                bytes[at - offset] = 0;
        }
        return bytes;
    }

    std::vector<UnreadableRegion> bad;
    std::vector<std::pair<uint64_t, uint64_t>> reads;
    uint64_t delivered { 0 };
    uint64_t endsAt { UINT64_MAX };
    std::optional<uint64_t> failsAt; ///< a read over this offset throws

private:
    std::vector<uint8_t> m_bytes;
    bool m_concurrent;
    int64_t m_badReads { 0 };
    std::mutex m_lock;
};

std::vector<uint8_t> copyOf(std::span<const uint8_t> bytes) { return { bytes.begin(), bytes.end() }; }

/// A context searching through a reader of `source`, the first chunk taken, as a scan starts.
struct SearchThroughChunks {
    explicit SearchThroughChunks(RecordingSource& source)
        : context(std::shared_ptr<ByteSource>(&source, [](ByteSource*) { }))
        , reader(source, kChunk)
    {
        context.readThrough(&reader);
        reader.take(0);
        context.setWindow(reader.heldStart(), reader.held());
    }
    ~SearchThroughChunks() { context.readThrough(nullptr); }

    ReadContext context;
    ChunkReader reader;
};

TEST(ChunkReaderTest, TakeGivesTheChunkFromTheOffsetToItsEnd)
{
    RecordingSource source(3 * kChunk + 100);
    struct Row {
        uint64_t offset;
        uint64_t end;
    };
    for (auto [offset, end] : { Row { 0, kChunk }, Row { 512, kChunk }, Row { kChunk + 700, 2 * kChunk }, Row { 3 * kChunk + 1, 3 * kChunk + 100 } }) {
        SCOPED_TRACE(offset);
        ChunkReader reader(source, kChunk);
        EXPECT_EQ(copyOf(reader.take(offset)), source.expected(offset, end - offset));
        EXPECT_EQ(source.reads.back(), std::pair(offset, end - offset)) << "the skipped front of a chunk is not read";
    }
}

TEST(ChunkReaderTest, ACarverReadingAheadAndTheScanShareEachRead)
{
    // Guards against a walk ahead of the scan reading bytes that the scan reads again.
    for (bool concurrent : { false, true }) {
        SCOPED_TRACE(concurrent);
        RecordingSource source(6 * kChunk, concurrent);
        ChunkReader reader(source, kChunk, 4);
        reader.take(0);
        struct Read {
            uint64_t offset;
            uint64_t count;
        };
        // In one chunk ahead, across two, and into the last one held.
        for (auto [offset, count] : { Read { kChunk + 10, 100 }, Read { 2 * kChunk - 50, 100 }, Read { 3 * kChunk + 4000, 96 } }) {
            SCOPED_TRACE(offset);
            auto run = reader.bytes(offset, count);
            ASSERT_TRUE(run);
            EXPECT_EQ(copyOf(run->span()), source.expected(offset, count));
        }
        EXPECT_FALSE(reader.bytes(4 * kChunk, 1)) << "beyond the chunks held: the caller reads the source";
        EXPECT_FALSE(reader.bytes(4 * kChunk - 1, 2)) << "running out of them";
        for (uint64_t offset = kChunk; offset < 6 * kChunk; offset += kChunk)
            EXPECT_EQ(copyOf(reader.take(offset)), source.expected(offset, kChunk));
        EXPECT_EQ(source.delivered, 6 * kChunk) << "every byte read once";
    }
}

TEST(ChunkReaderTest, TheThreeChunksAfterTheScannedOneAreReadAhead)
{
    // Guards against a scan that waits for each chunk's read: while one chunk is
    // scanned, the next is ready and the ones after it being read.
    struct Row {
        uint64_t taken;
        std::vector<uint64_t> read; ///< chunk offsets read
    };
    const Row rows[] = {
        { 0, { 0, kChunk, 2 * kChunk, 3 * kChunk } },
        { kChunk, { kChunk, 2 * kChunk, 3 * kChunk, 4 * kChunk } },
        { 3 * kChunk, { 3 * kChunk, 4 * kChunk } }, // the source ends
        { 4 * kChunk, { 4 * kChunk } },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.taken);
        RecordingSource source(5 * kChunk, true);
        {
            ChunkReader reader(source, kChunk);
            reader.take(row.taken);
        } // waits for the reads ahead
        std::vector<uint64_t> offsets;
        for (const auto& [offset, length] : source.reads)
            offsets.push_back(offset);
        std::ranges::sort(offsets);
        EXPECT_EQ(offsets, row.read);
    }
}

TEST(ChunkReaderTest, TheTaskAfterEachReadAheadGetsItsChunk)
{
    // Guards the kept runs' memory being set up for the bytes each read brought.
    RecordingSource source(4 * kChunk + 100, true);
    std::mutex lock;
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    const auto caller = std::this_thread::get_id();
    bool onCaller = false;
    {
        ChunkReader reader(source, kChunk);
        reader.afterReadAhead([&](uint64_t from, uint64_t to) {
            std::lock_guard guard(lock);
            ranges.push_back({ from, to });
            onCaller = onCaller || std::this_thread::get_id() == caller;
        });
        for (uint64_t offset = 0; offset < source.size(); offset += kChunk)
            reader.take(offset);
    }
    std::ranges::sort(ranges);
    const std::vector<std::pair<uint64_t, uint64_t>> expected { { kChunk, 2 * kChunk }, { 2 * kChunk, 3 * kChunk },
        { 3 * kChunk, 4 * kChunk }, { 4 * kChunk, 4 * kChunk + 100 } }; // the first chunk is read by the caller
    EXPECT_EQ(ranges, expected);
    EXPECT_FALSE(onCaller);
}

TEST(ChunkReaderTest, ASearchThroughTheHeldChunksFindsAPatternAcrossTheirBoundaries)
{
    // Guards the pieces a search takes at a chunk boundary: inside the chunk before
    // it, then a short one around it.
    const std::vector<uint8_t> marker { '%', '%', 'E', 'O', 'F' };
    for (int64_t shift = -6; shift <= 2; ++shift) {
        const uint64_t at = static_cast<uint64_t>(2 * int64_t { kChunk } + shift);
        SCOPED_TRACE(shift);
        RecordingSource source(ByteBuilder().place(at, marker).padTo(4 * kChunk).build());
        SearchThroughChunks search(source);
        EXPECT_EQ(search.context.find(marker, 10, 4 * kChunk, 1024), at);
        EXPECT_EQ(search.context.find(marker, at + 1, 4 * kChunk, 1024), std::nullopt);
        EXPECT_EQ(source.delivered, 4 * kChunk) << "every chunk read once, none around a boundary again";
    }
}

TEST(ChunkReaderTest, AReadAheadThatFailsFailsForWhoeverNeedsTheChunk)
{
    // Guards against an error on a reading thread being lost, or the scan hanging on it.
    RecordingSource source(6 * kChunk, true);
    source.failsAt = 2 * kChunk + 10;
    ChunkReader reader(source, kChunk);
    EXPECT_EQ(copyOf(reader.take(0)), source.expected(0, kChunk));
    EXPECT_THROW(reader.bytes(2 * kChunk, 20), DeviceError) << "a carver reading into the chunk";
    EXPECT_THROW(reader.take(2 * kChunk), DeviceError) << "the scan reaching it";
    source.failsAt.reset();
    EXPECT_EQ(copyOf(reader.take(2 * kChunk)), source.expected(2 * kChunk, kChunk)) << "read again when asked again";
    EXPECT_EQ(copyOf(reader.take(5 * kChunk)), source.expected(5 * kChunk, kChunk));
}

TEST(ChunkReaderTest, AJumpPastTheHeldChunksLetsThemGo)
{
    RecordingSource source(10 * kChunk);
    ChunkReader reader(source, kChunk);
    reader.take(0);
    ASSERT_TRUE(reader.bytes(2 * kChunk, 10));
    EXPECT_EQ(copyOf(reader.take(7 * kChunk + 512)), source.expected(7 * kChunk + 512, kChunk - 512));
    EXPECT_FALSE(reader.bytes(2 * kChunk, 10)) << "behind the scan now";
    auto ahead = reader.bytes(9 * kChunk, 10);
    ASSERT_TRUE(ahead);
    EXPECT_EQ(copyOf(ahead->span()), source.expected(9 * kChunk, 10));
}

TEST(ChunkReaderTest, ASourceThatStopsEarlyGivesFewerBytes)
{
    RecordingSource source(4 * kChunk);
    source.endsAt = kChunk + 1000;
    ChunkReader reader(source, kChunk);
    EXPECT_EQ(reader.take(0).size(), kChunk);
    auto run = reader.bytes(kChunk - 10, 2000);
    ASSERT_TRUE(run);
    EXPECT_EQ(copyOf(run->span()), source.expected(kChunk - 10, 1010));
    EXPECT_EQ(reader.take(kChunk).size(), 1000u);
    EXPECT_TRUE(reader.take(kChunk + 1000).empty());
    EXPECT_TRUE(reader.take(2 * kChunk).empty());
}

TEST(ChunkReaderTest, UnreadableRegionsAreCountedOnceWhenTheirBytesAreHandedOut)
{
    // Guards against a region counted again for every reader that touches it, or counted although nobody saw it.
    RecordingSource source(6 * kChunk);
    source.bad = { { kChunk + 100, 512 }, { 2 * kChunk + 100, 512 }, { 4 * kChunk + 100, 512 } };
    ChunkReader reader(source, kChunk);
    reader.take(0);
    EXPECT_EQ(source.badReads(), 0);
    auto ahead = reader.bytes(kChunk, 1000);
    ASSERT_TRUE(ahead);
    EXPECT_EQ(copyOf(ahead->span()), source.expected(kChunk, 1000));
    EXPECT_EQ(source.badReads(), 1) << "a carver saw the first";
    ASSERT_TRUE(reader.bytes(2 * kChunk, 10));
    EXPECT_EQ(source.badReads(), 1) << "the second is read but not yet handed out";
    reader.take(kChunk);
    EXPECT_EQ(source.badReads(), 1) << "the scan takes the first again";
    reader.take(2 * kChunk + 1024); // jumps past the second
    EXPECT_EQ(source.badReads(), 1);
    reader.take(4 * kChunk);
    EXPECT_EQ(source.badReads(), 2);
}

TEST(ChunkReaderTest, TheContextSearchesAheadThroughTheHeldChunks)
{
    const std::vector<uint8_t> marker { '%', '%', 'E', 'O', 'F' };
    RecordingSource source(ByteBuilder().place(3 * kChunk - 2, marker).padTo(8 * kChunk).build()); // straddling two chunks
    SearchThroughChunks search(source);
    EXPECT_EQ(search.context.find(marker, 10, 8 * kChunk, 1024), 3 * kChunk - 2);
    const uint64_t readAfterSearch = source.delivered;
    EXPECT_EQ(readAfterSearch, 3 * kChunk + kChunk) << "the chunks up to the marker, each once";
    for (uint64_t offset = kChunk; offset < 4 * kChunk; offset += kChunk)
        search.reader.take(offset);
    EXPECT_EQ(source.delivered, readAfterSearch) << "the scan finds them held";
}

TEST(ChunkReaderTest, ASearchThatMayWaitStopsAtTheChunksReadAndGoesOnFromThere)
{
    // Guards against a search reading past the chunks read what the scan reads again later.
    const std::vector<uint8_t> marker { '%', '%', 'E', 'O', 'F' };
    for (bool concurrent : { false, true }) {
        SCOPED_TRACE(concurrent ? "read ahead on a second thread" : "one chunk at a time");
        RecordingSource source(ByteBuilder().place(9 * kChunk + 7, marker).padTo(12 * kChunk).build(), concurrent);
        auto shared = std::shared_ptr<ByteSource>(&source, [](ByteSource*) { });
        ReadContext context(shared);
        std::optional<ChunkReader> held(std::in_place, source, kChunk);
        ChunkReader& reader = *held;
        context.readThrough(&reader);
        context.letSearchesWait(true);
        std::optional<uint64_t> found;
        uint64_t scanned = 0;
        for (; !found && scanned < 12 * kChunk; scanned += kChunk) {
            reader.take(scanned);
            context.setWindow(reader.heldStart(), reader.held());
            try {
                found = context.find(marker, 10, 12 * kChunk, 1024);
            } catch (const SearchAheadOfScan& ahead) {
                EXPECT_GT(ahead.until, reader.readEnd());
                EXPECT_EQ(reader.readEnd(), scanned + (concurrent ? 2 : 1) * kChunk) << "the scanned chunk and the next one";
            }
        }
        EXPECT_EQ(found, 9 * kChunk + 7);
        EXPECT_EQ(scanned, (concurrent ? 9 : 10) * kChunk) << "found once the chunk holding the marker is read";
        context.readThrough(nullptr);
        held.reset(); // the reads ahead end
        std::vector<uint64_t> chunks;
        uint64_t straddling = 0; // a search going on from behind the chunk now scanned reads up to it
        for (const auto& [offset, length] : source.reads)
            length == kChunk ? chunks.push_back(offset) : void(straddling += length);
        std::sort(chunks.begin(), chunks.end());
        EXPECT_EQ(chunks.size(), concurrent ? 12u : 10u) << "up to the marker's chunk, and those read ahead of it";
        EXPECT_EQ(std::adjacent_find(chunks.begin(), chunks.end()), chunks.end()) << "no chunk read twice";
        EXPECT_LE(straddling, 10 * 2 * (marker.size() - 1));
    }
}

}
}
