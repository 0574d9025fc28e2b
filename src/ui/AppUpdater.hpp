#pragma once

#include <QObject>
#include <QString>
#include <QVariantMap>

namespace brightfold {

/// What an installed application says about itself for updates: where it lives
/// and its information keys ("SUFeedURL", "SUPublicEDKey").
struct AppBundle {
    QString path;
    QVariantMap info;

    /// This program as installed on Linux: its folder and no update keys.
    static AppBundle running();
};

/// The "Check for Updates…" command. It is enabled only for an application
/// bundle configured for signed updates over https; this desktop has no update
/// framework, so the command stays disabled here and checking does nothing.
class AppUpdater : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)

public:
    explicit AppUpdater(const AppBundle& bundle, QObject* parent = nullptr);

    /// True only when the bundle's path ends in ".app", "SUFeedURL" is a
    /// non-empty https URL, and "SUPublicEDKey" is a non-empty string.
    static bool isConfigured(const AppBundle& bundle);

    bool isEnabled() const { return m_enabled; }
    bool canCheckForUpdates() const { return m_canCheck; }
    /// Does nothing when not enabled.
    void checkForUpdates();

signals:
    void canCheckForUpdatesChanged();

private:
    bool m_enabled { false };
    bool m_canCheck { false };
};

}
