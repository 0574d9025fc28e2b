#include "device/RescueReader.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace brightfold {

namespace {

/// A skip never grows past this share of the device (as with the rescue tools: 1 %).
constexpr uint64_t kLargestSkipShare = 100;

/// Errors that say the device itself is gone, not one of its blocks.
bool meansDeviceGone(int error)
{
    return error == ENODEV || error == ENXIO || error == ENOMEDIUM;
}

uint64_t roundDown(uint64_t value, uint64_t unit) { return value - value % unit; }

}

RescueReader::RescueReader(int fd, std::shared_ptr<DeviceCalls> calls, uint64_t blockSize, AreaMap map)
    : m_fd(fd)
    , m_calls(std::move(calls))
    , m_blockSize(std::max<uint64_t>(blockSize, 1))
    , m_size(map.size())
    , m_largestSkip(std::clamp(roundDown(m_size / kLargestSkipShare, m_blockSize), std::max(kFirstSkip, m_blockSize), kLargestSkipCap))
    , m_map(std::move(map))
{
}

size_t RescueReader::readRaw(uint64_t offset, std::span<uint8_t> piece, int& error)
{
    size_t done = 0;
    error = 0;
    while (done < piece.size()) {
        ssize_t got = m_calls->pread(m_fd, piece.data() + done, piece.size() - done, static_cast<off_t>(offset + done));
        if (got > 0) {
            done += static_cast<size_t>(got);
            continue;
        }
        // An interrupted call says nothing about the block: retry it.
        if (got < 0 && errno == EINTR)
            continue;
        error = got < 0 ? errno : EIO; // 0 bytes: the device ended early
        break;
    }
    return done;
}

AreaMap RescueReader::map() const
{
    std::lock_guard lock(m_lock);
    return m_map;
}

Area RescueReader::areaAt(uint64_t offset) const
{
    std::lock_guard lock(m_lock);
    return m_map.areaAt(offset);
}

void RescueReader::mark(uint64_t start, uint64_t length, AreaState state)
{
    std::lock_guard lock(m_lock);
    m_map.mark(start, length, state);
}

bool RescueReader::hasBadAreas() const
{
    std::lock_guard lock(m_lock);
    return m_map.holds(AreaState::skipped) || m_map.holds(AreaState::unscraped);
}

void RescueReader::markUntried(uint64_t from, uint64_t to, AreaState state)
{
    std::lock_guard lock(m_lock);
    markUntriedLocked(from, to, state);
}

void RescueReader::markUntriedLocked(uint64_t from, uint64_t to, AreaState state)
{
    for (uint64_t at = from; at < to;) {
        Area area = m_map.areaAt(at);
        const uint64_t end = std::min(area.end(), to);
        if (area.state == AreaState::untried)
            m_map.mark(at, end - at, state);
        at = end;
    }
}

void RescueReader::succeeded(uint64_t bytes)
{
    if (bytes == 0)
        return;
    m_probing.store(false, std::memory_order_relaxed);
    std::lock_guard lock(m_lock);
    m_skip = std::max(kFirstSkip, m_skip / 2);
}

uint64_t RescueReader::passOver(uint64_t failedAt, int error)
{
    m_failedReads.fetch_add(1, std::memory_order_relaxed);
    m_probing.store(true, std::memory_order_relaxed);
    if (meansDeviceGone(error)) {
        m_gone.store(true, std::memory_order_relaxed);
        return m_size;
    }
    const uint64_t from = roundDown(failedAt, m_blockSize);
    std::lock_guard lock(m_lock);
    const uint64_t to = m_skip > m_size - from ? m_size : from + m_skip;
    m_skip = std::min(m_skip * 2, m_largestSkip);
    // Only what was not read passes over: a block read once stays read.
    markUntriedLocked(from, to, AreaState::skipped);
    return to;
}

void RescueReader::deliver(uint64_t offset, std::span<const uint8_t> bytes, const Sink& sink)
{
    // A partial last block counts only at the device's end.
    const uint64_t whole = offset + bytes.size() == m_size ? bytes.size() : roundDown(bytes.size(), m_blockSize);
    if (whole == 0)
        return;
    if (sink)
        sink(offset, bytes.first(static_cast<size_t>(whole)));
    std::lock_guard lock(m_lock);
    m_map.mark(offset, whole, AreaState::read);
    for (uint64_t block = offset; block < offset + whole; block += m_blockSize)
        m_tries.erase(block);
}

void RescueReader::readPassingOver(uint64_t offset, std::span<uint8_t> buffer, bool markRead, const std::function<bool()>& stop)
{
    const uint64_t end = offset + buffer.size();
    for (uint64_t at = offset; at < end;) {
        auto into = [&](uint64_t to) { return buffer.subspan(static_cast<size_t>(at - offset), static_cast<size_t>(to - at)); };
        if (deviceGone() || (stop && stop())) {
            std::ranges::fill(into(end), uint8_t { 0 });
            if (deviceGone())
                markUntried(at, end, AreaState::skipped);
            return;
        }
        Area area;
        {
            std::lock_guard lock(m_lock);
            area = m_map.areaAt(at);
        }
        const uint64_t runEnd = std::min(end, area.end());
        if (area.state != AreaState::untried && area.state != AreaState::read) {
            std::ranges::fill(into(runEnd), uint8_t { 0 });
            at = runEnd;
            continue;
        }
        int error = 0;
        auto piece = into(std::min(runEnd, at + nextPiece()));
        const size_t got = readRaw(at, piece, error);
        succeeded(got);
        if (markRead && got > 0)
            deliver(at, piece.first(got), {});
        at += got;
        if (got == piece.size())
            continue;
        // The bytes of the failing block read so far are not whole: zero them with the rest passed over.
        const uint64_t resume = std::min(end, passOver(at, error));
        at = std::max(offset, roundDown(at, m_blockSize));
        if (deviceGone())
            markUntried(at, end, AreaState::skipped);
        std::ranges::fill(into(resume), uint8_t { 0 });
        at = resume;
    }
}

RescueOutcome RescueReader::copyUntried(const Sink& sink, const RescueLimits& limits, const StepHandler& onStep)
{
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min(kCopyPiece, std::max<uint64_t>(m_size, 1))));
    uint64_t at = 0;
    while (true) {
        if (deviceGone())
            return RescueOutcome::deviceGone;
        if (limits.isCancelled && limits.isCancelled())
            return RescueOutcome::cancelled;
        std::optional<Area> area;
        {
            std::lock_guard lock(m_lock);
            area = m_map.next(AreaState::untried, at);
        }
        if (!area)
            return RescueOutcome::complete;
        const auto length = static_cast<size_t>(std::min<uint64_t>({ area->length, buffer.size(), nextPiece() }));
        auto piece = std::span(buffer).first(length);
        int error = 0;
        const size_t got = readRaw(area->start, piece, error);
        succeeded(got);
        deliver(area->start, piece.first(got), sink);
        at = got == length ? area->start + length : passOver(area->start + got, error);
        if (onStep)
            onStep(RescuePass::copying);
    }
}

bool RescueReader::tryBlock(uint64_t block, const Sink& sink, std::span<uint8_t> buffer)
{
    const auto length = static_cast<size_t>(std::min(m_blockSize, m_size - block));
    int error = 0;
    if (readRaw(block, buffer.first(length), error) == length) {
        deliver(block, buffer.first(length), sink);
        return true;
    }
    m_failedReads.fetch_add(1, std::memory_order_relaxed);
    if (meansDeviceGone(error))
        m_gone.store(true, std::memory_order_relaxed);
    std::lock_guard lock(m_lock);
    ++m_tries[block];
    return false;
}

std::optional<RescueOutcome> RescueReader::trim(uint64_t start, uint64_t end, const Sink& sink, const std::function<std::optional<RescueOutcome>()>& check)
{
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min(kLargestTrimPiece, end - start)));
    // Front edge inward, in pieces that grow while reads succeed.
    uint64_t front = start;
    for (uint64_t piece = m_blockSize; front < end;) {
        if (auto stop = check())
            return stop;
        const uint64_t length = std::min({ piece, end - front, uint64_t(buffer.size()) });
        if (length <= m_blockSize) {
            if (!tryBlock(front, sink, buffer))
                break;
            front += length;
            piece = 2 * m_blockSize;
            continue;
        }
        int error = 0;
        auto span = std::span(buffer).first(static_cast<size_t>(length));
        const size_t got = readRaw(front, span, error);
        deliver(front, span.first(got), sink);
        front += roundDown(got, m_blockSize);
        piece = got == length ? piece * 2 : m_blockSize; // a failure somewhere in the piece: find it block by block
        if (got != length)
            m_failedReads.fetch_add(1, std::memory_order_relaxed);
        if (meansDeviceGone(error))
            m_gone.store(true, std::memory_order_relaxed);
    }
    // Back edge inward, down to the failing block the front stopped at.
    uint64_t back = end;
    const uint64_t floor = front < end ? front + m_blockSize : end;
    for (uint64_t piece = m_blockSize; back > floor;) {
        if (auto stop = check())
            return stop;
        const uint64_t length = std::min({ piece, back - floor, uint64_t(buffer.size()) });
        const uint64_t from = back - length;
        if (length <= m_blockSize) {
            if (!tryBlock(from, sink, buffer))
                break;
            back = from;
            piece = 2 * m_blockSize;
            continue;
        }
        int error = 0;
        auto span = std::span(buffer).first(static_cast<size_t>(length));
        const size_t got = readRaw(from, span, error);
        if (got == length) {
            deliver(from, span, sink);
            back = from;
            piece *= 2;
            continue;
        }
        // Read forward up to the failure; the bytes before it do not move the back edge.
        m_failedReads.fetch_add(1, std::memory_order_relaxed);
        if (meansDeviceGone(error))
            m_gone.store(true, std::memory_order_relaxed);
        piece = m_blockSize;
    }
    // The middle, between the failing edges, keeps what was read inside it.
    std::lock_guard lock(m_lock);
    for (uint64_t at = front; at < back;) {
        Area area = m_map.areaAt(at);
        const uint64_t runEnd = std::min(area.end(), back);
        if (area.state == AreaState::skipped)
            m_map.mark(at, runEnd - at, AreaState::unscraped);
        at = runEnd;
    }
    return std::nullopt;
}

RescueOutcome RescueReader::readBadAreas(const Sink& sink, const RescueLimits& limits, const StepHandler& onStep)
{
    const double deadline = limits.budget ? now() + *limits.budget : 0;
    auto check = [&]() -> std::optional<RescueOutcome> {
        if (deviceGone())
            return RescueOutcome::deviceGone;
        if (limits.isCancelled && limits.isCancelled())
            return RescueOutcome::cancelled;
        if (limits.budget && now() >= deadline)
            return RescueOutcome::budgetSpent;
        return std::nullopt;
    };
    if (auto stop = check())
        return *stop;

    for (uint64_t at = 0;;) {
        std::optional<Area> area;
        {
            std::lock_guard lock(m_lock);
            area = m_map.next(AreaState::skipped, at);
        }
        if (!area)
            break;
        if (auto stop = trim(area->start, area->end(), sink, check))
            return *stop;
        at = area->end();
        if (onStep)
            onStep(RescuePass::trimming);
    }

    const int maxTries = std::max(limits.maxTries, 1);
    std::vector<uint8_t> buffer(static_cast<size_t>(m_blockSize));
    if (onStep && failedReads() > 0)
        onStep(RescuePass::scraping); // the edges are done: every byte that reads at full speed is read
    // Round after round over what is left, so every block has its first try before any its second.
    while (map().holds(AreaState::unscraped)) {
        for (uint64_t at = 0;;) {
            std::optional<Area> area;
            {
                std::lock_guard lock(m_lock);
                area = m_map.next(AreaState::unscraped, at);
            }
            if (!area)
                break;
            for (uint64_t block = area->start; block < area->end(); block += m_blockSize) {
                if (auto stop = check())
                    return *stop;
                int tries = 0;
                {
                    std::lock_guard lock(m_lock);
                    tries = m_tries[block];
                }
                if (tries < maxTries && tryBlock(block, sink, buffer))
                    continue;
                std::lock_guard lock(m_lock);
                if (m_tries[block] >= maxTries) {
                    m_map.mark(block, m_blockSize, AreaState::unreadable);
                    m_tries.erase(block);
                }
            }
            at = area->end();
            if (onStep)
                onStep(RescuePass::scraping);
        }
    }
    return deviceGone() ? RescueOutcome::deviceGone : RescueOutcome::complete;
}

}
