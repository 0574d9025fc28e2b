#pragma once

#include "carve/ReadContext.hpp"
#include "device/MemorySource.hpp"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace brightfold::test {

/// Builds a byte array field by field, so a fixture reads as the structure it describes.
class ByteBuilder {
public:
    ByteBuilder& bytes(std::initializer_list<uint8_t> values) { m_bytes.insert(m_bytes.end(), values); return *this; }
    ByteBuilder& bytes(const std::vector<uint8_t>& values) { m_bytes.insert(m_bytes.end(), values.begin(), values.end()); return *this; }
    ByteBuilder& text(std::string_view value) { m_bytes.insert(m_bytes.end(), value.begin(), value.end()); return *this; }
    ByteBuilder& fill(size_t count, uint8_t value = 0) { m_bytes.insert(m_bytes.end(), count, value); return *this; }
    ByteBuilder& u8(uint8_t value) { m_bytes.push_back(value); return *this; }
    ByteBuilder& u16be(uint16_t value) { return integer(value, 2, true); }
    ByteBuilder& u16le(uint16_t value) { return integer(value, 2, false); }
    ByteBuilder& u32be(uint32_t value) { return integer(value, 4, true); }
    ByteBuilder& u32le(uint32_t value) { return integer(value, 4, false); }
    ByteBuilder& u64be(uint64_t value) { return integer(value, 8, true); }
    ByteBuilder& u64le(uint64_t value) { return integer(value, 8, false); }
    /// Pads with `value` up to an absolute size (nothing when already that long).
    ByteBuilder& padTo(size_t size, uint8_t value = 0)
    {
        if (m_bytes.size() < size)
            m_bytes.resize(size, value);
        return *this;
    }
    /// Writes `values` at an absolute position, growing the array as needed.
    ByteBuilder& place(size_t at, const std::vector<uint8_t>& values)
    {
        if (m_bytes.size() < at + values.size())
            m_bytes.resize(at + values.size());
        std::copy(values.begin(), values.end(), m_bytes.begin() + static_cast<std::ptrdiff_t>(at));
        return *this;
    }

    size_t size() const { return m_bytes.size(); }
    const std::vector<uint8_t>& build() const { return m_bytes; }

private:
    ByteBuilder& integer(uint64_t value, int width, bool bigEndian)
    {
        for (int i = 0; i < width; ++i) {
            int shift = bigEndian ? 8 * (width - 1 - i) : 8 * i;
            m_bytes.push_back(static_cast<uint8_t>(value >> shift));
        }
        return *this;
    }

    std::vector<uint8_t> m_bytes;
};

inline std::shared_ptr<MemorySource> memorySource(std::vector<uint8_t> bytes)
{
    return std::make_shared<MemorySource>(std::move(bytes));
}

/// A read context over `bytes` with an empty window: every read goes to the source.
inline ReadContext contextOver(std::vector<uint8_t> bytes)
{
    return ReadContext(memorySource(std::move(bytes)));
}

/// A fresh empty folder under the system's temporary folder, removed with its contents.
class TemporaryFolder {
public:
    TemporaryFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "brightfold-test-XXXXXX").string();
        m_path = ::mkdtemp(pattern.data());
    }
    ~TemporaryFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

/// The shared folder of real camera and phone files; empty when it is absent.
inline std::filesystem::path samplesFolder()
{
    std::filesystem::path folder = BRIGHTFOLD_SAMPLES_DIR;
    return std::filesystem::is_directory(folder) ? folder : std::filesystem::path();
}

std::vector<uint8_t> readWholeFile(const std::filesystem::path& path);

}
