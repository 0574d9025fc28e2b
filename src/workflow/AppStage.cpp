#include "workflow/AppStage.hpp"

#include <QHashFunctions>

namespace brightfold {

size_t qHash(const BrowseTarget& target, size_t seed)
{
    return qHashMulti(seed, static_cast<int>(target.kind), std::hash<SessionId>()(target.sessionId), target.folderPath);
}

}
