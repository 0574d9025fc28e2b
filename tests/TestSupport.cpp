#include "TestSupport.hpp"

#include <fstream>
#include <iterator>

namespace brightfold::test {

std::vector<uint8_t> readWholeFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}
