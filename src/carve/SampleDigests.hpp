#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace brightfold {

/// Digests that catch changes past a file's head: XXH3 (64-bit) of 4 KiB at every
/// 1 MiB step inside the file and of its last 4 KiB. With the head digest they
/// catch any change in the first or last 4 KiB and any write of 1 MiB or more
/// anywhere in the file (a camera's new photo over old free space), at a cost of
/// one 4 KiB read per MiB. The sampled ranges follow from the length alone.
class SampleDigests {
public:
    static constexpr uint64_t kStep = 1024 * 1024; ///< bytes between two samples
    static constexpr uint64_t kSampleBytes = 4096; ///< bytes per sample

    /// A sampled range, relative to the file's start.
    struct Range {
        uint64_t offset;
        uint64_t count;
    };

    /// The sampled ranges of a file of `length` bytes, in order: kSampleBytes (fewer
    /// at the end) at every multiple of kStep above 0 inside the file, then the
    /// last kSampleBytes. None for a file no longer than one sample, which the head
    /// digest covers whole.
    static std::vector<Range> ranges(uint64_t length);

    /// XXH3-64 of `bytes` as 16 lower-case hexadecimal digits.
    static std::string digestOf(std::span<const uint8_t> bytes);

    /// Collects the samples of a file of `length` bytes from its bytes given in
    /// order, as a copy reads them.
    explicit SampleDigests(uint64_t length);

    /// The file's bytes from `offset` (relative to its start); each call continues
    /// where the previous one ended.
    void add(uint64_t offset, std::span<const uint8_t> bytes);

    /// One digest per range, in order; a range not wholly given is digested over
    /// what it got.
    std::vector<std::string> digests() const;

private:
    std::vector<Range> m_ranges;
    std::vector<std::vector<uint8_t>> m_partial; ///< bytes of ranges begun and not yet complete
    std::vector<std::string> m_digests;          ///< empty until the range is complete
    size_t m_firstOpen { 0 };
};

}
