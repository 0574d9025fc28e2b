// Fuzzes the FAT and exFAT reader and the reassembly behind it with arbitrary
// images: no crash, no hang, names that are single path components, and every
// file found lying on the source in runs that add up to its length.

#include "FuzzSource.hpp"

#include "carve/CarverRegistry.hpp"
#include "carve/filesystems/FatVolume.hpp"
#include "carve/filesystems/FileSystemRecovery.hpp"
#include "device/MemorySource.hpp"

using namespace brightfold;
using namespace brightfold::fuzz;

namespace {

void checkName(const std::string& name)
{
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        propertyFailed("a name that is not one path component");
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize)
{
    auto source = std::make_shared<MemorySource>(std::vector<uint8_t>(input, input + inputSize));
    ReadContext context(source);
    for (uint64_t offset : FatVolume::findVolumes(context)) {
        auto volume = FatVolume::open(context, offset);
        if (!volume)
            propertyFailed("a volume found that does not open");
        for (const auto& entry : volume->entries(context))
            checkName(entry.name);
    }
    static const auto carvers = CarverRegistry::all();
    const CategorySet categories(kAllFormatCategories.begin(), kAllFormatCategories.end());
    for (const auto& file : FileSystemRecovery(carvers, categories).recover(context, {})) {
        checkName(file.name.value_or("x"));
        uint64_t total = 0;
        for (const auto& run : file.pieces()) {
            if (run.offset >= source->size() || run.length > source->size() - run.offset)
                propertyFailed("a run outside the source");
            total += run.length;
        }
        if (total != file.length || file.pieces().front().offset != file.start)
            propertyFailed("runs that are not the file");
    }
    return 0;
}
