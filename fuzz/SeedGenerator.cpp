// Writes the seed corpora of the fuzz targets: for each target a folder of
// inputs in that target's input form, built from small well-formed files of each
// format (the same structures the tests build) and, where given, from the first
// 64 KiB of real sample files.
//   fuzz_seed_generator OUTPUT_FOLDER [TEST_DATA_FOLDER [SAMPLES_FOLDER]]

#include "FrameReader.hpp"
#include "ThumbnailMessages.hpp"
#include "carve/CarveReport.hpp"
#include "carve/CarverRegistry.hpp"
#include "carve/filesystems/FatImageBuilder.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

using namespace brightfold;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

/// Builds bytes field by field.
class Builder {
public:
    Builder& bytes(std::initializer_list<uint8_t> values) { m_bytes.insert(m_bytes.end(), values); return *this; }
    Builder& bytes(const Bytes& values) { m_bytes.insert(m_bytes.end(), values.begin(), values.end()); return *this; }
    Builder& text(std::string_view value) { m_bytes.insert(m_bytes.end(), value.begin(), value.end()); return *this; }
    Builder& fill(size_t count, uint8_t value = 0) { m_bytes.insert(m_bytes.end(), count, value); return *this; }
    Builder& u8(uint8_t value) { m_bytes.push_back(value); return *this; }
    Builder& u16be(uint16_t value) { return integer(value, 2, true); }
    Builder& u16le(uint16_t value) { return integer(value, 2, false); }
    Builder& u32be(uint32_t value) { return integer(value, 4, true); }
    Builder& u32le(uint32_t value) { return integer(value, 4, false); }
    Builder& u64be(uint64_t value) { return integer(value, 8, true); }
    Builder& padTo(size_t size, uint8_t value = 0)
    {
        if (m_bytes.size() < size)
            m_bytes.resize(size, value);
        return *this;
    }
    size_t size() const { return m_bytes.size(); }
    const Bytes& build() const { return m_bytes; }

private:
    Builder& integer(uint64_t value, int width, bool bigEndian)
    {
        for (int i = 0; i < width; ++i)
            m_bytes.push_back(static_cast<uint8_t>(value >> (bigEndian ? 8 * (width - 1 - i) : 8 * i)));
        return *this;
    }

    Bytes m_bytes;
};

// Well-formed files of each format.

Bytes pngChunk(std::string_view type, const Bytes& data)
{
    return Builder().u32be(static_cast<uint32_t>(data.size())).text(type).bytes(data).u32be(0).build();
}

Bytes png()
{
    Bytes ihdr = Builder().u32be(1).u32be(1).bytes({ 8, 2, 0, 0, 0 }).build();
    return Builder()
        .bytes({ 0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A })
        .bytes(pngChunk("IHDR", ihdr))
        .bytes(pngChunk("tEXt", Builder().text("Comment").u8(0).text("seed").build()))
        .bytes(pngChunk("IDAT", Builder().bytes({ 0x78, 0x9C, 0x63, 0xF8, 0x0F, 0x00, 0x01, 0x01, 0x01, 0x00 }).build()))
        .bytes(pngChunk("IEND", {}))
        .build();
}

Bytes jpegSegment(uint8_t marker, const Bytes& body)
{
    return Builder().u8(0xFF).u8(marker).u16be(static_cast<uint16_t>(body.size() + 2)).bytes(body).build();
}

Bytes jpeg(bool withEnd, bool progressive)
{
    Builder b;
    b.bytes({ 0xFF, 0xD8 });
    b.bytes(jpegSegment(0xE0, Builder().text("JFIF").u8(0).bytes({ 1, 1, 0, 0, 1, 0, 1, 0, 0 }).build()));
    b.bytes(jpegSegment(0xE1, Builder().text("Exif").bytes({ 0, 0 }).text("II").bytes({ 0x2A, 0 }).u32le(8).u16le(0).u32le(0).build()));
    b.bytes(jpegSegment(0xDB, Builder().u8(0).fill(64, 1).build()));
    b.bytes(jpegSegment(progressive ? 0xC2 : 0xC0, Builder().u8(8).u16be(8).u16be(8).u8(1).bytes({ 1, 0x11, 0 }).build()));
    b.bytes(jpegSegment(0xC4, Builder().u8(0).u8(1).fill(15, 0).u8(0).build())); // one code of length 1
    b.bytes({ 0xFF, 0xFF }); // a fill byte before the next marker
    b.bytes(jpegSegment(0xDA, Builder().u8(1).bytes({ 1, 0 }).bytes({ 0, 63, 0 }).build()));
    b.bytes({ 0x12, 0x34, 0xFF, 0x00, 0x56, 0xFF, 0xD0, 0x78 });
    if (progressive)
        b.bytes(jpegSegment(0xDA, Builder().u8(1).bytes({ 1, 0 }).bytes({ 1, 5, 0 }).build())).bytes({ 0x9A, 0xBC });
    if (withEnd)
        b.bytes({ 0xFF, 0xD9 });
    return b.build();
}

Bytes gif(bool version89)
{
    Builder b;
    b.text(version89 ? "GIF89a" : "GIF87a").u16le(2).u16le(2).u8(0xF7).u8(0).u8(0);
    b.fill(3 * 256, 0x40);
    if (version89)
        b.bytes({ 0x21, 0xF9, 0x04, 0x01, 0x0A, 0x00, 0x00, 0x00 });
    b.u8(0x2C).u16le(0).u16le(0).u16le(2).u16le(2).u8(0x80).fill(6, 0x11);
    b.u8(2).u8(3).bytes({ 0x84, 0x8F, 0x01 }).u8(0);
    if (version89)
        b.bytes({ 0x21, 0xFE, 0x04 }).text("seed").u8(0);
    b.u8(0x3B);
    return b.build();
}

Bytes bmp()
{
    Builder b;
    b.text("BM").u32le(58).u32le(0).u32le(54);
    b.u32le(40).u32le(1).u32le(1).u16le(1).u16le(24).u32le(0).u32le(4).u32le(2835).u32le(2835).u32le(0).u32le(0);
    b.bytes({ 0x00, 0x00, 0xFF, 0x00 });
    return b.build();
}

Bytes box(std::string_view type, const Bytes& body)
{
    return Builder().u32be(static_cast<uint32_t>(body.size() + 8)).text(type).bytes(body).build();
}

Bytes isobmff(std::string_view brand, bool largeMdat)
{
    Builder b;
    b.bytes(box("ftyp", Builder().text(brand).u32be(0).text(brand).text("isom").build()));
    b.bytes(box("free", Bytes(8, 0)));
    b.bytes(box("moov", box("mvhd", Bytes(100, 0))));
    if (largeMdat)
        b.u32be(1).text("mdat").u64be(16 + 32).fill(32, 0x55);
    else
        b.bytes(box("mdat", Bytes(64, 0x55)));
    return b.build();
}

Bytes riff(std::string_view form)
{
    Bytes body = form == "WAVE" ? Builder().text("fmt ").u32le(16).u16le(1).u16le(1).u32le(8000).u32le(8000).u16le(1).u16le(8).text("data").u32le(5).fill(5, 0x80).u8(0).build()
        : form == "WEBP"        ? Builder().text("VP8L").u32le(5).bytes({ 0x2F, 0, 0, 0, 0 }).u8(0).build()
                                : Builder().text("LIST").u32le(4).text("hdrl").build();
    return Builder().text("RIFF").u32le(static_cast<uint32_t>(body.size() + 4)).text(form).bytes(body).build();
}

Bytes aiff()
{
    Bytes body = Builder().text("COMM").u32be(18).u16be(1).u32be(4).u16be(8).fill(10, 0).text("SSND").u32be(12).u32be(0).u32be(0).fill(4, 0).build();
    return Builder().text("FORM").u32be(static_cast<uint32_t>(body.size() + 4)).text("AIFF").bytes(body).build();
}

/// A classic TIFF: one directory with a strip, a Make tag, an EXIF directory and
/// a SubIFD holding a JPEG preview; `flavour` adds a "CR" marker or a DNGVersion.
Bytes tiff(bool bigEndian, std::string_view make, std::string_view flavour)
{
    Builder b;
    auto u16 = [&](uint16_t v) -> Builder& { return bigEndian ? b.u16be(v) : b.u16le(v); };
    auto u32 = [&](uint32_t v) -> Builder& { return bigEndian ? b.u32be(v) : b.u32le(v); };
    auto entry = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
        u16(tag);
        u16(type);
        u32(count);
        if (type == 3 && count == 1) {
            u16(static_cast<uint16_t>(value));
            u16(0);
        } else {
            u32(value);
        }
    };
    b.text(bigEndian ? "MM" : "II");
    u16(42);
    u32(16);
    if (flavour == "cr2")
        b.text("CR").bytes({ 2, 0 }).u32le(0);
    b.padTo(16);
    const uint16_t entries = flavour == "dng" ? 8 : 7;
    const uint32_t ifdEnd = 16 + 2 + 12 * entries + 4;
    const uint32_t makeAt = ifdEnd;
    const uint32_t exifAt = makeAt + 32;
    const uint32_t subAt = exifAt + 2 + 12 + 4;
    const uint32_t stripAt = subAt + 2 + 24 + 4;
    const uint32_t jpegAt = stripAt + 200;
    u16(entries);
    entry(0x0100, 3, 1, 10);
    entry(0x010F, 2, static_cast<uint32_t>(make.size() + 1), makeAt);
    entry(0x0111, 4, 1, stripAt);
    entry(0x0117, 4, 1, 200);
    entry(0x014A, 4, 1, subAt);
    entry(0x8769, 4, 1, exifAt);
    entry(0x8825, 4, 1, 0);
    if (flavour == "dng")
        entry(0xC612, 1, 4, 0x00000401);
    u32(0);
    b.text(make).padTo(exifAt);
    u16(1);
    entry(0x9000, 7, 4, 0x30323330);
    u32(0);
    u16(2);
    entry(0x0201, 4, 1, jpegAt);
    entry(0x0202, 4, 1, 64);
    u32(0);
    b.fill(200, 0x77);
    b.bytes({ 0xFF, 0xD8, 0xFF, 0xDB }).fill(58, 0).bytes({ 0xFF, 0xD9 });
    return b.build();
}

Bytes pdf(int updates)
{
    Builder b;
    b.text("%PDF-1.7\n%\xE2\xE3\xCF\xD3\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n");
    b.text("trailer\n<< /Root 1 0 R >>\nstartxref\n9\n%%EOF\r\n");
    for (int i = 0; i < updates; ++i)
        b.text("3 0 obj\n<< >>\nendobj\nstartxref\n120\n%%EOF\n");
    return b.build();
}

Bytes zip(const std::vector<std::string>& names)
{
    Builder local;
    std::vector<uint32_t> offsets;
    for (const auto& name : names) {
        offsets.push_back(static_cast<uint32_t>(local.size()));
        local.bytes({ 0x50, 0x4B, 0x03, 0x04 }).u16le(20).u16le(0).u16le(0).u32le(0).u32le(0).u32le(4).u32le(4);
        local.u16le(static_cast<uint16_t>(name.size())).u16le(0).text(name).text("data");
    }
    Builder central;
    for (size_t i = 0; i < names.size(); ++i) {
        central.bytes({ 0x50, 0x4B, 0x01, 0x02 }).u16le(20).u16le(20).u16le(0).u16le(0).u32le(0).u32le(0).u32le(4).u32le(4);
        central.u16le(static_cast<uint16_t>(names[i].size())).u16le(0).u16le(0).u16le(0).u16le(0).u32le(0).u32le(offsets[i]).text(names[i]);
    }
    Builder b;
    b.bytes(local.build()).bytes(central.build());
    b.bytes({ 0x50, 0x4B, 0x05, 0x06 }).u16le(0).u16le(0).u16le(static_cast<uint16_t>(names.size())).u16le(static_cast<uint16_t>(names.size()));
    b.u32le(static_cast<uint32_t>(central.size())).u32le(static_cast<uint32_t>(local.size())).u16le(4).text("seed");
    return b.build();
}

Bytes utf16(std::string_view text)
{
    Builder b;
    for (char c : text)
        b.u8(static_cast<uint8_t>(c)).u8(0);
    return b.build();
}

Bytes ole2(std::string_view stream)
{
    Builder b;
    b.bytes({ 0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1 }).fill(16, 0).u16le(0x3E).u16le(3).u16le(0xFFFE).u16le(9).u16le(6);
    b.fill(6, 0).u32le(0).u32le(1).u32le(1).u32le(0).u32le(0x1000).u32le(2).u32le(1).u32le(0xFFFFFFFE).u32le(0);
    b.padTo(512, 0xFF);
    b.fill(512, 0xFF);
    b.bytes(utf16("Root Entry")).padTo(1024 + 128, 0);
    b.bytes(utf16(stream)).padTo(1024 + 512, 0);
    return b.build();
}

Bytes mp3(int frames, bool withTag)
{
    Builder b;
    b.text("ID3").bytes({ 3, 0, 0 }).bytes({ 0, 0, 0, 20 }).text("TIT2").u32be(5).u16be(0).u8(0).text("seed").fill(5, 0);
    for (int i = 0; i < frames; ++i)
        b.bytes({ 0xFF, 0xFB, 0x90, 0x64 }).fill(413, static_cast<uint8_t>(i));
    if (withTag)
        b.text("TAG").fill(125, 0x20);
    return b.build();
}

/// CRC-32 (reflected, polynomial EDB88320) as RAR's headers carry it.
uint32_t crc32Of(const Bytes& bytes)
{
    uint32_t crc = 0xFFFF'FFFF;
    for (uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB8'8320 & (0u - (crc & 1)));
    }
    return ~crc;
}

/// A RAR 4 archive (marker, archive header, one stored file, end block) or a
/// RAR 5 one (marker, main header, one file, end header).
Bytes rar(bool version5)
{
    Builder b;
    if (!version5) {
        b.bytes({ 'R', 'a', 'r', '!', 0x1A, 0x07, 0x00 });
        auto block = [&](uint8_t type, uint16_t flags, const Bytes& fields, size_t data) {
            Bytes header = Builder().u8(type).u16le(flags).u16le(static_cast<uint16_t>(7 + fields.size())).bytes(fields).build();
            b.u16le(static_cast<uint16_t>(crc32Of(header))).bytes(header).fill(data, 0x5A);
        };
        block(0x73, 0, Bytes(6), 0);
        block(0x74, 0x8000, Builder().u32le(40).u32le(40).u8(3).u32le(0).u32le(0).u8(29).u8(0x30).u16le(4).u32le(0x20).text("seed").build(), 40);
        block(0x7B, 0x4000, {}, 0);
        return b.build();
    }
    b.bytes({ 'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00 });
    auto block = [&](const Bytes& fields, size_t data) { // fields from the type on; one-byte sizes
        Bytes header = Builder().u8(static_cast<uint8_t>(fields.size())).bytes(fields).build();
        b.u32le(crc32Of(header)).bytes(header).fill(data, 0x5A);
    };
    block({ 1, 0, 0 }, 0);
    block(Builder().u8(2).u8(2).u8(40).u8(0).u8(40).u8(0x20).u8(0).u8(0).u8(4).text("seed").build(), 40);
    block({ 5, 0, 0 }, 0);
    return b.build();
}

// Writing the corpora.

class CorpusWriter {
public:
    explicit CorpusWriter(fs::path root) : m_root(std::move(root)) { }

    void write(const std::string& target, const std::string& name, const Bytes& input)
    {
        fs::path folder = m_root / target;
        fs::create_directories(folder);
        std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
        if (!out)
            throw std::runtime_error("cannot write " + (folder / name).string());
        ++m_written;
    }

    int written() const { return m_written; }

private:
    fs::path m_root;
    int m_written { 0 };
};

/// A carver target's input: flags, a 16-bit distance, and the file with its
/// signature taken out (the harness puts it back).
void writeCarverSeeds(CorpusWriter& writer, const FormatCarver& carver, const std::string& name, const Bytes& file)
{
    const auto offset = static_cast<size_t>(carver.signatureOffset());
    for (size_t index = 0; index < carver.signatures().size(); ++index) {
        const auto& signature = carver.signatures()[index];
        if (file.size() < offset + signature.size() || !std::equal(signature.begin(), signature.end(), file.begin() + static_cast<std::ptrdiff_t>(offset)))
            continue;
        Bytes rest(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(offset));
        rest.insert(rest.end(), file.begin() + static_cast<std::ptrdiff_t>(offset + signature.size()), file.end());
        // The signature's index in bits 3, 6 and 7 of the flags, as the harness reads it.
        const uint8_t signatureBit = static_cast<uint8_t>((index & 1) << 3 | (index >> 1 & 3) << 6);
        // exact source; ends early with the bytes as window; zeros after; far copy at the window's edge; far start
        for (uint8_t flags : { 0x00, 0x05, 0x02, 0x03, 0x21 }) {
            Bytes input { static_cast<uint8_t>(flags | signatureBit), 0xF0, 0xFF };
            input.insert(input.end(), rest.begin(), rest.end());
            writer.write("fuzz_carver_" + carver.id(), name + "-" + std::to_string(flags), input);
        }
    }
}

Bytes readHead(const fs::path& path, size_t limit)
{
    std::ifstream in(path, std::ios::binary);
    Bytes bytes(limit);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(limit));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

Bytes readContextSeed(uint8_t flags, std::string_view pattern, uint32_t from, uint32_t limit, uint16_t step, uint32_t slack, const Bytes& data)
{
    Builder b;
    b.u8(flags).u8(static_cast<uint8_t>(pattern.size() - 1)).u32le(from).u32le(limit).u16le(step).u32le(slack);
    b.u32le(16).u32le(4096).u32le(3).u32le(24);
    b.text(pattern).bytes(data);
    return b.build();
}

}

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: fuzz_seed_generator OUTPUT_FOLDER [TEST_DATA_FOLDER [SAMPLES_FOLDER]]\n");
        return 2;
    }
    CorpusWriter writer(argv[1]);

    std::map<std::string, std::vector<std::pair<std::string, Bytes>>> files {
        { "png", { { "minimal", png() } } },
        { "jpeg", { { "baseline", jpeg(true, false) }, { "progressive", jpeg(true, true) }, { "unended", jpeg(false, false) } } },
        { "gif", { { "gif89a", gif(true) }, { "gif87a", gif(false) } } },
        { "bmp", { { "bitmap", bmp() } } },
        { "isobmff", { { "heic", isobmff("heic", false) }, { "mp4-largesize", isobmff("mp42", true) }, { "qt", isobmff("qt  ", false) } } },
        { "riff", { { "wave", riff("WAVE") }, { "webp", riff("WEBP") }, { "avi", riff("AVI ") }, { "aiff", aiff() } } },
        { "tiff", { { "tif-le", tiff(false, "Seed", "") }, { "tif-be", tiff(true, "Seed", "") }, { "cr2", tiff(false, "Canon", "cr2") }, { "dng", tiff(false, "NIKON", "dng") }, { "nef", tiff(true, "NIKON CORPORATION", "") } } },
        { "pdf", { { "single", pdf(0) }, { "updated", pdf(2) } } },
        { "zip", { { "docx", zip({ "[Content_Types].xml", "word/document.xml" }) }, { "epub", zip({ "mimetype", "OEBPS/content.opf" }) }, { "plain", zip({ "a.txt" }) } } },
        { "ole2", { { "doc", ole2("WordDocument") }, { "xls", ole2("Workbook") } } },
        { "mp3", { { "tagged", mp3(6, true) }, { "untagged", mp3(4, false) } } },
        { "rar", { { "rar4", rar(false) }, { "rar5", rar(true) } } },
    };

    // The heads of real files, by the carver that claims them: the tests' small
    // real files and the shared samples.
    const std::map<std::string, std::string> carverOfExtension {
        { ".jpg", "jpeg" }, { ".JPG", "jpeg" }, { ".png", "png" }, { ".gif", "gif" }, { ".bmp", "bmp" },
        { ".tif", "tiff" }, { ".cr2", "tiff" }, { ".nef", "tiff" }, { ".arw", "tiff" }, { ".dng", "tiff" },
        { ".cr3", "isobmff" }, { ".heic", "isobmff" }, { ".avif", "isobmff" }, { ".m4a", "isobmff" }, { ".mp4", "isobmff" },
        { ".mov", "isobmff" }, { ".3gp", "isobmff" }, { ".avi", "riff" }, { ".webp", "riff" }, { ".wav", "riff" },
        { ".aiff", "riff" }, { ".pdf", "pdf" }, { ".zip", "zip" }, { ".docx", "zip" }, { ".xlsx", "zip" }, { ".pptx", "zip" },
        { ".epub", "zip" }, { ".doc", "ole2" }, { ".xls", "ole2" }, { ".ppt", "ole2" }, { ".mp3", "mp3" },
        { ".odt", "zip" }, { ".ods", "zip" }, { ".odp", "zip" }, { ".rw2", "tiff" }, { ".raf", "raf" }, { ".crw", "crw" }, { ".mrw", "mrw" },
        { ".x3f", "x3f" }, { ".psd", "psd" }, { ".7z", "7z" }, { ".gz", "gzip" },
        { ".ts", "ts" }, { ".mts", "m2ts" }, { ".mpg", "mpegps" }, { ".mkv", "matroska" }, { ".webm", "matroska" }, { ".wmv", "asf" },
        { ".wma", "asf" }, { ".flv", "flv" }, { ".flac", "flac" }, { ".ogg", "ogg" }, { ".opus", "ogg" }, { ".aac", "adts" },
    };
    for (int folder = 2; folder < std::min(argc, 4); ++folder) {
        if (!fs::is_directory(argv[folder]))
            continue;
        for (const auto& entry : fs::recursive_directory_iterator(argv[folder])) {
            if (!entry.is_regular_file())
                continue;
            if (entry.path().extension() == ".json" && entry.path().parent_path().filename() == "lsblk") {
                writer.write("fuzz_lsblk", entry.path().filename().string(), readHead(entry.path(), 0x100000));
                continue;
            }
            auto found = carverOfExtension.find(entry.path().extension().string());
            if (found != carverOfExtension.end())
                files[found->second].push_back({ "real-" + entry.path().filename().string(), readHead(entry.path(), 0x10000) });
        }
    }

    std::vector<uint8_t> image;
    for (const auto& carver : CarverRegistry::all()) {
        for (const auto& [name, bytes] : files[carver.get()->id()]) {
            writeCarverSeeds(writer, *carver, name, bytes);
            if (name.starts_with("real-"))
                continue;
            // The engine's seed image: every built file on the sector grid.
            image.insert(image.end(), bytes.begin(), bytes.end());
            image.resize((image.size() + 511) / 512 * 512, 0);
        }
    }

    // The whole scan: chunk sizes that split files, strides on and off the grid.
    for (auto [flags, chunk, stride, name] : { std::tuple { 0, 4096, 511, "catalog" }, { 1, 1536, 0, "files" }, { 0, 700, 99, "odd-stride" }, { 2, 8191, 511, "ends-early" }, { 4, 4096, 511, "read-ahead" }, { 14, 2048, 511, "read-ahead-fails" } }) {
        Builder b;
        b.u8(static_cast<uint8_t>(flags)).u16le(static_cast<uint16_t>(chunk - 1)).u16le(static_cast<uint16_t>(stride)).u8(0x3F).bytes(image);
        writer.write("fuzz_engine", name, b.build());
    }

    // The read context: markers in chains, straddling steps, near the end.
    Bytes markers = Builder().fill(100, 'x').text("%%EOF").fill(40, 'y').text("%%EOF").fill(300, 'z').text("%%EOF").text("%%EO").build();
    writer.write("fuzz_read_context", "chain", readContextSeed(0x10, "%%EOF", 0, 0xFFFF, 64, 100, markers));
    writer.write("fuzz_read_context", "straddle", readContextSeed(0x00, "%%EOF", 3, 0xFFFF, 99, 5, markers));
    writer.write("fuzz_read_context", "huge-limit", readContextSeed(0x0A, "\xFF\xD9", 0, 0, 1, 0, jpeg(true, false)));
    writer.write("fuzz_read_context", "one-mib-step", readContextSeed(0x14, "PK\x05\x06", 0, 0xFFFF, 0, 0, zip({ "a" })));

    // The file-system reader: small cards with live, deleted and fragmented photos.
    for (auto [kind, name] : { std::pair { FatKind::fat12, "fat12" }, { FatKind::exfat, "exfat" } }) {
        test::FatImageBuilder card(kind, 64);
        const Bytes photo = jpeg(true, false);
        const auto size = static_cast<uint32_t>(photo.size());
        card.entry(0, { .longName = "DCIM", .shortName = "DCIM       ", .firstCluster = 10, .directory = true }).chain({ 10 });
        card.entry(10, { .longName = "Live photo.jpg", .shortName = "LIVEPH~1JPG", .firstCluster = 20, .size = size }).data({ 20, 21, 22, 23 }, photo);
        card.chain({ 20, 21, 22, 23 });
        card.entry(10, { .longName = "Deleted.jpg", .shortName = "DELETE~1JPG", .firstCluster = 30, .size = size, .deleted = true });
        card.data({ 30, 32, 33, 34, 35 }, photo).chain({ 31 });
        writer.write("fuzz_file_system", name, card.bytes());
        writer.write("fuzz_file_system", std::string(name) + "-partitioned", card.partitioned(8));
    }

    // The report decoder.
    CarveReport report;
    report.sourceDescription = "/dev/sdb";
    report.totalBytes = 64 * 1024 * 1024;
    report.scannedBytes = report.totalBytes;
    report.duration = 1.25;
    report.badReads = 3;
    report.files.push_back({ 1048576, 53542, "jpg", FormatCategory::photos, CarveConfidence::exact, "", "9a3f0c1d2e4b5a67", {} });
    report.files.push_back({ 2097152, 4096, "cr2", FormatCategory::rawPhotos, CarveConfidence::heuristic, "/tmp/out/CR2/f4096.cr2", std::nullopt, {} });
    auto text = [](const std::string& value) { return Bytes(value.begin(), value.end()); };
    writer.write("fuzz_report", "report", text(report.toJson()));
    writer.write("fuzz_report", "empty", text(CarveReport {}.toJson()));
    writer.write("fuzz_report", "compact", text(R"({"badReads":-1,"cancelled":true,"duration":0,"files":[{"category":"archives","confidence":"exact","ext":"zip","length":1,"outputPath":"","start":0}],"scannedBytes":0,"sourceDescription":"m","totalBytes":1})"));

    // The paths a report's fields make a save write: plain names and hostile ones.
    auto pathFields = [](std::initializer_list<std::array<std::string, 3>> files) {
        Bytes bytes { static_cast<uint8_t>(files.size()) };
        uint16_t sector = 1;
        for (const auto& [ext, name, folder] : files) {
            for (uint16_t value : { sector++, uint16_t(100) })
                bytes.insert(bytes.end(), { static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8) });
            auto add = [&](const std::string& field) {
                bytes.push_back(static_cast<uint8_t>(field.size()));
                bytes.insert(bytes.end(), field.begin(), field.end());
            };
            add(ext);
            bytes.push_back(3); // a name and a folder
            add(name);
            add(folder);
        }
        return bytes;
    };
    writer.write("fuzz_report_paths", "named", pathFields({ { "jpg", "IMG_0001.JPG", "DCIM/100CANON" }, { "tar.gz", "b.tar.gz", "" } }));
    writer.write("fuzz_report_paths", "hostile",
        pathFields({ { "../x", "a", "" }, { "jpg", ".bashrc", "" }, { "jpg", "x.desktop", ".config/autostart" }, { "jpg", "X", "a/../../X" } }));

    // The stored-scan decoder: a card and an image record, written as the store writes them.
    writer.write("fuzz_scan_session", "disk", text(R"({"createdAt":"2026-03-01T14:05:09Z","id":"0F6B2A5E-3C1D-4E8F-9A7B-112233445566",)"
        R"("report":{"badReads":0,"cancelled":false,"duration":2.5,"files":[{"category":"photos","confidence":"exact","ext":"jpg",)"
        R"("headDigest":"af63bd4c8601b7df","length":4096,"outputPath":"","start":1048576}],"scannedBytes":4096,"sourceDescription":"\/dev\/sdb",)"
        R"("totalBytes":4096},"source":{"disk":{"deviceIdentifier":"sdb","mediaName":"SD SL64G","sizeBytes":64000000000,)"
        R"("volumeNames":["EOS_DIGITAL"]}},"sourceName":"EOS_DIGITAL"})"));
    writer.write("fuzz_scan_session", "image", text(R"({"createdAt":"2026-03-01T14:05:09+01:00","id":"0F6B2A5E-3C1D-4E8F-9A7B-112233445567",)"
        R"("report":{"badReads":0,"cancelled":true,"duration":0,"files":[],"scannedBytes":0,"sourceDescription":"m","totalBytes":1},)"
        R"("source":{"image":{"path":"\/home\/me\/card.img","sizeBytes":1}},"sourceName":"card.img"})"));

    // A failing device: geometry, size, bad runs, interruptions, short reads, reads.
    for (auto [geometry, name] : { std::pair { 0, "512" }, { 1, "4096" }, { 4, "fstat" }, { 3, "odd" } }) {
        Builder b;
        b.u8(static_cast<uint8_t>(geometry)).u32le(1'000'003);
        b.u8(3).u32le(7).u8(1).u32le(100).u8(7).u32le(1500).u8(0);
        b.u8(5).u8(0x9A);
        for (auto [offset, count] : { std::pair { 0u, 65536u }, { 1000u, 100u }, { 3000u, 300000u }, { 999'990u, 100u }, { 51'200u, 512u } })
            b.u32le(offset).u32le(count);
        writer.write("fuzz_block_device", name, b.build());
    }

    // lsblk output: a card reader with a mounted partition, an internal disk, and
    // the older form with strings for numbers and flags.
    writer.write("fuzz_lsblk", "card-reader", text(R"({"blockdevices": [
   {"name":"sda", "kname":"sda", "type":"disk", "size":512110190592, "rm":false, "hotplug":false, "tran":"sata", "subsystems":"block:scsi:pci", "model":"Samsung SSD 860", "label":null, "mountpoints":[null],
      "children": [{"name":"sda1", "kname":"sda1", "type":"part", "size":512109142016, "rm":false, "hotplug":false, "tran":null, "subsystems":"block:scsi:pci", "model":null, "label":"root", "mountpoints":["/"]}]},
   {"name":"sdb", "kname":"sdb", "type":"disk", "size":63864569856, "rm":true, "hotplug":true, "tran":"usb", "subsystems":"block:scsi:usb:pci", "model":"SD/MMC Reader", "label":null, "mountpoints":[null],
      "children": [{"name":"sdb1", "kname":"sdb1", "type":"part", "size":63863521280, "rm":true, "hotplug":true, "tran":null, "subsystems":"block:scsi:usb:pci", "model":null, "label":"EOS_DIGITAL", "mountpoints":["/media/user/EOS_DIGITAL"]}]},
   {"name":"mmcblk0", "kname":"mmcblk0", "type":"disk", "size":"31914983424", "rm":"0", "hotplug":"1", "tran":"mmc", "subsystems":"block:mmc:mmc_host:pci", "model":null, "label":null, "mountpoint":null}
]})"));

    // Thumbnail worker streams: requests, a "nothing" reply and a small picture,
    // alone and one after the other, read in pieces of 1, 7 and 64 bytes.
    {
        auto append = [](Bytes& to, const std::vector<uint8_t>& from) { to.insert(to.end(), from.begin(), from.end()); };
        ThumbnailRequest request;
        request.path = "/home/user/Saved/JPG/f2048.jpg";
        request.maxWidth = request.maxHeight = 512;
        auto requestFrame = encodeFrame(encodeRequest(request));
        // A carved file's bytes handed over in pieces after their request.
        ThumbnailRequest handed;
        handed.ext = "jpg";
        handed.maxWidth = handed.maxHeight = 512;
        handed.enoughSide = 300;
        handed.expectedBytes = 6;
        append(requestFrame, encodeFrame(encodeRequest(handed)));
        append(requestFrame, encodeFrame(encodeBytesPiece(Bytes { 0xFF, 0xD8, 0xFF })));
        append(requestFrame, encodeFrame(encodeBytesPiece(Bytes { 0xE0, 0x00, 0x10 })));
        append(requestFrame, encodeFrame(encodeBytesEnd()));
        const auto nothingFrame = encodeFrame(encodeReply({}));
        const auto pictureFrame = encodeFrame(encodeReply({ ThumbnailPixels { 3, 2, Bytes(3 * 2 * 4, 0x80) } }));
        for (uint8_t piece : { 1, 7, 64 }) {
            Bytes seed { piece, 0x00, 0x02, 0x00, 0x02 }; // 512 × 512, little-endian fields
            append(seed, requestFrame);
            append(seed, nothingFrame);
            append(seed, pictureFrame);
            writer.write("fuzz_thumbnail_framing", "stream-" + std::to_string(piece), seed);
        }
    }

    std::printf("%d seed inputs written to %s\n", writer.written(), argv[1]);
    return 0;
}
