#pragma once

#include "carve/CarveMatch.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brightfold {

/// A piece of a file on the source: `length` bytes from `offset`.
struct SourceRun {
    uint64_t offset { 0 };
    uint64_t length { 0 };

    bool operator==(const SourceRun&) const = default;
};

/// One file found by a scan.
struct CarvedFile {
    uint64_t start { 0 };
    uint64_t length { 0 };
    std::string ext;
    FormatCategory category { FormatCategory::photos };
    CarveConfidence confidence { CarveConfidence::exact };
    /// The copy written during a files-mode scan; empty in catalog mode.
    std::string outputPath;
    /// FNV-1a of the first bytes; absent when they could not be read.
    std::optional<std::string> headDigest;
    /// SampleDigests of the file past its head (XXH3 of 4 KiB at every 1 MiB and of
    /// the last 4 KiB); absent in reports written before they were taken, and when
    /// they could not be read.
    std::optional<std::vector<std::string>> sampleDigests;
    /// What a file system's directory entry said of the file: its name, the folders
    /// above it ("DCIM/100CANON", "" at the root) and its modification time (local
    /// time, "2024-05-01T12:34:56", with "+02:00" when the volume kept its offset
    /// from UTC, as exFAT may). Absent for a file carving alone found.
    std::optional<std::string> name {};
    std::optional<std::string> folder {};
    std::optional<std::string> modified {};
    /// The pieces of a fragmented file in file order, the first starting at `start`,
    /// their lengths adding up to `length`; absent for a file that is one range. The
    /// digests are taken over the file's bytes in this order.
    std::optional<std::vector<SourceRun>> runs {};

    /// How many bytes from the start go into the head digest.
    static constexpr uint64_t kHeadDigestBytes = 4096;

    uint64_t id() const { return start; }

    /// "f" + the 512-byte sector number of the start + "." + ext, as f2048.jpg.
    std::string fileName() const;
    /// The folder copies of this kind go into: the extension in upper case (JPG, CR2).
    std::string folderName() const;
    /// "folder/name" as the file system had it ("DCIM/100CANON/IMG_0001.JPG", a name
    /// alone at the root); no value for a file without a name.
    std::optional<std::string> originalPath() const
    {
        if (!name)
            return std::nullopt;
        return folder && !folder->empty() ? *folder + "/" + *name : *name;
    }
    /// The file's pieces on the source: `runs`, or the one range from `start`.
    std::vector<SourceRun> pieces() const { return runs ? *runs : std::vector<SourceRun> { { start, length } }; }

    /// Why `ext` cannot be a file's extension, in words for the user; no value when
    /// it can: 1 to 8 of a-z and 0-9, with single dots inside ("tar.gz").
    static std::optional<std::string> extensionProblem(std::string_view ext);
    /// Why `name` cannot be one component of a path on the user's disk (a name or
    /// one folder): empty, "." or "..", a separator, a leading dot (a hidden file
    /// could be a shell's or desktop's settings), a control or bidirectional
    /// override character (a name that shows other than it is), over 255 bytes.
    static std::optional<std::string> pathComponentProblem(std::string_view name);
    /// Checks the name and every folder component; when one cannot be used, forgets
    /// the name, folder and time (the file is then known by its sector name) and
    /// says why.
    std::optional<std::string> forgetUnusableName();

    /// 64-bit FNV-1a of `data` as lower-case hexadecimal without leading zeros.
    static std::string headDigestOf(std::span<const uint8_t> data);

    bool operator==(const CarvedFile&) const = default;
};

}
