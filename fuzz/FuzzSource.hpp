#pragma once

#include "device/ByteSource.hpp"
#include "device/DeviceError.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

namespace brightfold::fuzz {

/// Takes fields off the front of a fuzz input; a field past the end reads as 0.
class InputReader {
public:
    explicit InputReader(std::span<const uint8_t> input) : m_input(input) { }

    uint8_t u8()
    {
        if (m_input.empty())
            return 0;
        uint8_t value = m_input.front();
        m_input = m_input.subspan(1);
        return value;
    }
    uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
    uint32_t u32() { return static_cast<uint32_t>(u16()) | (static_cast<uint32_t>(u16()) << 16); }
    uint64_t u64() { return static_cast<uint64_t>(u32()) | (static_cast<uint64_t>(u32()) << 32); }
    /// Up to `count` bytes, fewer when the input runs out.
    std::span<const uint8_t> take(size_t count)
    {
        auto taken = m_input.first(std::min(count, m_input.size()));
        m_input = m_input.subspan(taken.size());
        return taken;
    }
    std::span<const uint8_t> rest() const { return m_input; }

private:
    std::span<const uint8_t> m_input;
};

/// What a read of bytes the source does not hold does.
enum class GapBehaviour {
    endsEarly, ///< the read stops there, as on a device that went away or a file that shrank
    throws,    ///< the read throws DeviceError::readFailed, as an image file on a failing disk does
};

/// A byte source laid out by a fuzz input: runs of given bytes or zeros at
/// chosen offsets under a claimed size that may lie far beyond them. Reads in the
/// gaps between runs stop short or throw. Every read that reaches the source is
/// recorded, so a harness can check how far from a file's start a carver went.
class LayoutSource final : public ByteSource {
public:
    struct Run {
        uint64_t offset;
        uint64_t length;
        const uint8_t* bytes; ///< null for a run of zeros
    };

    LayoutSource(uint64_t size, std::vector<Run> runs, GapBehaviour gaps, bool concurrentReads = false)
        : m_size(size)
        , m_runs(std::move(runs))
        , m_gaps(gaps)
        , m_concurrentReads(concurrentReads)
    {
        std::sort(m_runs.begin(), m_runs.end(), [](const Run& a, const Run& b) { return a.offset < b.offset; });
    }

    uint64_t size() const override { return m_size; }
    int64_t badReads() const override { return 0; }
    std::string descriptionForReport() const override { return "fuzz layout"; }
    bool allowsConcurrentReads() const override { return m_concurrentReads; }

    size_t readInto(uint64_t offset, std::span<uint8_t> buffer) override
    {
        m_reads.fetch_add(1, std::memory_order_relaxed);
        if (offset >= m_size || buffer.empty())
            return 0;
        uint64_t wanted = std::min<uint64_t>(buffer.size(), m_size - offset);
        lower(m_lowest, offset);
        raise(m_furthest, offset + wanted);
        raise(m_largest, wanted);
        uint64_t done = 0;
        while (done < wanted) {
            uint64_t at = offset + done;
            const Run* run = runHolding(at);
            if (!run) {
                if (m_gaps == GapBehaviour::throws)
                    throw DeviceError::readFailed(at, EIO);
                break;
            }
            uint64_t count = std::min(wanted - done, run->length - (at - run->offset));
            if (run->bytes)
                std::memcpy(buffer.data() + done, run->bytes + (at - run->offset), count);
            else
                std::memset(buffer.data() + done, 0, count);
            done += count;
        }
        return done;
    }

    /// The end of the furthest byte any read asked for (0 before the first read).
    uint64_t furthestRead() const { return m_furthest.load(); }
    /// The lowest offset any read started at (UINT64_MAX before the first read).
    uint64_t lowestRead() const { return m_lowest.load(); }
    uint64_t readCount() const { return m_reads.load(); }
    /// The most bytes one read asked for.
    uint64_t largestRead() const { return m_largest.load(); }
    /// Starts the record of reads afresh.
    void forgetReads()
    {
        m_furthest = 0;
        m_lowest = std::numeric_limits<uint64_t>::max();
        m_reads = 0;
        m_largest = 0;
    }

private:
    // The record is kept with atomics: an engine may read ahead on a second thread.
    static void raise(std::atomic<uint64_t>& record, uint64_t value)
    {
        uint64_t seen = record.load(std::memory_order_relaxed);
        while (value > seen && !record.compare_exchange_weak(seen, value, std::memory_order_relaxed)) { }
    }
    static void lower(std::atomic<uint64_t>& record, uint64_t value)
    {
        uint64_t seen = record.load(std::memory_order_relaxed);
        while (value < seen && !record.compare_exchange_weak(seen, value, std::memory_order_relaxed)) { }
    }

    const Run* runHolding(uint64_t at) const
    {
        for (const auto& run : m_runs) {
            if (at >= run.offset && at - run.offset < run.length)
                return &run;
        }
        return nullptr;
    }

    uint64_t m_size;
    std::vector<Run> m_runs;
    GapBehaviour m_gaps;
    bool m_concurrentReads;
    std::atomic<uint64_t> m_furthest { 0 };
    std::atomic<uint64_t> m_lowest { std::numeric_limits<uint64_t>::max() };
    std::atomic<uint64_t> m_reads { 0 };
    std::atomic<uint64_t> m_largest { 0 };
};

/// Stops the fuzzer with a message when a property of the code under test fails;
/// libFuzzer keeps the input that did it.
[[noreturn]] inline void propertyFailed(const char* what, unsigned long long a = 0, unsigned long long b = 0)
{
    std::fprintf(stderr, "property failed: %s (%llu, %llu)\n", what, a, b);
    std::abort();
}

}
