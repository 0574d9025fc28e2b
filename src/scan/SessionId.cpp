#include "scan/SessionId.hpp"

#include <uuid/uuid.h>

namespace brightfold {

SessionId SessionId::generate()
{
    SessionId id;
    uuid_generate_random(id.m_bytes.data());
    return id;
}

std::optional<SessionId> SessionId::parse(std::string_view text)
{
    if (text.size() != kTextLength)
        return std::nullopt;
    // uuid_parse wants a terminated string and checks the hyphens and digits itself.
    std::string terminated(text);
    SessionId id;
    if (uuid_parse(terminated.c_str(), id.m_bytes.data()) != 0 || id.isNull())
        return std::nullopt;
    return id;
}

std::string SessionId::text() const
{
    char text[kTextLength + 1] {};
    uuid_unparse_upper(m_bytes.data(), text);
    return text;
}

}
