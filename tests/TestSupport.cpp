#include "TestSupport.hpp"

namespace brightfold::test {

ByteBuilder& ByteBuilder::bytes(const std::vector<uint8_t>& values) { return append(values.data(), values.size()); }

ByteBuilder& ByteBuilder::text(std::string_view value) { return append(reinterpret_cast<const uint8_t*>(value.data()), value.size()); }

ByteBuilder& ByteBuilder::fill(size_t count, uint8_t value)
{
    m_bytes.insert(m_bytes.end(), count, value);
    return *this;
}

ByteBuilder& ByteBuilder::padTo(size_t size, uint8_t value)
{
    m_bytes.resize(std::max(size, m_bytes.size()), value);
    return *this;
}

ByteBuilder& ByteBuilder::place(size_t at, const std::vector<uint8_t>& values)
{
    padTo(at + values.size());
    std::copy(values.begin(), values.end(), m_bytes.begin() + static_cast<std::ptrdiff_t>(at));
    return *this;
}

ByteBuilder& ByteBuilder::integer(uint64_t value, int width, bool bigEndian)
{
    uint8_t field[8];
    for (int i = 0; i < width; ++i)
        field[i] = static_cast<uint8_t>(value >> (bigEndian ? 8 * (width - 1 - i) : 8 * i));
    return append(field, static_cast<size_t>(width));
}

ByteBuilder& ByteBuilder::append(const uint8_t* first, size_t count)
{
    m_bytes.insert(m_bytes.end(), first, first + count);
    return *this;
}

}
