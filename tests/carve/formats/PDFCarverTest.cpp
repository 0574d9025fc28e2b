#include "TestSupport.hpp"
#include "carve/formats/FormatBuilders.hpp"

#include "carve/formats/PDFCarver.hpp"

#include <gtest/gtest.h>

using namespace brightfold;
using namespace brightfold::test;

namespace {

constexpr size_t kKiB = 1024;
constexpr size_t kMiB = 1024 * 1024;

/// PDF text: a header, then objects and end-of-file markers as asked.
class PdfBuilder {
public:
    explicit PdfBuilder(std::string_view version = "1.7") { m_bytes.text("%PDF-").text(version).text("\n%\xE2\xE3\xCF\xD3\n"); }
    /// An object of about `count` bytes, written as PDF text.
    PdfBuilder& body(size_t count)
    {
        m_bytes.text("1 0 obj\n<< /Length 0 >>\nstream\n");
        size_t target = m_bytes.size() + count;
        while (m_bytes.size() < target)
            m_bytes.text("0.5 0 0 0.5 10 10 cm BT /F1 12 Tf (Brightfold) Tj ET\n");
        m_bytes.text("endstream\nendobj\n");
        return *this;
    }
    /// A cross-reference table and a trailer whose "startxref" points at it.
    PdfBuilder& trailer()
    {
        m_xref = m_bytes.size();
        m_bytes.text("xref\n0 1\n0000000000 65535 f \ntrailer\n<< /Size 1 >>\n");
        return startxref(m_xref);
    }
    PdfBuilder& startxref(size_t offset) { m_bytes.text("startxref\n" + std::to_string(offset) + "\n"); return *this; }
    PdfBuilder& marker() { m_bytes.text("%%EOF"); return *this; }
    PdfBuilder& text(std::string_view value) { m_bytes.text(value); return *this; }
    /// Fills with spaces up to an absolute size.
    PdfBuilder& padTo(size_t size) { m_bytes.padTo(size, ' '); return *this; }
    size_t size() const { return m_bytes.size(); }
    std::vector<uint8_t> build() const { return m_bytes.build(); }
    size_t xref() const { return m_xref; }

private:
    ByteBuilder m_bytes;
    size_t m_xref { 0 };
};

std::optional<CarveMatch> carveAt(std::vector<uint8_t> bytes, uint64_t at = 0)
{
    auto context = contextOver(std::move(bytes));
    return PDFCarver().carve(at, context);
}

CarveMatch pdfMatch(uint64_t length)
{
    return { length, "pdf", FormatCategory::documents, CarveConfidence::exact };
}

}

TEST(PDFCarverTest, DocumentEndsAfterItsMarkerAndLineEnd)
{
    auto document = PdfBuilder().body(3000).trailer().marker().text("\r\n").build();
    auto match = carveAt(ByteBuilder().bytes(document).text("unrelated data after the document").build());
    ASSERT_TRUE(match);
    EXPECT_EQ(*match, pdfMatch(document.size()));
}

TEST(PDFCarverTest, AtMostTwoLineEndBytesAreTaken)
{
    auto document = PdfBuilder().body(100).trailer().marker().build();
    struct Case {
        std::string_view after;
        size_t taken;
    };
    for (const Case& testCase : { Case { "\n\n\n", 2 }, Case { "\r\n\r\n", 2 }, Case { "\r", 1 }, Case { "\n%", 1 },
             Case { " \n", 0 }, Case { "", 0 } }) {
        SCOPED_TRACE(testing::PrintToString(std::string(testCase.after)));
        auto match = carveAt(ByteBuilder().bytes(document).text(testCase.after).build());
        ASSERT_TRUE(match);
        EXPECT_EQ(match->length, document.size() + testCase.taken);
    }
}

TEST(PDFCarverTest, MarkerAtTheSourceEndEndsTheMatchThere)
{
    auto document = PdfBuilder().body(100).trailer().marker().build();
    auto bytes = ByteBuilder().fill(1536, 0x20).bytes(document).build();
    EXPECT_EQ(carveAt(bytes, 1536), pdfMatch(document.size()));
}

TEST(PDFCarverTest, VersionMustStartWithADigitFromOneToNine)
{
    for (int first = 0; first < 256; ++first) {
        SCOPED_TRACE(first);
        auto document = PdfBuilder(std::string(1, char(first)) + ".4").body(50).trailer().marker().build();
        EXPECT_EQ(carveAt(document).has_value(), first >= '1' && first <= '9');
    }
    EXPECT_FALSE(carveAt(ByteBuilder().text("%PDF-").build()));
}

TEST(PDFCarverTest, IncrementalUpdatesWithin4MiBAreFollowedToTheLastMarker)
{
    PdfBuilder document;
    document.body(20 * kKiB).trailer().marker().text("\n");
    document.body(100 * kKiB).trailer().marker().text("\n");
    document.body(100 * kKiB).trailer().marker().text("\n");
    auto bytes = document.build();
    auto match = carveAt(ByteBuilder().bytes(bytes).fill(10 * kKiB, 0).build());
    EXPECT_EQ(match, pdfMatch(bytes.size()));
}

TEST(PDFCarverTest, MarkerMoreThan4MiBAfterTheLastIsLeftOut)
{
    auto first = PdfBuilder().body(1000).trailer().marker().text("\n").build();
    auto bytes = PdfBuilder().body(1000).trailer().marker().text("\n").padTo(first.size() + 5 * kMiB).marker().build();
    EXPECT_EQ(carveAt(bytes), pdfMatch(first.size()));
}

TEST(PDFCarverTest, FollowOnWindowEndsExactly4MiBAfterTheEndOfAMarker)
{
    PdfBuilder base;
    base.body(1000).trailer().marker();
    const size_t markerEnd = base.size();
    const size_t update = ("startxref\n" + std::to_string(base.xref()) + "\n").size();
    // An update whose marker starts at the last position of the window is followed; one starting a byte later is not.
    auto inside = PdfBuilder(base).padTo(markerEnd + 4 * kMiB - 1 - update).startxref(base.xref()).marker().build();
    EXPECT_EQ(carveAt(inside), pdfMatch(markerEnd + 4 * kMiB - 1 + 5));
    auto outside = PdfBuilder(base).padTo(markerEnd + 4 * kMiB - update).startxref(base.xref()).marker().build();
    EXPECT_EQ(carveAt(outside), pdfMatch(markerEnd));
}

TEST(PDFCarverTest, MarkerAcrossASearchPieceBoundaryIsFound)
{
    // The first piece covers 1 MiB of starts from the byte after "%PDF-"; put the marker across its end.
    for (size_t offsetInMarker = 1; offsetInMarker < 5; ++offsetInMarker) {
        SCOPED_TRACE(offsetInMarker);
        size_t markerAt = 5 + kMiB - offsetInMarker;
        auto bytes = PdfBuilder().body(1000).padTo(markerAt).marker().text("\n").padTo(markerAt + 1000).build();
        EXPECT_EQ(carveAt(bytes)->length, markerAt + 6);
    }
}

TEST(PDFCarverTest, HeaderWithoutAnyMarkerIsNoMatch)
{
    auto bytes = PdfBuilder().body(kMiB).trailer().build();
    EXPECT_FALSE(carveAt(bytes));
    // A header 1 MiB before the end of a larger source.
    auto source = ByteBuilder().fill(3 * kMiB, 0x20).bytes(PdfBuilder().body(kMiB - 100).build()).build();
    EXPECT_FALSE(carveAt(source, 3 * kMiB));
}

TEST(PDFCarverTest, FirstMarkerMustLieWithin256MiBOfTheHeader)
{
    constexpr uint64_t kFirstRange = 256 * uint64_t { kMiB };
    auto header = PdfBuilder().body(100).build();
    for (auto [markerAt, found] : { std::pair { 5 + kFirstRange - 1, true }, std::pair { 5 + kFirstRange, false } }) {
        SCOPED_TRACE(markerAt);
        auto source = std::make_shared<SparseSource>(kFirstRange + 4 * kMiB);
        source->place(0, header).place(markerAt, { '%', '%', 'E', 'O', 'F' });
        ReadContext context(source);
        auto match = PDFCarver().carve(0, context);
        EXPECT_EQ(match.has_value(), found);
        if (match) {
            EXPECT_EQ(match->length, markerAt + 5);
        }
    }
}

TEST(PDFCarverTest, RealGhostscriptDocumentIsExact)
{
    auto file = readWholeFile(std::filesystem::path(BRIGHTFOLD_TEST_DATA_DIR) / "documents" / "sample.pdf");
    ASSERT_GT(file.size(), 1000u);
    auto match = carveAt(ByteBuilder().fill(512, 0).bytes(file).fill(2 * kMiB, 0x66).build(), 512);
    EXPECT_EQ(match, pdfMatch(file.size()));
}

TEST(PDFCarverTest, DocumentSavedRightAfterAnotherIsNotTakenAsAnUpdate)
{
    // Two documents a sector apart: the chain of markers must not run on into
    // the second, or it would swallow (and hide) every file up to 256 MiB on.
    auto first = PdfBuilder().body(2000).trailer().marker().text("\n").build();
    auto second = PdfBuilder().body(2000).trailer().marker().text("\n").build();
    auto bytes = ByteBuilder().bytes(first).padTo(4096).bytes(second).padTo(8192).bytes(second).build();
    auto match = carveAt(bytes);
    ASSERT_TRUE(match);
    EXPECT_EQ(*match, pdfMatch(first.size()));
}

// A header over junk took a later document's marker as its own and hid everything in between.
TEST(PDFCarverTest, OnlyAStartxrefPointingAtTheCrossReferenceIsExact)
{
    PdfBuilder stream;
    stream.body(200);
    const size_t object = stream.size();
    stream.text("7 0 obj\n<< /Type /XRef >>\nendobj\n").startxref(object).marker();
    auto junk = ByteBuilder().text("%PDF-1.4\n").fill(3000, 0xB7).build();
    auto later = PdfBuilder().body(300).trailer().marker().build();
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        std::optional<CarveMatch> expected;
    };
    const Case cases[] = {
        { "xref stream object", stream.build(), pdfMatch(stream.size()) },
        { "startxref off by one", PdfBuilder().body(200).text("xref\n").startxref(1).marker().build(), CarveMatch { 0, "pdf", FormatCategory::documents, CarveConfidence::heuristic } },
        { "junk, then another document", ByteBuilder().bytes(junk).padTo(4096).bytes(later).build(), CarveMatch { 4096, "pdf", FormatCategory::documents, CarveConfidence::heuristic } },
        { "junk, then a foreign marker", ByteBuilder().bytes(junk).text("startxref\n9\n%%EOF").build(), CarveMatch { junk.size() + 17, "pdf", FormatCategory::documents, CarveConfidence::heuristic } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        auto match = carveAt(testCase.bytes);
        ASSERT_TRUE(match);
        EXPECT_EQ(match->confidence, testCase.expected->confidence);
        if (testCase.expected->length != 0)
            EXPECT_EQ(match->length, testCase.expected->length);
    }
}
