#include "FormatBuilders.hpp"
#include "carve/formats/PDFCarver.hpp"

namespace brightfold::test {
namespace {

/// PDF text: a header and an object with a content stream of about `count` bytes, then whatever follows.
std::string pdf(size_t count, std::string_view after = "", std::string version = "1.7")
{
    std::string text = "%PDF-" + version + "\n%\xE2\xE3\xCF\xD3\n1 0 obj\n<< /Length 0 >>\nstream\n";
    while (text.size() < count)
        text += "0.5 0 0 0.5 10 10 cm BT /F1 12 Tf (Brightfold) Tj ET\n";
    return text + "endstream\nendobj\nxref\n0 1\n0000000000 65535 f \ntrailer\n<< /Size 1 >>\nstartxref\n9\n" + std::string(after);
}

/// `text` padded with spaces to `size` bytes, then more text.
std::string padded(std::string text, size_t size, std::string_view more = "%%EOF")
{
    text.resize(size, ' ');
    return text + std::string(more);
}

std::shared_ptr<SparseSource> textSource(const std::string& text, uint64_t after = 0) { return sourceOf({ text.begin(), text.end() }, after); }

TEST(PDFCarverTest, EndIsTheLastMarkerOfTheChain)
{
    const size_t first = pdf(1000, "%%EOF").size();
    const std::string updates = padded(padded(pdf(20'000, "%%EOF\n"), 120'000, "%%EOF\n"), 220'000, "%%EOF\n");
    auto markers = std::make_shared<SparseSource>(1024 * kMiB); // one 3 MiB apart all over a card
    markers->place(0, { '%', 'P', 'D', 'F', '-', '1', '.', '4' }).place(kMiB, ByteBuilder().text("%%EOF\n").padTo(3 * kMiB, ' ').build(), 1024 * kMiB);
    auto late = [](uint64_t markerAt) {
        auto source = std::make_shared<SparseSource>(260 * kMiB);
        source->place(0, { '%', 'P', 'D', 'F', '-', '1', '.', '4' }).place(markerAt, { '%', '%', 'E', 'O', 'F' });
        return source;
    };
    std::vector<CarveCase> cases { { "marker and line end", textSource(pdf(3000, "%%EOF\r\nunrelated")), pdf(3000, "%%EOF\r\n").size(), kExact, "pdf" },
        { "incremental updates", textSource(updates, 10'000), updates.size() },
        { "marker at the last start of the follow window", textSource(padded(pdf(1000, "%%EOF"), first + 4 * kMiB - 1)), first + 4 * kMiB + 4 },
        { "marker a byte after the follow window", textSource(padded(pdf(1000, "%%EOF"), first + 4 * kMiB)), first },
        // Two documents a sector apart: the chain must not run into the second, or it would hide every file up to 256 MiB on.
        { "document saved right after another", textSource(padded(pdf(2000, "%%EOF\n"), 4096, pdf(2000, "%%EOF\n"))), pdf(2000, "%%EOF\n").size() },
        { "first marker at the last start within 256 MiB", late(256 * kMiB + 4), 256 * kMiB + 9 },
        { "first marker past 256 MiB", late(256 * kMiB + 5), {} },
        // Guards against a chain of markers 3 MiB apart pulling the document on past its window.
        { "markers all over a card", markers, kMiB + (256 * kMiB + 4 - kMiB) / (3 * kMiB) * (3 * kMiB) + 6, kExact, "", 0, 257 * kMiB + 15 } };
    for (size_t into = 1; into < 5; ++into) // a marker across the end of the first 1 MiB search piece
        cases.push_back({ "marker across a piece end", textSource(padded(pdf(1000), 5 + kMiB - into, "%%EOF\n"), 1000), 5 + kMiB - into + 6 });
    expectCarves(PDFCarver(), cases);
}

}
}
