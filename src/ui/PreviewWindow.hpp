#pragma once

#include "workflow/ThumbnailStore.hpp"

#include <QDialog>

#include <optional>

class QLabel;

namespace brightfold {

/// A larger look at one item: its preview JPEG, or a thumbnail of its file
/// drawn at the window's size. Drawn off the interface thread; Space or Escape
/// closes the window.
class PreviewWindow : public QDialog {
    Q_OBJECT

public:
    static constexpr int kSide = 640; // points

    PreviewWindow(const QString& name, const PictureSource& source, QWidget* parent = nullptr);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    QLabel* m_picture;
};

}
