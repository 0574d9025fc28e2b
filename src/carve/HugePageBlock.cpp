#include "carve/HugePageBlock.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

namespace brightfold {

HugePageBlock::HugePageBlock(size_t size)
    : m_size(size)
{
    constexpr size_t kHugePage = 2 * 1024 * 1024;
    const size_t rounded = (size + kHugePage - 1) / kHugePage * kHugePage;
    m_bytes.reset(static_cast<uint8_t*>(std::aligned_alloc(kHugePage, rounded)));
    if (!m_bytes)
        throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    ::madvise(m_bytes.get(), rounded, MADV_HUGEPAGE);
#endif
}

void HugePageBlock::Free::operator()(uint8_t* bytes) const
{
    std::free(bytes);
}

}
