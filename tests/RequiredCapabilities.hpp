#pragma once

// Some tests need what not every machine offers: root, loop devices, mounts, the
// shared folder of real camera files. Where one is missing such a test is skipped,
// and says so; where every one is meant to be present (CI sets
// BRIGHTFOLD_REQUIRE_CAPABILITIES=1) the same want is a failure, so a check that did
// not run cannot pass as one that did.

#include <cstdlib>
#include <string_view>

namespace brightfold::test {

/// Whether this run must have every capability a test asks for.
inline bool capabilitiesRequired()
{
    const char* value = std::getenv("BRIGHTFOLD_REQUIRE_CAPABILITIES");
    return value && *value && std::string_view(value) != "0";
}

}

/// QTest: leaves the test function for want of `reason` (a C string), skipped or,
/// where every capability is required, failed. GoogleTest's counterpart is
/// SKIP_WITHOUT_CAPABILITY in TestSupport.hpp.
#define QSKIP_WITHOUT_CAPABILITY(reason)                                                                         \
    do {                                                                                                         \
        if (::brightfold::test::capabilitiesRequired())                                                          \
            QFAIL(qPrintable(QStringLiteral("a required capability is missing: ") + QString::fromUtf8(reason))); \
        QSKIP(reason);                                                                                           \
    } while (false)
