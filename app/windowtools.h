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
class QProgressBar;
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

    // Status bar, right-hand side: the busy bar and Stop while a run goes
    // on, the circle count, what the picture's warning says until the
    // picture or its stretch changes, and the picture's name, size and zoom
    // (or, while the pointer is over it, the pixel under it).
    QProgressBar *runProgressBar;
    QToolButton *stopButton;
    QLabel *circleCountLabel;
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
