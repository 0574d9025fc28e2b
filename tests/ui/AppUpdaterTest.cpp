#include "ui/AppUpdater.hpp"

#include <QSignalSpy>
#include <QTest>

using namespace brightfold;

class AppUpdaterTest : public QObject {
    Q_OBJECT

private slots:
    void configuredOnlyForSignedHttpsFeedsOfAnAppBundle_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QVariant>("feed");
        QTest::addColumn<QVariant>("key");
        QTest::addColumn<bool>("configured");
        const QVariant https = QStringLiteral("https://updates.example/appcast.xml");
        const QVariant key = QStringLiteral("pfIShU4dEXqPd5ObYNfDBiQWcXozk7estwzTnF9BamQ=");
        QTest::newRow("complete") << "/Applications/Brightfold Recover.app" << https << key << true;
        QTest::newRow("plain http never") << "/Applications/Brightfold Recover.app"
                                          << QVariant(QStringLiteral("http://updates.example/appcast.xml")) << key << false;
        QTest::newRow("no key") << "/Applications/Brightfold Recover.app" << https << QVariant() << false;
        QTest::newRow("empty key") << "/Applications/Brightfold Recover.app" << https << QVariant(QString()) << false;
        QTest::newRow("empty feed") << "/Applications/Brightfold Recover.app" << QVariant(QString()) << key << false;
        QTest::newRow("feed not text") << "/Applications/Brightfold Recover.app" << QVariant(42) << key << false;
        QTest::newRow("not a URL") << "/Applications/Brightfold Recover.app" << QVariant(QStringLiteral("https://exa mple/%%"))
                                   << key << false;
        QTest::newRow("not a bundle") << "/usr/bin" << https << key << false;
    }
    void configuredOnlyForSignedHttpsFeedsOfAnAppBundle()
    {
        QFETCH(QString, path);
        QFETCH(QVariant, feed);
        QFETCH(QVariant, key);
        QFETCH(bool, configured);
        QVariantMap info;
        if (feed.isValid())
            info.insert(QStringLiteral("SUFeedURL"), feed);
        if (key.isValid())
            info.insert(QStringLiteral("SUPublicEDKey"), key);
        QCOMPARE(AppUpdater::isConfigured({ path, info }), configured);
    }

    void theCommandStaysDisabledWithoutAnUpdateFramework()
    {
        AppUpdater updater(AppBundle::running());
        QSignalSpy changes(&updater, &AppUpdater::canCheckForUpdatesChanged);
        QVERIFY(!updater.isEnabled());
        QVERIFY(!updater.canCheckForUpdates());
        updater.checkForUpdates();
        QCOMPARE(changes.count(), 0);
    }
};

QTEST_GUILESS_MAIN(AppUpdaterTest)
#include "AppUpdaterTest.moc"
