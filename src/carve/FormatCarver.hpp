#pragma once

#include "carve/CarveMatch.hpp"
#include "carve/FormatCategory.hpp"
#include "carve/ReadContext.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace brightfold {

using Signature = std::vector<uint8_t>;

/// How far from a file's start a carver reads: its walk gives up `length` bytes
/// in, and no read touches a byte `reach` or more bytes in (a search's last piece
/// or a structure that starts just inside the walk may run on past `length`).
/// Fuzzing and the window tests hold every carver to it.
struct WalkWindow {
    uint64_t length;
    uint64_t reach;
};

/// The interface of a format carver. A carver's identity (id, categories,
/// signatures, where the signatures sit) is fixed at construction; carve() is
/// const and keeps no state between calls.
class FormatCarver {
public:
    virtual ~FormatCarver() = default;

    const std::string& id() const { return m_id; }
    const CategorySet& categories() const { return m_categories; }
    const std::vector<Signature>& signatures() const { return m_signatures; }
    /// Where the signatures sit relative to the file's first byte.
    int64_t signatureOffset() const { return m_signatureOffset; }
    const WalkWindow& walkWindow() const { return m_walkWindow; }
    /// Whether an exact match of this carver has checked the file's bytes from
    /// its start to its end (entropy-coded data, a chain of frames or blocks), so
    /// that no other file can lie inside it. Most formats prove only their
    /// structure and carry an opaque body (pixels, media data, sectors) in which
    /// a file written over them could hide.
    virtual bool provesWholeBody() const { return false; }

    /// Validates the structure of a file starting at `at` (one of the signatures
    /// has already been found at at + signatureOffset()) and works out its length.
    /// No value when the bytes are not a file of this format. Reads only through
    /// `context` and throws only what the context's reads throw. The length may
    /// run past the end of the source; the engine clips it.
    virtual std::optional<CarveMatch> carve(uint64_t at, ReadContext& context) const = 0;

protected:
    FormatCarver(std::string id, CategorySet categories, std::vector<Signature> signatures, int64_t signatureOffset, WalkWindow walkWindow)
        : m_id(std::move(id))
        , m_categories(std::move(categories))
        , m_signatures(std::move(signatures))
        , m_signatureOffset(signatureOffset)
        , m_walkWindow(walkWindow)
    {
    }

    /// A signature written as text ("GIF89a").
    static Signature textSignature(std::string_view text) { return Signature(text.begin(), text.end()); }

private:
    std::string m_id;
    CategorySet m_categories;
    std::vector<Signature> m_signatures;
    int64_t m_signatureOffset;
    WalkWindow m_walkWindow;
};

using FormatCarverPtr = std::shared_ptr<const FormatCarver>;

/// Four ASCII characters as a big-endian 32-bit value, for comparing box and chunk types once.
constexpr uint32_t fourcc(const char (&text)[5])
{
    return (static_cast<uint32_t>(static_cast<uint8_t>(text[0])) << 24) | (static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 16)
        | (static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 8) | static_cast<uint32_t>(static_cast<uint8_t>(text[3]));
}

}
