#include "ui/AppUpdater.hpp"

#include <QCoreApplication>
#include <QFileInfo>
#include <QUrl>

namespace brightfold {

AppBundle AppBundle::running()
{
    return { QCoreApplication::applicationDirPath(), {} };
}

AppUpdater::AppUpdater(const AppBundle& bundle, QObject* parent)
    : QObject(parent)
    , m_enabled(isConfigured(bundle))
{
    // Without an update framework on this desktop there is no controller to
    // mirror, so even a configured bundle never offers the command.
}

bool AppUpdater::isConfigured(const AppBundle& bundle)
{
    if (QFileInfo(bundle.path).suffix() != QLatin1String("app"))
        return false;
    QVariant feed = bundle.info.value(QStringLiteral("SUFeedURL"));
    QVariant key = bundle.info.value(QStringLiteral("SUPublicEDKey"));
    if (feed.typeId() != QMetaType::QString || key.typeId() != QMetaType::QString)
        return false;
    QUrl url(feed.toString(), QUrl::StrictMode);
    return !feed.toString().isEmpty() && url.isValid() && url.scheme() == QLatin1String("https")
        && !key.toString().isEmpty();
}

void AppUpdater::checkForUpdates()
{
    if (!m_enabled || !m_canCheck)
        return;
}

}
