#include "carve/CarverRegistry.hpp"

#include "carve/formats/ADTSCarver.hpp"
#include "carve/formats/ASFCarver.hpp"
#include "carve/formats/BMPCarver.hpp"
#include "carve/formats/CRWCarver.hpp"
#include "carve/formats/FLACCarver.hpp"
#include "carve/formats/FLVCarver.hpp"
#include "carve/formats/GIFCarver.hpp"
#include "carve/formats/GzipCarver.hpp"
#include "carve/formats/ISOBMFFCarver.hpp"
#include "carve/formats/JPEGCarver.hpp"
#include "carve/formats/MP3Carver.hpp"
#include "carve/formats/MRWCarver.hpp"
#include "carve/formats/MPEGPSCarver.hpp"
#include "carve/formats/MPEGTSCarver.hpp"
#include "carve/formats/MatroskaCarver.hpp"
#include "carve/formats/OLE2Carver.hpp"
#include "carve/formats/OggCarver.hpp"
#include "carve/formats/PDFCarver.hpp"
#include "carve/formats/PNGCarver.hpp"
#include "carve/formats/PSDCarver.hpp"
#include "carve/formats/RAFCarver.hpp"
#include "carve/formats/RARCarver.hpp"
#include "carve/formats/RIFFCarver.hpp"
#include "carve/formats/SevenZipCarver.hpp"
#include "carve/formats/TIFFCarver.hpp"
#include "carve/formats/X3FCarver.hpp"
#include "carve/formats/ZIPCarver.hpp"

#include <algorithm>

namespace brightfold {

std::vector<FormatCarverPtr> CarverRegistry::all()
{
    return {
        std::make_shared<PNGCarver>(),
        std::make_shared<JPEGCarver>(),
        std::make_shared<GIFCarver>(),
        std::make_shared<BMPCarver>(),
        std::make_shared<ISOBMFFCarver>(),
        std::make_shared<RIFFCarver>(),
        std::make_shared<TIFFCarver>(),
        std::make_shared<PDFCarver>(),
        std::make_shared<ZIPCarver>(),
        std::make_shared<OLE2Carver>(),
        std::make_shared<MP3Carver>(),
        std::make_shared<RAFCarver>(),
        std::make_shared<CRWCarver>(),
        std::make_shared<MRWCarver>(),
        std::make_shared<X3FCarver>(),
        std::make_shared<PSDCarver>(),
        std::make_shared<SevenZipCarver>(),
        std::make_shared<RARCarver>(),
        std::make_shared<GzipCarver>(),
        std::make_shared<MPEGTSCarver>(MPEGTSCarver::Packets::plain),
        std::make_shared<MPEGTSCarver>(MPEGTSCarver::Packets::timestamped),
        std::make_shared<MPEGPSCarver>(),
        std::make_shared<MatroskaCarver>(),
        std::make_shared<ASFCarver>(),
        std::make_shared<FLVCarver>(),
        std::make_shared<FLACCarver>(),
        std::make_shared<OggCarver>(),
        std::make_shared<ADTSCarver>(),
    };
}

std::vector<FormatCarverPtr> CarverRegistry::carvers(const CategorySet& categories)
{
    std::vector<FormatCarverPtr> selected;
    for (auto& carver : all()) {
        bool serves = std::any_of(categories.begin(), categories.end(),
            [&](FormatCategory category) { return carver->categories().contains(category); });
        if (serves)
            selected.push_back(std::move(carver));
    }
    return selected;
}

}
