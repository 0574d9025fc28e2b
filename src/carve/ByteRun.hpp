#pragma once

#include <cstddef>
#include <cstring>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace brightfold {

/// Bytes handed out by the read context: either a view into the current window
/// (no copy) or bytes it owns, read from the source. Move-only, so a view never
/// outlives the move of its own buffer. A view into the window is valid until
/// the engine moves to the next chunk.
class ByteRun {
public:
    ByteRun() = default;
    static ByteRun viewOf(std::span<const uint8_t> bytes)
    {
        ByteRun run;
        run.m_view = bytes;
        return run;
    }
    static ByteRun owning(std::vector<uint8_t> bytes)
    {
        ByteRun run;
        run.m_owned = std::move(bytes);
        run.m_view = run.m_owned;
        return run;
    }

    ByteRun(ByteRun&& other) noexcept { *this = std::move(other); }
    ByteRun& operator=(ByteRun&& other) noexcept
    {
        bool ownsBytes = other.m_view.data() == other.m_owned.data() && !other.m_owned.empty();
        m_owned = std::move(other.m_owned); // moving a vector keeps its buffer
        m_view = ownsBytes ? std::span<const uint8_t>(m_owned) : other.m_view;
        other.m_view = {};
        return *this;
    }
    ByteRun(const ByteRun&) = delete;
    ByteRun& operator=(const ByteRun&) = delete;

    const uint8_t* data() const { return m_view.data(); }
    size_t size() const { return m_view.size(); }
    bool empty() const { return m_view.empty(); }
    uint8_t operator[](size_t index) const { return m_view[index]; }
    auto begin() const { return m_view.begin(); }
    auto end() const { return m_view.end(); }
    std::span<const uint8_t> span() const { return m_view; }
    std::string_view text() const { return { reinterpret_cast<const char*>(m_view.data()), m_view.size() }; }

private:
    std::vector<uint8_t> m_owned;
    std::span<const uint8_t> m_view;
};

/// Index of the first occurrence of `pattern` in `haystack`, or haystack.size().
/// memchr on the first byte keeps the common case (no hit nearby) at memory speed.
inline size_t findBytes(std::span<const uint8_t> haystack, std::span<const uint8_t> pattern)
{
    const size_t m = pattern.size();
    if (m == 0 || haystack.size() < m)
        return haystack.size();
    const uint8_t* begin = haystack.data();
    const uint8_t* last = begin + (haystack.size() - m); // last possible start
    for (const uint8_t* at = begin; at <= last;) {
        auto* hit = static_cast<const uint8_t*>(std::memchr(at, pattern[0], static_cast<size_t>(last - at) + 1));
        if (!hit)
            break;
        if (std::memcmp(hit + 1, pattern.data() + 1, m - 1) == 0)
            return static_cast<size_t>(hit - begin);
        at = hit + 1;
    }
    return haystack.size();
}

}
