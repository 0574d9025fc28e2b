#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace brightfold {

/// A block of bytes left uninitialised (every byte looked at is written first),
/// backed by huge pages where the system allows, so that setting up a large one
/// does not cost a page fault per 4 KiB. Empty when default-made.
class HugePageBlock {
public:
    HugePageBlock() = default;
    /// Throws std::bad_alloc when the memory is not there.
    explicit HugePageBlock(size_t size);

    uint8_t* data() const { return m_bytes.get(); }
    size_t size() const { return m_size; }
    std::span<uint8_t> first(size_t count) const { return { data(), std::min(count, m_size) }; }

private:
    struct Free {
        void operator()(uint8_t* bytes) const;
    };

    std::unique_ptr<uint8_t, Free> m_bytes;
    size_t m_size { 0 };
};

}
