#pragma once

#include "device/ExternalDisk.hpp"
#include "scan/ScanSession.hpp"

#include <QString>

#include <optional>
#include <variant>

namespace brightfold {

/// What the browser screen shows: the files of a stored scan, or a folder of
/// files saved earlier. Equal targets show the same thing.
struct BrowseTarget {
    enum class Kind {
        session,
        folder,
    };

    Kind kind { Kind::session };
    SessionId sessionId; ///< for `session`
    QString folderPath; ///< for `folder`

    static BrowseTarget session(const SessionId& id) { return { Kind::session, id, {} }; }
    static BrowseTarget folder(const QString& path) { return { Kind::folder, {}, path }; }

    bool operator==(const BrowseTarget&) const = default;
};

size_t qHash(const BrowseTarget& target, size_t seed = 0);

/// What the next scan reads: a disk from the list, or a disk-image file.
struct ImageFile {
    QString path;

    bool operator==(const ImageFile&) const = default;
};
struct AppSource {
    std::variant<ExternalDisk, ImageFile> value;

    bool operator==(const AppSource&) const = default;
};

/// Which screen the application shows, with what that screen needs.
struct AppStage {
    enum class Kind {
        setup,    ///< choose card, categories, options
        scanning, ///< a scan, then its previews, is running
        done,     ///< a scan finished and was stored
        failed,   ///< the scan could not run or did not complete
        browsing, ///< the browser screen is open
    };

    Kind kind { Kind::setup };
    QString sourceName;                 ///< scanning: the name shown
    std::optional<ScanSession> session; ///< done
    QString message;                    ///< failed: the error's text
    std::optional<BrowseTarget> target; ///< browsing

    static AppStage setup() { return {}; }
    static AppStage scanning(const QString& name) { return { Kind::scanning, name, {}, {}, {} }; }
    static AppStage done(const ScanSession& session) { return { Kind::done, {}, session, {}, {} }; }
    static AppStage failed(const QString& message) { return { Kind::failed, {}, {}, message, {} }; }
    static AppStage browsing(const BrowseTarget& target) { return { Kind::browsing, {}, {}, {}, target }; }

    bool operator==(const AppStage&) const = default;
};

}
