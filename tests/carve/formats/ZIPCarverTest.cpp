#include "FormatBuilders.hpp"
#include "carve/formats/ZIPCarver.hpp"

namespace brightfold::test {
namespace {

struct Member {
    std::string name;
    std::string data { "hi" };
    uint16_t method { 0 };
    uint16_t extraLength { 0 }; ///< in the central header, like the comment
    std::string comment {};
};

/// Local headers with their data, a central directory listing them, then end
/// records: each gives the directory's size (as written unless given) and offset.
std::vector<uint8_t> zip(const std::vector<Member>& members, std::vector<std::optional<uint32_t>> endSizes = { std::nullopt }, uint32_t directoryAt = UINT32_MAX, std::string_view comment = "")
{
    ByteBuilder b;
    std::vector<uint32_t> offsets;
    for (const auto& m : members) {
        offsets.push_back(uint32_t(b.size())); // signature, version, flags, method, time and date, CRC, sizes, name and extra lengths
        b.bytes({ 'P', 'K', 3, 4 }).u16le(20).u16le(0).u16le(m.method).u32le(0x210000).u32le(0).u32le(uint32_t(m.data.size())).u32le(uint32_t(m.data.size())).u16le(uint16_t(m.name.size())).u16le(0).text(m.name).text(m.data);
    }
    const auto start = uint32_t(b.size());
    for (size_t i = 0; i < members.size(); ++i) {
        const auto& m = members[i];
        b.bytes({ 'P', 'K', 1, 2 }).u16le(0x031E).u16le(20).u16le(0).u16le(m.method).u32le(0x210000).u32le(0).u32le(uint32_t(m.data.size())).u32le(uint32_t(m.data.size()));
        b.u16le(uint16_t(m.name.size())).u16le(m.extraLength).u16le(uint16_t(m.comment.size())).u32le(0).u32le(0).u32le(offsets[i]).text(m.name).fill(m.extraLength, 0xEE).text(m.comment);
    }
    const auto size = uint32_t(b.size() - start);
    for (auto endSize : endSizes)
        b.bytes({ 'P', 'K', 5, 6 }).u32le(0).u16le(uint16_t(members.size())).u16le(uint16_t(members.size())).u32le(endSize.value_or(size)).u32le(std::min(directoryAt, start)).u16le(uint16_t(comment.size())).text(comment);
    return b.build();
}

TEST(ZIPCarverTest, EndRecordAndKind)
{
    const auto plain = zip({ { "a.txt" } }, { std::nullopt }, UINT32_MAX, "a comment");
    auto far = [&](uint64_t endRecordAt) { // local header and directory at 0, the end record far on
        auto source = std::make_shared<SparseSource>(1024 * kMiB);
        source->place(0, prefix(plain, plain.size() - 31)).place(endRecordAt, std::vector<uint8_t>(plain.end() - 31, plain.end()));
        return source;
    };
    const auto atZero = zip({ { "a" } }, { 0 }, 0);
    const auto extras = zip({ { "a.txt", "hi", 0, 36, "a comment" }, { "b.txt", "x", 8, 0, "x" }, { "ppt/slide.xml" } });
    std::vector<CarveCase> cases { { "archive with a comment", sourceOf(plain, 700), plain.size(), kExact, "zip" },
        // An empty directory at the local header itself is enough; one that claims bytes there is not.
        { "empty directory at offset 0", sourceOf(atZero, 700), atZero.size() },
        { "good record after a bad one", sourceOf(zip({ { "a.txt" } }, { 10'000, {} }), 700), zip({ { "a.txt" } }, { 10'000, {} }).size() },
        { "end record at the last start within 512 MiB", far(512 * kMiB - 1), 512 * kMiB + 30 },
        // Guards against the search for the end record running on past its window.
        { "end record at 512 MiB", far(512 * kMiB), {}, kExact, "", 0, 513 * kMiB + 8 },
        { "extra fields and comments are stepped over", sourceOf(extras, 700), extras.size(), kExact, "pptx" } };
    for (int method = 0; method < 256; ++method) {
        const bool known = method == 0 || method == 8 || method == 9 || method == 12 || method == 14 || (method >= 93 && method <= 99);
        cases.push_back({ "method " + std::to_string(method), sourceOf(zip({ { "a", "hi", uint16_t(method) } }), 700), known ? std::optional<uint64_t>(atZero.size()) : std::nullopt });
    }
    for (auto [names, ext] : std::initializer_list<std::pair<std::vector<std::string>, const char*>> { { { "_rels/.rels", "word/document.xml" }, "docx" },
             { { "[Content_Types].xml", "xl/workbook.xml" }, "xlsx" }, { { "ppt/presentation.xml" }, "pptx" },
             { { "docs/word/x.xml", "Word/document.xml", "XL/a", "mimetype.txt", "word" }, "zip" }, { { "xl/a.xml", "word/b.xml" }, "xlsx" } }) {
        std::vector<Member> members;
        for (const auto& name : names)
            members.push_back({ name });
        auto archive = zip(members);
        cases.push_back({ names.back(), sourceOf(archive, 700), archive.size(), kExact, ext });
    }
    // A directory that survived while a member was overwritten claimed the whole range, and hid the file on top.
    auto overwritten = zip({ { "word/document.xml", std::string(600, 'x') }, { "word/b.xml" } });
    std::fill_n(overwritten.begin() + 30 + 17 + 600, 30, uint8_t { 0x99 }); // the second member's local header
    cases.push_back({ "a member's local header overwritten", sourceOf(overwritten, 700), overwritten.size(), kHeuristic });
    expectCarves(ZIPCarver(), cases);
}

TEST(ZIPCarverTest, MimetypeMemberNamesTheKind)
{
    const std::string odf = "application/vnd.oasis.opendocument.";
    struct Row {
        std::string text;
        uint16_t method;
        std::string ext;
        FormatCategory category;
    };
    const Row rows[] { { "application/epub+zip", 0, "epub", FormatCategory::documents }, { odf + "text", 0, "odt", FormatCategory::documents },
        { odf + "spreadsheet", 0, "ods", FormatCategory::documents }, { odf + "presentation", 0, "odp", FormatCategory::documents },
        { odf + "text-template", 0, "zip", FormatCategory::archives }, { "image/openraster", 0, "zip", FormatCategory::archives },
        { odf + "text" + std::string(40, ' '), 0, "zip", FormatCategory::archives },
        // Compressed, the text cannot be compared: the member's name alone says "epub".
        { odf + "text", 8, "epub", FormatCategory::documents } };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        auto archive = zip({ { "mimetype", row.text, row.method }, { "content.xml" } });
        ReadContext context(sourceOf(archive, 700));
        auto match = ZIPCarver().carve(0, context);
        ASSERT_TRUE(match);
        EXPECT_EQ(std::pair(match->ext, match->category), std::pair(row.ext, row.category));
    }
}

TEST(ZIPCarverTest, RealOpenDocumentFilesAreNamedByTheirMimetype)
{
    for (auto [file, ext] : { std::pair { "documents/sample.odt", "odt" }, { "documents/sample.ods", "ods" }, { "documents/sample.odp", "odp" } }) {
        auto bytes = readWholeFile(dataFile(file));
        ASSERT_FALSE(bytes.empty()) << file;
        expectCarves(ZIPCarver(), { { file, sourceOf(bytes, 700), bytes.size(), kExact, ext } });
    }
}

}
}

