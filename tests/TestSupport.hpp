#pragma once

#include "RequiredCapabilities.hpp"

#include "device/ByteSource.hpp"
#include "device/DeviceError.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace brightfold::test {

/// A test left for want of a capability: skipped, or failed where every one is required.
inline ::testing::TestPartResult::Type missingCapabilityResult()
{
    return capabilitiesRequired() ? ::testing::TestPartResult::kFatalFailure : ::testing::TestPartResult::kSkip;
}
inline const char* missingCapabilityTitle() { return capabilitiesRequired() ? "A required capability is missing" : "Skipped"; }

/// Leaves the test for want of `reason` (what may follow `<<`, such as
/// `"no samples in " << folder`), skipped or, where every capability is required, failed.
#define SKIP_WITHOUT_CAPABILITY(reason) \
    return GTEST_MESSAGE_(::brightfold::test::missingCapabilityTitle(), ::brightfold::test::missingCapabilityResult()) << reason

/// Builds a byte array field by field, so a fixture reads as the structure it describes.
/// Each field is appended as one run of bytes. The members are compiled once, in
/// TestSupport.cpp, rather than inlined into every fixture.
class ByteBuilder {
public:
    ByteBuilder& bytes(const std::vector<uint8_t>& values);
    ByteBuilder& text(std::string_view value);
    ByteBuilder& fill(size_t count, uint8_t value = 0);
    ByteBuilder& u8(uint8_t value) { return integer(value, 1, false); }
    ByteBuilder& u16be(uint16_t value) { return integer(value, 2, true); }
    ByteBuilder& u16le(uint16_t value) { return integer(value, 2, false); }
    ByteBuilder& u32be(uint32_t value) { return integer(value, 4, true); }
    ByteBuilder& u32le(uint32_t value) { return integer(value, 4, false); }
    ByteBuilder& u64be(uint64_t value) { return integer(value, 8, true); }
    ByteBuilder& u64le(uint64_t value) { return integer(value, 8, false); }
    /// Pads with `value` up to an absolute size (nothing when already that long).
    ByteBuilder& padTo(size_t size, uint8_t value = 0);
    /// Writes `values` at an absolute position, growing the array as needed.
    ByteBuilder& place(size_t at, const std::vector<uint8_t>& values);
    size_t size() const { return m_bytes.size(); }
    const std::vector<uint8_t>& build() const { return m_bytes; }

private:
    ByteBuilder& integer(uint64_t value, int width, bool bigEndian);
    ByteBuilder& append(const uint8_t* first, size_t count);

    std::vector<uint8_t> m_bytes;
};

/// Bytes that differ from their neighbours, so a misplaced copy shows.
inline std::vector<uint8_t> patterned(size_t size)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>((i * 131) ^ (i >> 9));
    return bytes;
}

/// A fresh empty folder under the system's temporary folder, removed with its contents.
struct TemporaryFolder {
    TemporaryFolder() : m_path((std::filesystem::temp_directory_path() / "brightfold-test-XXXXXX").string()) { ::mkdtemp(m_path.data()); }
    ~TemporaryFolder() { std::filesystem::remove_all(m_path); }
    std::filesystem::path path() const { return m_path; }

private:
    std::string m_path;
};

/// The shared folder of real camera and phone files (BRIGHTFOLD_SAMPLES_DIR in the environment
/// overrides the built-in path), and the files in tests/data (whose READMEs say how each was made).
inline std::filesystem::path samplesFolder() { return std::getenv("BRIGHTFOLD_SAMPLES_DIR") ? std::getenv("BRIGHTFOLD_SAMPLES_DIR") : BRIGHTFOLD_SAMPLES_DIR; }
inline std::filesystem::path dataFile(const std::string& relative) { return std::filesystem::path(BRIGHTFOLD_TEST_DATA_DIR) / relative; }

inline std::vector<uint8_t> readWholeFile(const std::filesystem::path& path)
{
    std::vector<uint8_t> bytes(std::filesystem::is_regular_file(path) ? std::filesystem::file_size(path) : 0);
    std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

inline void writeWholeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

/// The number of descriptors this process has open, to see that nothing leaks.
inline int openDescriptorCount() { return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {})); }

/// A source of any size that holds zeros except where bytes were placed, so a test can put
/// a header near 4 GiB or a file's end past 256 MiB without allocating it; a placed unit may
/// repeat up to a given offset. It records how many bytes it delivered and how far any read
/// reached, fails every read touching [failFrom, failTo), delivers nothing from `endsAt` on
/// (a device that claims more than it has), and may offer concurrent reads.
class SparseSource final : public ByteSource {
public:
    explicit SparseSource(uint64_t size) : m_size(size) { }
    /// Puts `unit` at `at`, repeated until `until` (by default once).
    SparseSource& place(uint64_t at, std::vector<uint8_t> unit, uint64_t until = 0) { m_pieces.push_back({ at, std::max(until, at + unit.size()), std::move(unit) }); return *this; }
    uint64_t size() const override { return m_size; }
    int64_t badReads() const override { return 0; }
    std::string descriptionForReport() const override { return "sparse"; }
    bool allowsConcurrentReads() const override { return concurrent; }
    size_t readInto(uint64_t offset, std::span<uint8_t> buffer) override
    {
        if (offset < failTo && offset + buffer.size() > failFrom)
            throw DeviceError::readFailed(offset, EIO);
        const uint64_t end = std::min(offset + std::min<uint64_t>(buffer.size(), m_size - std::min(offset, m_size)), std::max(offset, endsAt));
        std::fill_n(buffer.begin(), end - offset, uint8_t { 0 });
        for (const auto& [at, until, unit] : m_pieces) {
            for (uint64_t from = std::max(at, offset), run = 0; from < std::min(until, end); from += run) {
                run = std::min(std::min(until, end) - from, unit.size() - (from - at) % unit.size());
                std::memcpy(buffer.data() + (from - offset), unit.data() + (from - at) % unit.size(), run);
            }
        }
        delivered += end - offset;
        furthest = std::max(furthest, end);
        return static_cast<size_t>(end - offset);
    }

    uint64_t failFrom { UINT64_MAX }, failTo { UINT64_MAX }, endsAt { UINT64_MAX }, delivered { 0 }, furthest { 0 };
    bool concurrent { false };

private:
    uint64_t m_size;
    std::vector<std::tuple<uint64_t, uint64_t, std::vector<uint8_t>>> m_pieces; ///< at, until, unit
};

/// `bytes` at `at` in a source of zeros that runs `after` bytes past them.
inline std::shared_ptr<SparseSource> sourceOf(const std::vector<uint8_t>& bytes, uint64_t after = 0, uint64_t at = 0)
{
    auto source = std::make_shared<SparseSource>(at + bytes.size() + after);
    source->place(at, bytes);
    return source;
}

}
