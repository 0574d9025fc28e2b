// Fuzzes the stored-scan decoder ("scan.json") with arbitrary text. Anything
// that is not a valid record must end in ScanSessionError with a message, never
// in another exception or a crash; a record that decodes must encode to text
// that decodes back to the same record.

#include "FuzzSource.hpp"

#include "scan/ScanSession.hpp"
#include "scan/ScanSessionError.hpp"

#include <string_view>

using namespace brightfold;
using namespace brightfold::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize)
{
    std::string_view text(reinterpret_cast<const char*>(input), inputSize);
    ScanSession session;
    try {
        session = ScanSession::fromJson(text);
    } catch (const ScanSessionError& error) {
        if (std::string_view(error.what()).empty())
            propertyFailed("a stored-scan error without a message");
        return 0;
    }

    std::string encoded = session.toJson();
    ScanSession decoded;
    try {
        decoded = ScanSession::fromJson(encoded);
    } catch (const ScanSessionError& error) {
        std::fprintf(stderr, "%s\n", error.what());
        propertyFailed("a decoded record encodes to text that does not decode");
    }
    // Entries refused on the way in are gone from the encoded text, so it decodes without refusals.
    if (!decoded.report.refusals.empty())
        propertyFailed("a decoded record encodes report entries that are refused");
    decoded.report.refusals = session.report.refusals;
    if (decoded.idText() != session.idText() || decoded.createdAt != session.createdAt || decoded.sourceName != session.sourceName
        || !(decoded.source == session.source) || !(decoded.report == session.report))
        propertyFailed("a record changed on its way through its JSON form");
    return 0;
}
