#include "workflow/AppSettings.hpp"

namespace brightfold {

namespace {

bool isTrue(const QString& text)
{
    QString value = text.trimmed().toLower();
    return value == QLatin1String("1") || value == QLatin1String("true") || value == QLatin1String("yes");
}

void readText(std::optional<QString>& target, const char* key, const QSettings& settings, const QProcessEnvironment& environment)
{
    QVariant stored = settings.value(QLatin1String(key));
    if (stored.isValid())
        target = stored.toString();
    if (environment.contains(QLatin1String(key)))
        target = environment.value(QLatin1String(key));
}

/// The value of `--name VALUE` or `--name=VALUE`; the last one given wins.
std::optional<QString> optionValue(const QStringList& arguments, const QString& name)
{
    std::optional<QString> value;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == name && i + 1 < arguments.size())
            value = arguments[++i];
        else if (arguments[i].startsWith(name + QLatin1Char('=')))
            value = arguments[i].mid(name.size() + 1);
    }
    return value;
}

}

AppSettings AppSettings::load(const QStringList& arguments)
{
    QSettings settings(QString::fromLatin1(kOrganisation), QString::fromLatin1(kApplication));
    return read(settings, QProcessEnvironment::systemEnvironment(), arguments);
}

AppSettings AppSettings::read(const QSettings& settings, const QProcessEnvironment& environment, const QStringList& arguments)
{
    AppSettings result;
    readText(result.testVolume, "BFTestVolume", settings, environment);
    readText(result.openRecoveryFolder, "BFOpenRecoveryFolder", settings, environment);
    readText(result.autoScanImage, "BFAutoScanImage", settings, environment);
    std::optional<QString> latest, browse;
    readText(latest, "BFOpenLatestScan", settings, environment);
    result.openLatestScan = latest && isTrue(*latest);
    readText(browse, "BFBrowseAutoScan", settings, environment);
    result.browseAutoScan = browse && isTrue(*browse);

    if (auto folder = optionValue(arguments, QStringLiteral("--open-recovery-folder")))
        result.openRecoveryFolder = folder;
    if (auto image = optionValue(arguments, QStringLiteral("--auto-scan-image")))
        result.autoScanImage = image;
    if (arguments.mid(1).contains(QStringLiteral("--open-latest-scan")))
        result.openLatestScan = true;
    if (arguments.mid(1).contains(QStringLiteral("--browse-auto-scan")))
        result.browseAutoScan = true;
    return result;
}

}
