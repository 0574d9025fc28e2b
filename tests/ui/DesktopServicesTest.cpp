#include "WorkflowTestSupport.hpp"

#include "ui/DesktopServices.hpp"

#include <QApplication>
#include <QDirIterator>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

using namespace brightfold;
using namespace brightfold::test;

namespace {

QMessageBox* openMessageBox()
{
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(top); box && box->isVisible())
            return box;
    return nullptr;
}

}

class DesktopServicesTest : public QObject {
    Q_OBJECT

private slots:
    // Qt 6.4 reports success when it cannot set up the home Trash, having moved
    // the file into the working folder: such a file must count as not moved and
    // be put back. With a usable data folder the file reaches the Trash.
    void movingToTheTrash_data()
    {
        QTest::addColumn<bool>("dataFolderUsable");
        QTest::newRow("trash reachable") << true;
        QTest::newRow("trash not reachable") << false;
    }
    void movingToTheTrash()
    {
        QFETCH(bool, dataFolderUsable);
        QTemporaryDir work;
        const QString file = work.filePath("saved/f1.jpg");
        writeFile(file, "f1");
        writeFile(work.filePath("plain-file"), "");
        const QString dataHome = dataFolderUsable ? work.filePath("data") : work.filePath("plain-file/data");
        const QByteArray oldDataHome = qgetenv("XDG_DATA_HOME");
        const QString oldCurrent = QDir::currentPath();
        qputenv("XDG_DATA_HOME", dataHome.toUtf8());
        QVERIFY(QDir().mkpath(work.filePath("cwd")));
        QDir::setCurrent(work.filePath("cwd"));
        auto restore = qScopeGuard([&] {
            qputenv("XDG_DATA_HOME", oldDataHome);
            QDir::setCurrent(oldCurrent);
        });

        DesktopServices desktop;
        QCOMPARE(desktop.moveToTrash(file), dataFolderUsable);
        if (dataFolderUsable) {
            QVERIFY(!QFileInfo::exists(file));
            QCOMPARE(filesUnder(dataHome + "/Trash/files"), QStringList({ "f1.jpg" }));
        } else {
            QCOMPARE(readAll(file), QByteArray("f1"));
            QCOMPARE(filesUnder(work.filePath("cwd")), QStringList());
        }
        QVERIFY(!desktop.moveToTrash(work.filePath("saved/missing.jpg")));
    }

    // The question is a sheet that returns at once; only its action answers yes,
    // and Return (the default button) answers no.
    void confirmingAnswersOnlyTheAction_data()
    {
        QTest::addColumn<bool>("pressAction");
        QTest::newRow("the action") << true;
        QTest::newRow("return") << false;
    }
    void confirmingAnswersOnlyTheAction()
    {
        QFETCH(bool, pressAction);
        QWidget window;
        window.show();
        DesktopServices desktop(&window);
        QFuture<bool> answer = desktop.confirm({ "Keep Only Selected", "Move 2 unselected files to the Trash?", "Only 1 remains.", "Move to Trash" });
        QVERIFY(!answer.isFinished());
        QMessageBox* box = nullptr;
        QTRY_VERIFY((box = openMessageBox()) != nullptr);
        QCOMPARE(box->text(), QStringLiteral("Move 2 unselected files to the Trash?"));
        if (pressAction) {
            for (QAbstractButton* button : box->buttons())
                if (button->text() == QStringLiteral("Move to Trash"))
                    button->click();
        } else {
            QTest::keyClick(box, Qt::Key_Return);
        }
        QTRY_VERIFY(answer.isFinished());
        QCOMPARE(answer.result(), pressAction);
    }
};

QTEST_MAIN(DesktopServicesTest)
#include "DesktopServicesTest.moc"
