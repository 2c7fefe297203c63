#ifndef HESSIANMAXIMAMAINWIN_H
#define HESSIANMAXIMAMAINWIN_H

#include "detectionresult.h"
#include "featuremeasures.h"
#include "frameloading.h"
#include "frametracks.h"
#include "localmaxima.h"

#include <QFuture>
#include <QFutureWatcher>
#include <QImage>
#include <QList>
#include <QMap>
#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVector>

#include <atomic>
#include <cstdint>
#include <memory>

class QEvent;
class QHelpEvent;
class QStatusTipEvent;

class FramePlayer;
class PictureSource;
class RunTurns;
struct PlayerFrame;
struct WindowTools;

namespace Ui {
class HessianMaximaMainWin;
}

class HessianMaximaMainWin : public QMainWindow
{
    Q_OBJECT

public:
    // What one detection run hands back to the GUI thread, by value.
    using _HessianDetMaxResult = DetectionResult;

    explicit HessianMaximaMainWin(QWidget *parent = nullptr);
    ~HessianMaximaMainWin() override;

    // One complete run over `frame`; runs on a pool thread and touches no
    // member of the window.
    _HessianDetMaxResult detectHessianDetMax(const QImage &frame, float sigma, float threshold);

    // Opens a picture file as File > Open File does with the file chosen:
    // the same loading, and the same warning when it cannot be read.
    // Returns whether it loaded.
    bool openPicture(const QString &fileName);
    // Opens a camera (a V4L2 device) or a live stream, as File > Open
    // Camera does with the path given; a warning says why it cannot be.
    bool openCamera(const QString &path);

protected slots:
    void openVideoFrame();
    void executeDetectHessianDetMax();
    void finishDetectHessianDetMax();

private:
    struct RunRequest;

    void setUpTools();
    void startRun(bool live, const QImage &view = QImage());
    void scheduleLiveRun();
    void cancelRun();
    void forgetShownResult();
    bool showFeatureToolTip(QHelpEvent *event);
    bool takeDrop(QEvent *event);
    bool takeWindowEvent(QEvent *event);
    void saveFeatures();
    void saveAnnotatedImage();
    QString savePath(const QString &caption, const QString &suffix, const QString &filters,
                     QString *chosenFilter);
    void applyStretch();
    void showRecentFiles();
    void warnNotOpened(const QString &fileName, const QString &error);
    void showPicture(const QString &fileName, std::shared_ptr<LoadedPicture> loaded, const QImage &shown,
                     const QString &damage);

    // Sequences (mainwindowsequence.cpp): the frame bar, playback, the
    // frames' runs and their tracks, and saving every frame.
    void setUpSequenceTools();
    bool openSequence(const QString &fileName, std::shared_ptr<PictureSource> source, QString *error);
    void closeSequence();
    void takeFrame(const PlayerFrame &frame);
    void showFrameView(const RunRequest &run);
    void showFramePosition(qint64 index, double time, bool hasTime);
    void goToFrame(qint64 index);
    void showPlaybackRate();
    void togglePlay();
    void playingChanged(bool playing);
    void frameRunReported(const RunRequest &run, const _HessianDetMaxResult &result);
    void showTracks();
    bool detectsFrames() const;
    void chooseCamera();
    void saveSequenceFeatures(const QString &path, bool json);
    void showAbout();

    // The status bar (mainwindowstatus.cpp): the line it comes back to (a
    // run's report, or what became of the last open), passing notes over
    // it, the picture's warning beside it, and the pixel under the pointer.
    void setStandingLine(const QString &line);
    void showNote(const QString &note);
    bool takeStatusTip(QStatusTipEvent *event);
    void showPictureWarning(const StretchNotice &notice, const QString &damage);
    void clearPictureWarning();
    void showZoom();
    void fitPictureInfo();
    bool trackPointer(QEvent *event);
    void showPixelInfo(const QPoint &widgetPoint);

    // The results table (mainwindowresults.cpp).
    void showResultsOf(const RunRequest &run, const _HessianDetMaxResult &result);
    void clearResults();
    void resultRowChosen();
    void selectFeatureRow(int feature);
    bool takeTableKey(QEvent *event);
    void copySelectedRows();

    Ui::HessianMaximaMainWin *ui;
    QImage videoFrame;         // the detector's input, as the stretch chosen maps the picture
    // The picture as loaded, kept to map it again when the stretch changes.
    std::shared_ptr<LoadedPicture> picture;
    StretchUsed frameStretch;  // how videoFrame was made from it
    QFuture<_HessianDetMaxResult> detectFuture;
    QFutureWatcher<_HessianDetMaxResult> detectWatcher;

    WindowTools *tools;
    QString pictureFileName;   // the file videoFrame came from
    QString pictureSummary;    // its size and pixel format
    QString pictureZoom;       // how large the view shows it
    // What the run started last was asked, and the run whose result is
    // shown (the circles, the report and what the save commands write).
    std::unique_ptr<RunRequest> lastRun;
    std::unique_ptr<RunRequest> shownRun;
    _HessianDetMaxResult shownResult;
    QString standingLine;      // what the status line comes back to
    bool noteShown = false;    // the status line holds a passing note
    bool tipShown = false;     // the status line holds a menu item's tip
    QString pictureWarning;    // what the warning indicator says in full
    QString pictureDamage;     // why the picture's file is damaged, if it is
    // Raised to stop the runs started since the last Stop; each run holds
    // a share of the flag it was started with.
    std::shared_ptr<std::atomic<bool>> runCancel;
    bool selectingFromView = false;  // a click on a circle selects its row
    QPoint pressPosition;      // where the button went down over the picture
    QTimer liveRun;            // the pause between a change and its run
    QTimer busySign;           // how long a run goes before it shows
    QList<QObject *> hooks;    // event hooks on the window and its widgets
    // Shared with every run not finished: each waits for the one in
    // progress and gives up when a later one is started.
    std::shared_ptr<RunTurns> runTurns;

    // The sequence open, if one is: its frames come through the player.
    FramePlayer *player;
    bool sequenceOpen = false;
    qint64 frameIndex = -1;      // the frame videoFrame is
    qint64 frameAsked = -1;      // a frame asked for and not yet read
    double frameTime = 0.0;
    bool frameHasTime = false;
    qint64 framesDropped = 0;    // by a live source, when detection fell behind
    bool frameRuns = false;
    QImage pendingView;          // a frame read, shown once its run reports      // Start Processing on a sequence: every frame shown is detected
    // The features of the frames detected with the settings of the run
    // shown (frame -> their sub-pixel positions), linked into tracks when Tracks is on, and
    // the tracks of the features shown.
    FrameTracks framesSeen;
    QString framesSeenSettings;
    QVector<FeatureTrack> shownTracks;
};

// The picture named on a command line (the program's arguments, Qt's own
// already taken out): its first argument that is not an option, or the one
// after "--". Empty when there is none.
QString pictureArgument(const QStringList &arguments);

#endif // HESSIANMAXIMAMAINWIN_H
