#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <optional>
#include <vector>

namespace brightfold {

class AppModel;
class MainWindow;

/// A walk through every screen of the running application for `make
/// screenshots`: it sets the source to a disk image, scans it, opens the
/// result, browses it and a folder of saved files, asks the Trash question and
/// makes a scan fail, saving a PNG of the window (dialogs included) and a text
/// file of the words on screen at each stop. Started by the hidden option
/// --screenshot-tour FOLDER; the application quits when the walk ends, with
/// status 1 when a stop was not reached in time.
class ScreenshotTour : public QObject {
    Q_OBJECT

public:
    struct Options {
        QString folder;        ///< where the pictures go
        QString image;         ///< --tour-image: the disk image to scan
        QString savedFolder;   ///< --tour-folder: a folder of saved files
        QString prefix;        ///< --tour-prefix: the start of every file name
        bool dark { false };   ///< --tour-palette dark
        bool minimum { false }; ///< --tour-size minimum
    };

    /// The tour's options when the arguments ask for one.
    static std::optional<Options> optionsFrom(const QStringList& arguments);
    /// Before any window exists: the Fusion style with a light or dark palette.
    static void preparePalette(const Options& options);

    ScreenshotTour(Options options, AppModel& model, MainWindow& window);

private:
    struct Stop {
        QString name;                 ///< what the stop waits for, in the log
        std::function<bool()> ready;  ///< polled until true
        std::function<void()> action; ///< then run once
    };

    void plan();
    void poll();
    void shoot(const QString& name);
    QString textsOnScreen() const;

    Options m_options;
    AppModel& m_model;
    MainWindow& m_window;
    std::vector<Stop> m_stops;
    size_t m_next { 0 };
    int m_waitedMs { 0 };
    QTimer m_timer;
    bool m_scanShot { false };
};

}
