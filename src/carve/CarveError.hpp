#pragma once

#include <stdexcept>
#include <string>

namespace brightfold {

/// The engine's and exporter's own errors. `what()` is the user-facing text.
class CarveError : public std::runtime_error {
public:
    enum class Kind {
        outputNotWritable,
        emptySource,
    };

    static CarveError outputNotWritable(const std::string& path)
    {
        return { Kind::outputNotWritable, "Cannot write to output folder " + path + "." };
    }
    static CarveError emptySource()
    {
        return { Kind::emptySource, "The selected source reports a size of zero bytes." };
    }

    Kind kind() const { return m_kind; }

private:
    CarveError(Kind kind, const std::string& message) : std::runtime_error(message), m_kind(kind) { }

    Kind m_kind;
};

}
