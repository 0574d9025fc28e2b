#pragma once

#include <stdexcept>
#include <string>

namespace brightfold {

/// Why a folder may not receive recovered files. `what()` is the user-facing text.
class DestinationError : public std::runtime_error {
public:
    enum class Kind {
        onScannedCard,              ///< the folder lies on the card being recovered from
        defaultFolderOnScannedCard, ///< the current folder, where a scan writes by default, is on it
    };

    /// `card` names the scanned source as the user gave it (/dev/sdb).
    static DestinationError onScannedCard(const std::string& card)
    {
        return { Kind::onScannedCard, card,
            "That folder is on the card you're recovering from (" + card
                + "). Saving there could overwrite the very files you want back. Choose a folder on another disk." };
    }

    /// A scan started from a folder on the card it scans, without naming another.
    static DestinationError defaultFolderOnScannedCard(const std::string& card)
    {
        return { Kind::defaultFolderOnScannedCard, card,
            "The current folder is on the card you're scanning (" + card
                + "). The scan's report would be written onto it and could overwrite the very files you want back. "
                  "Change to a folder on another disk (cd), or name one with --out." };
    }

    Kind kind() const { return m_kind; }
    const std::string& card() const { return m_card; }

private:
    DestinationError(Kind kind, std::string card, const std::string& message)
        : std::runtime_error(message), m_kind(kind), m_card(std::move(card)) { }

    Kind m_kind;
    std::string m_card;
};

}
