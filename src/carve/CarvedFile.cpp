#include "carve/CarvedFile.hpp"

#include <algorithm>
#include <array>
#include <cctype>

namespace brightfold {

std::string_view rawValue(CarveConfidence confidence)
{
    return confidence == CarveConfidence::exact ? "exact" : "heuristic";
}

std::optional<CarveConfidence> carveConfidenceFromRawValue(std::string_view raw)
{
    if (raw == "exact")
        return CarveConfidence::exact;
    if (raw == "heuristic")
        return CarveConfidence::heuristic;
    return std::nullopt;
}

std::string CarvedFile::fileName() const
{
    std::string name = "f";
    name.append(std::to_string(start >> 9)).append(".").append(ext);
    return name;
}

std::string CarvedFile::folderName() const
{
    std::string name = ext;
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return name;
}

namespace {

constexpr size_t kMaxExtensionLength = 8;
constexpr size_t kMaxNameBytes = 255; // NAME_MAX of the common Linux file systems

/// The length in bytes of the character at `at` in the UTF-8 `text` when it is one
/// that hides or reorders what is shown: a C0 or C1 control character, or a mark
/// that changes the direction of the text after it (U+061C, U+200E, U+200F,
/// U+202A to U+202E, U+2066 to U+2069); else 0.
size_t hiddenCharacterAt(std::string_view text, size_t at)
{
    auto byte = [&](size_t k) { return at + k < text.size() ? static_cast<unsigned char>(text[at + k]) : 0; };
    if (byte(0) < 0x20 || byte(0) == 0x7F)
        return 1;
    if ((byte(0) == 0xC2 && byte(1) >= 0x80 && byte(1) <= 0x9F) || (byte(0) == 0xD8 && byte(1) == 0x9C))
        return 2;
    if (byte(0) == 0xE2 && byte(1) == 0x80 && (byte(2) == 0x8E || byte(2) == 0x8F || (byte(2) >= 0xAA && byte(2) <= 0xAE)))
        return 3;
    if (byte(0) == 0xE2 && byte(1) == 0x81 && byte(2) >= 0xA6 && byte(2) <= 0xA9)
        return 3;
    return 0;
}

/// `text` with each hidden character replaced by "?", so a refusal can quote it.
std::string showable(std::string_view text)
{
    std::string shown;
    for (size_t i = 0; i < text.size();) {
        size_t hidden = hiddenCharacterAt(text, i);
        shown += hidden ? '?' : text[i];
        i += hidden ? hidden : 1;
    }
    return shown;
}

bool hasHiddenCharacter(std::string_view text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        if (hiddenCharacterAt(text, i))
            return true;
    }
    return false;
}

}

std::optional<std::string> CarvedFile::extensionProblem(std::string_view ext)
{
    auto isLetterOrDigit = [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); };
    bool plain = !ext.empty() && ext.size() <= kMaxExtensionLength && isLetterOrDigit(ext.front()) && isLetterOrDigit(ext.back());
    for (size_t i = 0; plain && i < ext.size(); ++i)
        plain = isLetterOrDigit(ext[i]) || (ext[i] == '.' && ext[i + 1] != '.');
    if (plain)
        return std::nullopt;
    return "its extension \"" + showable(ext) + "\" is not 1 to 8 lower-case letters and digits";
}

std::optional<std::string> CarvedFile::pathComponentProblem(std::string_view name)
{
    if (name.empty())
        return std::string("it has an empty name or folder");
    const std::string quoted = "\"" + showable(name) + "\"";
    if (name == "." || name == "..")
        return quoted + " names a folder above it";
    if (name.find('/') != std::string_view::npos || name.find('\\') != std::string_view::npos)
        return quoted + " holds a folder separator";
    if (name.front() == '.')
        return quoted + " begins with a dot, as hidden settings files do";
    if (hasHiddenCharacter(name))
        return quoted + " holds control or text-direction characters";
    if (name.size() > kMaxNameBytes)
        return quoted + " is longer than 255 bytes";
    return std::nullopt;
}

std::optional<std::string> CarvedFile::forgetUnusableName()
{
    std::optional<std::string> problem;
    if (name)
        problem = pathComponentProblem(*name);
    const std::string folders = folder.value_or("");
    std::string_view rest = folders;
    while (!problem && !rest.empty()) {
        size_t slash = rest.find('/');
        problem = pathComponentProblem(rest.substr(0, slash));
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    }
    if (problem) {
        name.reset();
        folder.reset();
        modified.reset();
    }
    return problem;
}

std::string CarvedFile::headDigestOf(std::span<const uint8_t> data)
{
    constexpr uint64_t kOffsetBasis = 0xcbf29ce484222325;
    constexpr uint64_t kPrime = 0x100000001b3;
    uint64_t hash = kOffsetBasis;
    for (uint8_t byte : data) {
        hash ^= byte;
        hash *= kPrime;
    }
    constexpr std::array<char, 16> kDigits { '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f' };
    std::string hex;
    do {
        hex.insert(hex.begin(), kDigits[hash & 0xF]);
        hash >>= 4;
    } while (hash != 0);
    return hex;
}

}
