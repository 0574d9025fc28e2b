// Fuzzes the report decoder with arbitrary text. Anything that is not a valid
// report must end in ReportFormatError with a message, never in another
// exception or a crash; a report that decodes must encode to text that decodes
// back to the same report.

#include "FuzzSource.hpp"

#include "carve/CarveReport.hpp"

#include <string_view>

using namespace brightfold;
using namespace brightfold::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize)
{
    std::string_view text(reinterpret_cast<const char*>(input), inputSize);
    CarveReport report;
    try {
        report = CarveReport::fromJson(text);
    } catch (const ReportFormatError& error) {
        if (std::string_view(error.what()).empty())
            propertyFailed("a report error without a message");
        return 0;
    }

    (void)report.countsByExt();
    std::string encoded = report.toJson();
    CarveReport decoded;
    try {
        decoded = CarveReport::fromJson(encoded);
    } catch (const ReportFormatError& error) {
        std::fprintf(stderr, "%s\n", error.what());
        propertyFailed("a decoded report encodes to text that does not decode");
    }
    // Entries refused on the way in are gone from the encoded text, so it decodes without refusals.
    if (!decoded.refusals.empty())
        propertyFailed("a decoded report encodes entries that are refused");
    decoded.refusals = report.refusals;
    if (!(decoded == report))
        propertyFailed("a report changed on its way through its JSON form");
    return 0;
}
