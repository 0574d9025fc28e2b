#include "ui/DesktopServices.hpp"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>

namespace brightfold {

namespace {
constexpr int kFileManagerTimeoutMs = 3000;
}

std::optional<QString> DesktopServices::chooseFolder(const FolderRequest& request)
{
    QFileDialog dialog(m_parent, request.message.isEmpty() ? request.title : request.title + QStringLiteral(" — ") + request.message,
        QStandardPaths::writableLocation(QStandardPaths::HomeLocation));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (!request.prompt.isEmpty())
        dialog.setLabelText(QFileDialog::Accept, request.prompt);
    dialog.setAccessibleDescription(request.message);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().constFirst();
}

void DesktopServices::reveal(const QString& path)
{
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"), QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList { QUrl::fromLocalFile(path).toString() } << QString();
    QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, kFileManagerTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage)
        return;
    QFileInfo file(path);
    QDesktopServices::openUrl(QUrl::fromLocalFile(file.isDir() ? file.absoluteFilePath() : file.absolutePath()));
}

void DesktopServices::open(const QString& path)
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

}
