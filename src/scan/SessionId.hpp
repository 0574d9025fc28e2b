#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace brightfold {

/// A stored scan's identity: a random (version 4) UUID, written in its standard
/// 36-character form in upper case, as the session's folder is named.
class SessionId {
public:
    /// The null id, which no stored scan has.
    SessionId() = default;

    /// A fresh random id.
    static SessionId generate();
    /// The id written as `text` in the standard form, in either case; no value for
    /// anything else (braces, a wrong length, a non-hexadecimal digit, the null id).
    static std::optional<SessionId> parse(std::string_view text);

    /// 0F6B2A5E-3C1D-4E8F-9A7B-112233445566
    std::string text() const;
    bool isNull() const { return *this == SessionId(); }

    auto operator<=>(const SessionId&) const = default;

    static constexpr size_t kTextLength = 36;

private:
    std::array<unsigned char, 16> m_bytes {};

    friend struct std::hash<SessionId>;
};

}

template<>
struct std::hash<brightfold::SessionId> {
    size_t operator()(const brightfold::SessionId& id) const noexcept
    {
        return std::hash<std::string_view>()(std::string_view(reinterpret_cast<const char*>(id.m_bytes.data()), id.m_bytes.size()));
    }
};
