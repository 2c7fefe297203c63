#ifndef WINDOWTOOLS_H
#define WINDOWTOOLS_H

// The window's controls beyond its form: zoom and pan, saving, live
// update, the scale range, the polarity and the threshold histogram. Built
// in code after the form, beside its controls, so that the form itself
// (objects, order, texts, focus chain) stays as it is. A plain record of
// pointers, like the form's; Qt's parents own the objects.

class FrameViewNavigator;
class QAction;
class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QGridLayout;
class QLabel;
class QMainWindow;
class QMenu;
class QProgressBar;
class QSpinBox;
class QWidget;
class ResponseHistogram;
enum class PolarityFilter;
enum class StretchMode;

namespace Ui {
class HessianMaximaMainWin;
}

struct WindowTools {
    // File menu, between Start Processing and Exit.
    QAction *actionLiveUpdate;
    QAction *actionSaveFeatures;
    QAction *actionSaveAnnotatedImage;
    // View menu.
    QMenu *menuView;
    QAction *actionZoomIn;
    QAction *actionZoomOut;
    QAction *actionFitToWindow;
    QAction *actionActualPixels;
    FrameViewNavigator *navigator;

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

    // Status bar, right-hand side.
    QProgressBar *runProgressBar;
    QLabel *circleCountLabel;
    QLabel *pictureInfoLabel;

    void setUp(QMainWindow *window, Ui::HessianMaximaMainWin *ui);

    // What polarityCBox and stretchCBox hold: each item its value.
    PolarityFilter polarity() const;
    StretchMode stretch() const;
    void showStretch(StretchMode mode);
};

#endif // WINDOWTOOLS_H
