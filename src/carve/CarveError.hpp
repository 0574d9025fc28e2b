#pragma once

#include <stdexcept>
#include <string>

namespace brightfold {

/// The carving library's own errors. `what()` is the user-facing text.
class CarveError : public std::runtime_error {
public:
    enum class Kind {
        outputNotWritable,
        emptySource,
        unknownCategory,
    };

    static CarveError outputNotWritable(const std::string& path)
    {
        return { Kind::outputNotWritable, "Cannot write to output folder " + path + "." };
    }
    static CarveError emptySource()
    {
        return { Kind::emptySource, "The selected source reports a size of zero bytes." };
    }

    /// `name` as the user wrote it; `choices` lists the names that would do.
    static CarveError unknownCategory(const std::string& name, const std::string& choices)
    {
        return { Kind::unknownCategory, "Unknown file type \"" + name + "\". Choose from " + choices + "." };
    }

    Kind kind() const { return m_kind; }

private:
    CarveError(Kind kind, const std::string& message) : std::runtime_error(message), m_kind(kind) { }

    Kind m_kind;
};

}
