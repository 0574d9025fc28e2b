#include "ui/DesktopServices.hpp"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPromise>
#include <QPushButton>
#include <QStandardPaths>
#include <QUrl>

#include <memory>

namespace brightfold {

namespace {

constexpr int kFileManagerTimeoutMs = 3000;

/// A window-modal file dialog; the future ends with the chosen path or nothing.
QFuture<std::optional<QString>> runChooser(QWidget* parent, const ChooserRequest& request, QFileDialog::FileMode mode)
{
    auto promise = std::make_shared<QPromise<std::optional<QString>>>();
    promise->start();
    // The desktop's own dialogs show only a title: the message is the title's
    // second half there, and what screen readers announce.
    const QString title = request.message.isEmpty() ? request.title : request.title + QStringLiteral(" — ") + request.message;
    auto* dialog = new QFileDialog(parent, title, QStandardPaths::writableLocation(QStandardPaths::HomeLocation));
    dialog->setFileMode(mode);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    if (mode == QFileDialog::Directory)
        dialog->setOption(QFileDialog::ShowDirsOnly);
    if (!request.prompt.isEmpty())
        dialog->setLabelText(QFileDialog::Accept, request.prompt);
    dialog->setAccessibleDescription(request.message);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(dialog, &QFileDialog::finished, dialog, [promise, dialog](int result) {
        const QStringList chosen = dialog->selectedFiles();
        promise->addResult(result == QDialog::Accepted && !chosen.isEmpty() ? std::optional(chosen.constFirst()) : std::nullopt);
        promise->finish();
    });
    dialog->open();
    return promise->future();
}

/// Qt's fallback put the file at a path relative to the working folder, beside
/// an "info" folder holding its record: undo both.
void putBack(const QString& original, const QString& stray)
{
    const QFileInfo strayFile(QDir::current(), stray);
    if (!QFile::rename(strayFile.absoluteFilePath(), original))
        return;
    const QDir trashFolder(strayFile.absolutePath() + QStringLiteral("/.."));
    QFile::remove(trashFolder.filePath(QStringLiteral("info/%1.trashinfo").arg(strayFile.fileName())));
}

}

QFuture<std::optional<QString>> DesktopServices::chooseFile(const ChooserRequest& request)
{
    return runChooser(m_parent, request, QFileDialog::ExistingFile);
}

QFuture<std::optional<QString>> DesktopServices::chooseFolder(const ChooserRequest& request)
{
    return runChooser(m_parent, request, QFileDialog::Directory);
}

QFuture<bool> DesktopServices::confirm(const Confirmation& question)
{
    auto promise = std::make_shared<QPromise<bool>>();
    promise->start();
    auto* box = new QMessageBox(m_parent);
    box->setIcon(QMessageBox::Warning);
    box->setWindowTitle(question.title);
    box->setText(question.question);
    box->setInformativeText(question.explanation);
    QPushButton* action = box->addButton(question.action, QMessageBox::DestructiveRole);
    QPushButton* cancel = box->addButton(QMessageBox::Cancel);
    // Return never acts: Cancel is the default and the escape.
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    QObject::connect(box, &QMessageBox::finished, box, [promise, box, action] {
        promise->addResult(box->clickedButton() == action);
        promise->finish();
    });
    box->open();
    return promise->future();
}

void DesktopServices::reveal(const QString& path)
{
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"), QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList { QUrl::fromLocalFile(path).toString() } << QString();
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, kFileManagerTimeoutMs));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [watcher, path] {
        watcher->deleteLater();
        if (!watcher->isError())
            return;
        QFileInfo file(path);
        QDesktopServices::openUrl(QUrl::fromLocalFile(file.isDir() ? file.absoluteFilePath() : file.absolutePath()));
    });
}

void DesktopServices::open(const QString& path)
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

bool DesktopServices::moveToTrash(const QString& path)
{
    // Without the data folder Qt 6.4 cannot set up the home Trash.
    QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
    QString pathInTrash;
    if (!QFile::moveToTrash(path, &pathInTrash))
        return false;
    const bool arrived = QDir::isAbsolutePath(pathInTrash) && QFileInfo::exists(pathInTrash);
    if (arrived && !QFileInfo::exists(path))
        return true;
    if (!pathInTrash.isEmpty() && !QFileInfo::exists(path) && QFileInfo::exists(pathInTrash))
        putBack(path, pathInTrash);
    return false;
}

}
