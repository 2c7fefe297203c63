#ifndef WINDOWTOOLS_H
#define WINDOWTOOLS_H

#include <QString>

// The window's controls beyond its form: zoom and pan, saving, live
// update, the scale range, the polarity, the threshold histogram, the
// results table, stopping a run, recent files and the status bar's
// indicators. Built
// in code after the form, beside its controls, so that the form itself
// (objects, order, texts, focus chain) stays as it is. A plain record of
// pointers, like the form's; Qt's parents own the objects.

class FeatureCountPlot;
class FeatureTableModel;
class FrameViewNavigator;
class QAction;
class QCheckBox;
class QComboBox;
class QDockWidget;
class QDoubleSpinBox;
class QGridLayout;
class QLabel;
class QMainWindow;
class QMenu;
class QGroupBox;
class QProgressBar;
class QSlider;
class QSpinBox;
class QTableView;
class QToolButton;
class QWidget;
class ResponseHistogram;
enum class PolarityFilter;
enum class StretchMode;

namespace Ui {
class HessianMaximaMainWin;
}

struct WindowTools {
    // File menu, between Start Processing and Exit. Stop is enabled while
    // a run is in progress.
    QAction *actionStop;
    QMenu *menuRecent;
    QAction *actionLiveUpdate;
    QAction *actionSaveFeatures;
    QAction *actionSaveAnnotatedImage;
    // View menu.
    QMenu *menuView;
    QAction *actionZoomIn;
    QAction *actionZoomOut;
    QAction *actionFitToWindow;
    QAction *actionActualPixels;
    QAction *actionShowFeatures;
    QAction *actionColourByPolarity;
    QAction *actionShowResults;  // the results dock's own toggle
    FrameViewNavigator *navigator;
    // File menu, after Open File: a camera or a live stream.
    QAction *actionOpenCamera;
    // A sequence's frames: play or pause (Space), a frame back or on
    // (Left, Right), the first and the last (Home, End). Window-wide keys,
    // enabled while a sequence is open.
    QAction *actionPlay;
    QAction *actionPreviousFrame;
    QAction *actionNextFrame;
    QAction *actionFirstFrame;
    QAction *actionLastFrame;
    // Help menu.
    QMenu *menuHelp;
    QAction *actionAbout;

    // The results dock, at the bottom, hidden at start: a row per feature
    // of the run shown, and a line that sums them up.
    QDockWidget *resultsDock;
    QTableView *resultsTable;
    FeatureTableModel *resultsModel;
    QLabel *resultsSummary;

    // Below the two parameter rows of the control column.
    QWidget *detectionOptionsWidget;
    QGridLayout *detectionOptionsLayout;
    QLabel *lblScales;
    QSpinBox *scalesSBox;
    QLabel *lblSigmaMax;
    QDoubleSpinBox *sigmaMaxSBox;
    QLabel *lblPolarity;
    QComboBox *polarityCBox;
    QLabel *lblStretch;
    QComboBox *stretchCBox;
    QCheckBox *liveUpdateCheckBox;
    ResponseHistogram *thresholdHistogram;

    // Under the view, shown while a sequence is open: the play button, the
    // frame slider and the frame's number and time.
    QWidget *frameBar;
    QToolButton *playButton;
    QSlider *frameSlider;
    QLabel *frameLabel;
    // Under the bar: the features found in each frame detected so far.
    FeatureCountPlot *featureCountPlot;

    // Tracks: the features of the frames seen linked across frames, each
    // circle with a tail of its track's last positions.
    QGroupBox *tracksBox;
    QDoubleSpinBox *trackDistanceSBox;  // pixels per frame
    QSpinBox *trackGapSBox;             // frames
    QSpinBox *tailLengthSBox;           // frames

    // Status bar, right-hand side: the busy bar and Stop while a run goes
    // on, the circle count, what the picture's warning says until the
    // picture or its stretch changes, and the picture's name, size and zoom
    // (or, while the pointer is over it, the pixel under it).
    QProgressBar *runProgressBar;
    QToolButton *stopButton;
    QLabel *circleCountLabel;
    QLabel *playbackRateLabel;  // "Playing: 23.9 fps" while a sequence plays
    QToolButton *warningButton;
    QLabel *pictureInfoLabel;
    QLabel *pixelInfoLabel;

    void setUp(QMainWindow *window, Ui::HessianMaximaMainWin *ui);

    // What polarityCBox and stretchCBox hold: each item its value.
    PolarityFilter polarity() const;
    StretchMode stretch() const;
    void showStretch(StretchMode mode);
    // The Auto stretch's item says which stretch it chose for the picture
    // (Default: none chosen yet).
    void showAutoStretch(StretchMode chosen);

private:
    QString stretchTip;
};

#endif // WINDOWTOOLS_H
