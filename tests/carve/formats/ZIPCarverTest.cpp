#include "TestSupport.hpp"
#include "carve/formats/FormatBuilders.hpp"

#include "carve/formats/ZIPCarver.hpp"

#include <gtest/gtest.h>

using namespace brightfold;
using namespace brightfold::test;

namespace {

/// Writes a ZIP archive: local headers with their data, then a central
/// directory listing them, then the end of central directory record.
class ZipBuilder {
public:
    struct Member {
        std::string name;
        std::vector<uint8_t> data;
        uint16_t method { 0 };
        size_t extraLength { 0 };   ///< in the central header
        std::string comment;        ///< in the central header
    };

    ZipBuilder& member(Member member)
    {
        m_offsets.push_back(m_bytes.size());
        // Local file header: signature, version, flags, method, time, date, CRC, sizes, name and extra lengths.
        m_bytes.bytes({ 0x50, 0x4B, 0x03, 0x04 }).u16le(20).u16le(0).u16le(member.method).u16le(0).u16le(0x21);
        m_bytes.u32le(0).u32le(uint32_t(member.data.size())).u32le(uint32_t(member.data.size()));
        m_bytes.u16le(uint16_t(member.name.size())).u16le(0).text(member.name).bytes(member.data);
        m_members.push_back(std::move(member));
        return *this;
    }
    ZipBuilder& member(std::string name, std::string_view text = "hello")
    {
        return member(Member { std::move(name), std::vector<uint8_t>(text.begin(), text.end()), 0, 0, "" });
    }
    /// Raw bytes between members and directory (another archive, junk, ...).
    ZipBuilder& raw(const std::vector<uint8_t>& bytes) { m_bytes.bytes(bytes); return *this; }

    ZipBuilder& centralDirectory()
    {
        m_cdOffset = m_bytes.size();
        for (size_t i = 0; i < m_members.size(); ++i) {
            const Member& member = m_members[i];
            m_bytes.bytes({ 0x50, 0x4B, 0x01, 0x02 }).u16le(0x031E).u16le(20).u16le(0).u16le(member.method).u16le(0).u16le(0x21);
            m_bytes.u32le(0).u32le(uint32_t(member.data.size())).u32le(uint32_t(member.data.size()));
            m_bytes.u16le(uint16_t(member.name.size())).u16le(uint16_t(member.extraLength)).u16le(uint16_t(member.comment.size()));
            m_bytes.u16le(0).u16le(0).u32le(0).u32le(uint32_t(m_offsets[i]));
            m_bytes.text(member.name).fill(member.extraLength, 0xEE).text(member.comment);
        }
        m_cdSize = m_bytes.size() - m_cdOffset;
        return *this;
    }
    /// The end record; directory offset and size are those written unless given.
    ZipBuilder& endRecord(std::string_view comment = "", std::optional<uint32_t> cdOffset = {}, std::optional<uint32_t> cdSize = {})
    {
        m_endRecordAt = m_bytes.size();
        m_bytes.bytes({ 0x50, 0x4B, 0x05, 0x06 }).u16le(0).u16le(0).u16le(uint16_t(m_members.size())).u16le(uint16_t(m_members.size()));
        m_bytes.u32le(cdSize.value_or(uint32_t(m_cdSize))).u32le(cdOffset.value_or(uint32_t(m_cdOffset)));
        m_bytes.u16le(uint16_t(comment.size())).text(comment);
        return *this;
    }
    /// A whole archive of the members given so far.
    ZipBuilder& finish(std::string_view comment = "") { return centralDirectory().endRecord(comment); }

    size_t endRecordAt() const { return m_endRecordAt; }
    std::vector<uint8_t> build() const { return m_bytes.build(); }

private:
    ByteBuilder m_bytes;
    std::vector<Member> m_members;
    std::vector<size_t> m_offsets;
    size_t m_cdOffset { 0 };
    size_t m_cdSize { 0 };
    size_t m_endRecordAt { 0 };
};

std::optional<CarveMatch> carveAt(std::vector<uint8_t> bytes, uint64_t at = 0)
{
    auto context = contextOver(std::move(bytes));
    return ZIPCarver().carve(at, context);
}

std::vector<uint8_t> withTrailer(const std::vector<uint8_t>& archive, size_t count = 700)
{
    return ByteBuilder().bytes(archive).fill(count, 0x3C).build();
}

CarveMatch archiveMatch(uint64_t length)
{
    return { length, "zip", FormatCategory::archives, CarveConfidence::exact };
}

}

TEST(ZIPCarverTest, ArchiveEndsAfterItsEndRecord)
{
    auto archive = ZipBuilder().member("photos/a.txt").member("photos/b.txt", "world").finish().build();
    EXPECT_EQ(carveAt(withTrailer(archive)), archiveMatch(archive.size()));
}

TEST(ZIPCarverTest, EndRecordCommentBelongsToTheFile)
{
    ZipBuilder builder;
    auto archive = builder.member("a.txt").finish("0123456789").build();
    auto match = carveAt(withTrailer(archive));
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, builder.endRecordAt() + 32);
}

TEST(ZIPCarverTest, FirstNameLengthMustBeFrom1To511)
{
    for (size_t length : { 0, 1, 2, 511, 512, 65535 }) {
        SCOPED_TRACE(length);
        auto archive = ZipBuilder().member(std::string(length, 'n')).finish().build();
        EXPECT_EQ(carveAt(withTrailer(archive)).has_value(), length >= 1 && length <= 511);
    }
}

TEST(ZIPCarverTest, OnlyKnownCompressionMethodsAreAccepted)
{
    for (int method = 0; method < 256; ++method) {
        SCOPED_TRACE(method);
        auto archive = ZipBuilder().member({ "a.bin", { 1, 2, 3 }, uint16_t(method), 0, "" }).finish().build();
        bool known = method == 0 || method == 8 || method == 9 || method == 12 || method == 14 || (method >= 93 && method <= 99);
        EXPECT_EQ(carveAt(withTrailer(archive)).has_value(), known);
    }
}

TEST(ZIPCarverTest, StoredInnerArchiveDoesNotEndTheOuterOne)
{
    auto inner = ZipBuilder().member("inner.txt").finish().build();
    auto outer = ZipBuilder().member({ "inner.zip", inner, 0, 0, "" }).member("after.txt").finish().build();
    EXPECT_EQ(carveAt(withTrailer(outer)), archiveMatch(outer.size()));
}

TEST(ZIPCarverTest, EmptyDirectoryRightAfterTheLocalHeaderIsAccepted)
{
    // The directory offset 0 points at the local header itself; with a size of 0 that is enough.
    auto bytes = ZipBuilder().member("lonely.txt").endRecord("", 0, 0).build();
    EXPECT_EQ(carveAt(withTrailer(bytes)), archiveMatch(bytes.size()));
    // A directory that claims bytes but does not start with a central header is rejected.
    EXPECT_FALSE(carveAt(withTrailer(ZipBuilder().member("lonely.txt").endRecord("", 0, 10).build())));
}

TEST(ZIPCarverTest, DirectoryThatWouldOverlapItsEndRecordRejectsTheRecord)
{
    ZipBuilder builder;
    builder.member("a.txt").centralDirectory();
    auto bad = ZipBuilder(builder).endRecord("", {}, 10000).build();
    EXPECT_FALSE(carveAt(withTrailer(bad)));
    // A later good record is still found.
    auto good = ZipBuilder(builder).endRecord("", {}, 10000).endRecord().build();
    EXPECT_EQ(carveAt(withTrailer(good)), archiveMatch(good.size()));
}

TEST(ZIPCarverTest, AtMost16EndRecordsAreExamined)
{
    for (int rejected : { 15, 16 }) {
        SCOPED_TRACE(rejected);
        ZipBuilder builder;
        builder.member("a.txt").centralDirectory();
        for (int i = 0; i < rejected; ++i)
            builder.endRecord("", 4); // offset 4 is not a central header, and the size is not 0
        auto bytes = builder.endRecord().build();
        EXPECT_EQ(carveAt(withTrailer(bytes)).has_value(), rejected == 15);
    }
}

TEST(ZIPCarverTest, EndRecordWhoseFieldsAreCutOffIsNoMatch)
{
    auto archive = ZipBuilder().member("a.txt").finish().build();
    auto cut = std::vector<uint8_t>(archive.begin(), archive.end() - 2); // comment length missing
    EXPECT_FALSE(carveAt(cut));
}

TEST(ZIPCarverTest, CommentCutByTheSourceEndIsClampedAndStillExact)
{
    auto archive = ZipBuilder().member("a.txt").finish("a comment of some length").build();
    auto cut = std::vector<uint8_t>(archive.begin(), archive.end() - 10);
    EXPECT_EQ(carveAt(cut), archiveMatch(cut.size()));
}

TEST(ZIPCarverTest, EndRecordMustStartWithin512MiBOfTheLocalHeader)
{
    constexpr uint64_t kRange = 512ull * 1024 * 1024;
    auto archive = ZipBuilder().member("big.bin").finish().build();
    const auto endRecord = std::vector<uint8_t>(archive.end() - 22, archive.end());
    const auto front = std::vector<uint8_t>(archive.begin(), archive.end() - 22); // local header and directory
    for (auto [endRecordAt, found] : { std::pair { kRange - 1, true }, std::pair { kRange, false } }) {
        SCOPED_TRACE(endRecordAt);
        auto source = std::make_shared<SparseSource>(kRange + 4096);
        source->place(0, front).place(endRecordAt, endRecord);
        ReadContext context(source);
        auto match = ZIPCarver().carve(0, context);
        EXPECT_EQ(match.has_value(), found);
        if (match) {
            EXPECT_EQ(match->length, endRecordAt + 22);
        }
    }
}

TEST(ZIPCarverTest, MemberNamesMakeTheDocumentKind)
{
    struct Case {
        std::vector<std::string> names;
        const char* ext;
        FormatCategory category;
    };
    const Case cases[] = {
        { { "_rels/.rels", "docProps/core.xml", "word/document.xml" }, "docx", FormatCategory::documents },
        { { "[Content_Types].xml", "xl/workbook.xml" }, "xlsx", FormatCategory::documents },
        { { "ppt/presentation.xml" }, "pptx", FormatCategory::documents },
        { { "mimetype", "META-INF/container.xml" }, "epub", FormatCategory::documents },
        { { "docs/word/x.xml", "Word/document.xml", "XL/a", "mimetype.txt", "mime" }, "zip", FormatCategory::archives },
        { { "word" }, "zip", FormatCategory::archives },
        { { "xl/a.xml", "word/b.xml" }, "xlsx", FormatCategory::documents },
        { { "a.txt" }, "zip", FormatCategory::archives },
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.names.back());
        ZipBuilder builder;
        for (const auto& name : testCase.names)
            builder.member(name);
        auto archive = builder.finish().build();
        auto match = carveAt(withTrailer(archive));
        ASSERT_TRUE(match);
        EXPECT_EQ(*match, (CarveMatch { archive.size(), testCase.ext, testCase.category, CarveConfidence::exact }));
    }
}

TEST(ZIPCarverTest, ClassifyStepsOverExtraFieldsAndComments)
{
    auto archive = ZipBuilder()
                       .member({ "a.txt", { 1 }, 0, 36, "first member's comment" })
                       .member({ "b.txt", { 2 }, 8, 0, "x" })
                       .member("ppt/slides/slide1.xml")
                       .finish()
                       .build();
    auto match = carveAt(withTrailer(archive));
    ASSERT_TRUE(match);
    EXPECT_EQ(match->ext, "pptx");
}

TEST(ZIPCarverTest, Only64DirectoryHeadersAreClassified)
{
    for (int first : { 64, 65 }) {
        SCOPED_TRACE(first);
        ZipBuilder builder;
        for (int i = 1; i < first; ++i)
            builder.member("media/" + std::to_string(i) + ".png");
        auto archive = builder.member("xl/workbook.xml").finish().build();
        auto match = carveAt(withTrailer(archive));
        ASSERT_TRUE(match);
        EXPECT_EQ(match->ext, first == 64 ? "xlsx" : "zip");
    }
}

TEST(ZIPCarverTest, ClassifyStopsAtABrokenDirectory)
{
    auto archive = ZipBuilder().member("a.txt").member("word/document.xml").finish().build();
    auto context = contextOver(archive);
    // Pointed one byte into the directory, the first header's signature is not there.
    auto cdStart = archive.size() - 22 - (2 * 46 + 5 + 17);
    EXPECT_EQ(ZIPCarver::classify(0, cdStart, context).first, "docx");
    EXPECT_EQ(ZIPCarver::classify(0, cdStart + 1, context), std::pair(std::string("zip"), FormatCategory::archives));
}

TEST(ZIPCarverTest, RealArchivesAndDocumentsAreExact)
{
    struct Case {
        const char* name;
        const char* ext;
        FormatCategory category;
    };
    const Case cases[] = {
        { "sample.zip", "zip", FormatCategory::archives },
        { "sample.docx", "docx", FormatCategory::documents },
        { "sample.xlsx", "xlsx", FormatCategory::documents },
        { "sample.pptx", "pptx", FormatCategory::documents },
        { "sample.epub", "epub", FormatCategory::documents },
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        auto file = readWholeFile(std::filesystem::path(BRIGHTFOLD_TEST_DATA_DIR) / "documents" / testCase.name);
        ASSERT_GT(file.size(), 200u);
        auto match = carveAt(ByteBuilder().fill(4096, 0x00).bytes(file).fill(3000, 0x00).build(), 4096);
        ASSERT_TRUE(match);
        EXPECT_EQ(*match, (CarveMatch { file.size(), testCase.ext, testCase.category, CarveConfidence::exact }));
    }
}

// A directory that survived while a member was overwritten still claimed the whole range, and hid the file on top.
TEST(ZIPCarverTest, MemberWhoseLocalHeaderIsGoneMakesTheEndHeuristic)
{
    auto archive = ZipBuilder().member("word/document.xml", std::string(600, 'x')).member("word/b.xml").finish().build();
    auto overwritten = archive;
    std::fill_n(overwritten.begin() + 30 + 17 + 600, 30, uint8_t { 0x99 }); // the second member's local header
    EXPECT_EQ(carveAt(withTrailer(archive))->confidence, CarveConfidence::exact);
    auto match = carveAt(withTrailer(overwritten));
    ASSERT_TRUE(match);
    EXPECT_EQ(match->length, archive.size());
    EXPECT_EQ(match->confidence, CarveConfidence::heuristic);
}
