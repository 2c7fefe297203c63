#include "windowtools.h"

#include "detectionjob.h"
#include "featurecountplot.h"
#include "featuretablemodel.h"
#include "frameloading.h"
#include "frameviewnavigator.h"
#include "responsehistogram.h"
#include "ui_hessianmaximamainwin.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDockWidget>
#include <QDoubleSpinBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QSlider>
#include <QSpacerItem>
#include <QSpinBox>
#include <QStatusBar>
#include <QStyle>
#include <QTableView>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {

QString text(const char *source)
{
    return QCoreApplication::translate("HessianMaximaMainWin", source);
}

QAction *makeAction(QMainWindow *window, const char *name, const char *label, const char *tip,
                    const QList<QKeySequence> &shortcuts)
{
    auto *action = new QAction(window);
    action->setObjectName(QLatin1String(name));
    action->setText(text(label));
    action->setToolTip(text(tip));
    action->setShortcuts(shortcuts);
    return action;
}

QKeySequence keys(const char *sequence)
{
    return QKeySequence(text(sequence), QKeySequence::NativeText);
}

} // namespace

void WindowTools::setUp(QMainWindow *window, Ui::HessianMaximaMainWin *ui)
{
    // Ctrl+Q quits as on every other desktop program; Shift+X stays the
    // shortcut the menu shows.
    ui->actionExit->setShortcuts({ui->actionExit->shortcut(), keys("Ctrl+Q")});

    actionStop = makeAction(window, "actionStop", "Stop", "Stop the run in progress (Escape)", {keys("Esc")});
    actionStop->setIcon(window->style()->standardIcon(QStyle::SP_BrowserStop));
    actionStop->setEnabled(false);
    menuRecent = new QMenu(ui->menuFile);
    menuRecent->setObjectName(QStringLiteral("menuRecent"));
    menuRecent->setTitle(text("Open Recent"));
    menuRecent->setToolTipsVisible(true);

    actionLiveUpdate = makeAction(window, "actionLiveUpdate", "Live Update",
                                  "Run again shortly after every change of the parameters", {keys("Ctrl+L")});
    actionLiveUpdate->setCheckable(true);
    actionSaveFeatures = makeAction(window, "actionSaveFeatures", "Save Features\u2026",
                                    "Save the features of the run shown, as CSV or JSON", {keys("Ctrl+Shift+S")});
    actionSaveFeatures->setEnabled(false);
    actionSaveAnnotatedImage =
        makeAction(window, "actionSaveAnnotatedImage", "Save Annotated Image\u2026",
                   "Save the picture at full size with the circles of the run shown, as PNG", {keys("Ctrl+Shift+E")});
    actionSaveAnnotatedImage->setEnabled(false);

    actionOpenCamera = makeAction(window, "actionOpenCamera", "Open Camera\u2026",
                                  "Open a camera (a V4L2 device such as /dev/video0) or a live video stream", {});

    // The File menu keeps its entries, and its separator right before Exit.
    QAction *beforeExit = ui->menuFile->actions().value(ui->menuFile->actions().size() - 2);
    ui->menuFile->insertAction(beforeExit, actionStop);
    ui->menuFile->insertAction(beforeExit, actionOpenCamera);
    ui->menuFile->insertMenu(beforeExit, menuRecent);
    ui->menuFile->insertAction(beforeExit, actionLiveUpdate);
    ui->menuFile->insertSeparator(beforeExit);
    ui->menuFile->insertAction(beforeExit, actionSaveFeatures);
    ui->menuFile->insertAction(beforeExit, actionSaveAnnotatedImage);

    actionZoomIn = makeAction(window, "actionZoomIn", "Zoom In", "Zoom In", {keys("Ctrl++"), keys("Ctrl+=")});
    actionZoomOut = makeAction(window, "actionZoomOut", "Zoom Out", "Zoom Out", {keys("Ctrl+-")});
    actionFitToWindow = makeAction(window, "actionFitToWindow", "Fit to Window", "Fit the Picture to the Window",
                                   {keys("Ctrl+0")});
    actionActualPixels = makeAction(window, "actionActualPixels", "Actual Pixels",
                                    "One Picture Pixel per Screen Pixel", {keys("Ctrl+1")});
    menuView = new QMenu(ui->menuBar);
    menuView->setObjectName(QStringLiteral("menuView"));
    menuView->setTitle(text("View"));
    menuView->addAction(actionZoomIn);
    menuView->addAction(actionZoomOut);
    menuView->addAction(actionFitToWindow);
    menuView->addAction(actionActualPixels);
    ui->menuBar->addAction(menuView->menuAction());

    actionShowFeatures = makeAction(window, "actionShowFeatures", "Show Features",
                                    "Show or hide the circles of the run shown", {keys("Ctrl+Shift+F")});
    actionShowFeatures->setCheckable(true);
    actionShowFeatures->setChecked(true);
    actionColourByPolarity =
        makeAction(window, "actionColourByPolarity", "Colour by Polarity",
                   "Draw the circles of dark blobs in blue, those of bright ones in red", {keys("Ctrl+Shift+P")});
    actionColourByPolarity->setCheckable(true);
    menuView->addSeparator();
    menuView->addAction(actionShowFeatures);
    menuView->addAction(actionColourByPolarity);

    // The results: a table over a model of the run shown, sortable by any
    // column. Its rows are all one height and its columns are sized from
    // the font, never from the rows' contents, so that a table of 100 000
    // features is as quick to show as one of ten.
    resultsDock = new QDockWidget(text("Results"), window);
    resultsDock->setObjectName(QStringLiteral("resultsDock"));
    auto *resultsWidget = new QWidget(resultsDock);
    resultsWidget->setObjectName(QStringLiteral("resultsWidget"));
    auto *resultsLayout = new QVBoxLayout(resultsWidget);
    resultsLayout->setContentsMargins(6, 0, 6, 6);
    resultsLayout->setSpacing(4);
    resultsModel = new FeatureTableModel(resultsWidget);
    resultsModel->setObjectName(QStringLiteral("resultsModel"));
    resultsTable = new QTableView(resultsWidget);
    resultsTable->setObjectName(QStringLiteral("resultsTable"));
    resultsTable->setModel(resultsModel);
    resultsTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    resultsTable->setSelectionMode(QAbstractItemView::ExtendedSelection);
    resultsTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    resultsTable->setAlternatingRowColors(true);
    resultsTable->setWordWrap(false);
    resultsTable->setToolTip(text("The features of the run shown. Click a header to sort; select a row to find "
                                  "its circle; Ctrl+C copies the selected rows for a spreadsheet"));
    QHeaderView *rowHeader = resultsTable->verticalHeader();
    rowHeader->hide();
    rowHeader->setSectionResizeMode(QHeaderView::Fixed);
    rowHeader->setDefaultSectionSize(resultsTable->fontMetrics().height() + 4);
    QHeaderView *columnHeader = resultsTable->horizontalHeader();
    columnHeader->setSectionResizeMode(QHeaderView::Interactive);
    columnHeader->setDefaultSectionSize(resultsTable->fontMetrics().horizontalAdvance(QStringLiteral("0000.000000")));
    columnHeader->setStretchLastSection(true);
    // The run's order until a header is clicked.
    columnHeader->setSortIndicator(-1, Qt::AscendingOrder);
    resultsTable->setSortingEnabled(true);
    resultsSummary = new QLabel(text("No features"), resultsWidget);
    resultsSummary->setObjectName(QStringLiteral("resultsSummary"));
    resultsLayout->addWidget(resultsTable);
    resultsLayout->addWidget(resultsSummary);
    resultsDock->setWidget(resultsWidget);
    window->addDockWidget(Qt::BottomDockWidgetArea, resultsDock);
    resultsDock->hide();
    actionShowResults = resultsDock->toggleViewAction();
    actionShowResults->setObjectName(QStringLiteral("actionShowResults"));
    actionShowResults->setShortcut(keys("Ctrl+R"));
    actionShowResults->setToolTip(text("Show or hide the table of the features found"));
    menuView->addAction(actionShowResults);

    menuHelp = new QMenu(ui->menuBar);
    menuHelp->setObjectName(QStringLiteral("menuHelp"));
    menuHelp->setTitle(text("Help"));
    actionAbout = makeAction(window, "actionAbout", "About", "About this program", {});
    menuHelp->addAction(actionAbout);
    ui->menuBar->addAction(menuHelp->menuAction());

    actionPlay = makeAction(window, "actionPlay", "Play", "Play or pause the sequence (Space)", {keys("Space")});
    actionPlay->setIcon(window->style()->standardIcon(QStyle::SP_MediaPlay));
    actionPreviousFrame = makeAction(window, "actionPreviousFrame", "Previous Frame", "Previous frame (Left)",
                                     {keys("Left")});
    actionNextFrame = makeAction(window, "actionNextFrame", "Next Frame", "Next frame (Right)", {keys("Right")});
    actionFirstFrame = makeAction(window, "actionFirstFrame", "First Frame", "First frame (Home)", {keys("Home")});
    actionLastFrame = makeAction(window, "actionLastFrame", "Last Frame", "Last frame (End)", {keys("End")});
    for (QAction *action : {actionPlay, actionPreviousFrame, actionNextFrame, actionFirstFrame, actionLastFrame}) {
        action->setEnabled(false);
        window->addAction(action);
    }

    // The frame bar goes under the view, in the view's place in the
    // form's row; hidden, it takes no room, and a still picture's window
    // is as it was.
    frameBar = new QWidget(ui->centralWidget);
    frameBar->setObjectName(QStringLiteral("frameBar"));
    auto *frameBarLayout = new QHBoxLayout(frameBar);
    frameBarLayout->setContentsMargins(0, 0, 0, 0);
    playButton = new QToolButton(frameBar);
    playButton->setObjectName(QStringLiteral("playButton"));
    playButton->setDefaultAction(actionPlay);
    playButton->setAutoRaise(true);
    // Out of the Tab chain, which goes round the form's controls only.
    playButton->setFocusPolicy(Qt::NoFocus);
    frameSlider = new QSlider(Qt::Horizontal, frameBar);
    frameSlider->setObjectName(QStringLiteral("frameSlider"));
    frameSlider->setToolTip(text("The frame shown; Left and Right step, Home and End go to the first and the last"));
    frameSlider->setFocusPolicy(Qt::ClickFocus);
    frameLabel = new QLabel(frameBar);
    frameLabel->setObjectName(QStringLiteral("frameLabel"));
    frameLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    frameBarLayout->addWidget(playButton);
    frameBarLayout->addWidget(frameSlider, 1);
    frameBarLayout->addWidget(frameLabel);
    frameBar->hide();
    featureCountPlot = new FeatureCountPlot(ui->centralWidget);
    featureCountPlot->setObjectName(QStringLiteral("featureCountPlot"));
    featureCountPlot->setToolTip(text("Features found in each frame detected, with the settings of the run shown; "
                                      "the red line marks the frame shown"));
    featureCountPlot->hide();
    auto *viewColumn = new QVBoxLayout;
    viewColumn->setObjectName(QStringLiteral("viewColumn"));
    viewColumn->setContentsMargins(0, 0, 0, 0);
    const int viewStretch = ui->mainHLayout->stretch(0);
    ui->mainHLayout->removeWidget(ui->featuresWidget);
    viewColumn->addWidget(ui->featuresWidget, 1);
    viewColumn->addWidget(frameBar);
    viewColumn->addWidget(featureCountPlot);
    ui->mainHLayout->insertLayout(0, viewColumn, viewStretch);

    navigator = new FrameViewNavigator(ui->featuresWidget);
    navigator->setObjectName(QStringLiteral("frameViewNavigator"));
    QObject::connect(actionZoomIn, &QAction::triggered, navigator, &FrameViewNavigator::zoomIn);
    QObject::connect(actionZoomOut, &QAction::triggered, navigator, &FrameViewNavigator::zoomOut);
    QObject::connect(actionFitToWindow, &QAction::triggered, navigator, &FrameViewNavigator::fitToWindow);
    QObject::connect(actionActualPixels, &QAction::triggered, navigator, &FrameViewNavigator::showActualPixels);

    // The parameters' column goes on below the form's two rows, in the
    // spacer's row, which still takes up the height left over. These
    // controls take focus from a click but stay out of the Tab chain, which
    // runs through the form's controls only.
    detectionOptionsWidget = new QWidget(ui->controlWidget);
    detectionOptionsWidget->setObjectName(QStringLiteral("detectionOptionsWidget"));
    detectionOptionsLayout = new QGridLayout(detectionOptionsWidget);
    detectionOptionsLayout->setObjectName(QStringLiteral("detectionOptionsLayout"));
    detectionOptionsLayout->setContentsMargins(0, 0, 0, 0);
    detectionOptionsLayout->setSpacing(6);

    lblScales = new QLabel(text("Scales"), detectionOptionsWidget);
    lblScales->setObjectName(QStringLiteral("lblScales"));
    scalesSBox = new QSpinBox(detectionOptionsWidget);
    scalesSBox->setObjectName(QStringLiteral("scalesSBox"));
    scalesSBox->setMinimumSize(70, 0);
    scalesSBox->setRange(1, 16);
    scalesSBox->setValue(1);
    scalesSBox->setToolTip(text("1: the single-sigma run. More: blobs found at their own scale, from Hessian "
                                "Sigma to Sigma max"));

    lblSigmaMax = new QLabel(text("Sigma max"), detectionOptionsWidget);
    lblSigmaMax->setObjectName(QStringLiteral("lblSigmaMax"));
    sigmaMaxSBox = new QDoubleSpinBox(detectionOptionsWidget);
    sigmaMaxSBox->setObjectName(QStringLiteral("sigmaMaxSBox"));
    sigmaMaxSBox->setMinimumSize(70, 0);
    sigmaMaxSBox->setMaximum(60.0);
    sigmaMaxSBox->setSingleStep(0.5);
    sigmaMaxSBox->setValue(15.0);
    sigmaMaxSBox->setEnabled(false);
    sigmaMaxSBox->setToolTip(text("The largest sigma of a scale range"));
    // A range needs its largest sigma above its smallest.
    const auto followSigma = [this](double sigma) { sigmaMaxSBox->setMinimum(sigma + 0.5); };
    followSigma(ui->hessianSigmaSBox->value());
    QObject::connect(ui->hessianSigmaSBox, QOverload<double>::of(&QDoubleSpinBox::valueChanged), sigmaMaxSBox,
                     followSigma);
    QObject::connect(scalesSBox, QOverload<int>::of(&QSpinBox::valueChanged), sigmaMaxSBox,
                     [this](int scales) { sigmaMaxSBox->setEnabled(scales > 1); });

    lblPolarity = new QLabel(text("Polarity"), detectionOptionsWidget);
    lblPolarity->setObjectName(QStringLiteral("lblPolarity"));
    polarityCBox = new QComboBox(detectionOptionsWidget);
    polarityCBox->setObjectName(QStringLiteral("polarityCBox"));
    polarityCBox->setMinimumSize(70, 0);
    polarityCBox->addItem(text("Both"), (int)PolarityFilter::Both);
    polarityCBox->addItem(text("Bright"), (int)PolarityFilter::Bright);
    polarityCBox->addItem(text("Dark"), (int)PolarityFilter::Dark);
    polarityCBox->setToolTip(text("Which blobs to keep: both kinds, only those lighter than their "
                                  "surroundings, or only darker ones"));

    lblStretch = new QLabel(text("Stretch Intensities"), detectionOptionsWidget);
    lblStretch->setObjectName(QStringLiteral("lblStretch"));
    // Two lines rather than a wider column and a smaller picture.
    lblStretch->setWordWrap(true);
    lblStretch->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    stretchCBox = new QComboBox(detectionOptionsWidget);
    stretchCBox->setObjectName(QStringLiteral("stretchCBox"));
    stretchCBox->setMinimumSize(70, 0);
    // As narrow as the polarity's, so that the column keeps its width.
    stretchCBox->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    stretchCBox->setMinimumContentsLength(6);
    stretchCBox->addItem(text("Auto"), (int)StretchMode::Default);
    stretchCBox->addItem(text("None"), (int)StretchMode::None);
    stretchCBox->addItem(text("Min\u2013Max"), (int)StretchMode::MinMax);
    stretchCBox->addItem(text("Percentile"), (int)StretchMode::Percentile);
    stretchTip = text("How the picture's values become the detector's 256 levels: Auto (none for 8-bit pictures, "
                      "percentile for deeper ones), as they are (16-bit pictures as Qt reads them), the smallest to "
                      "the largest value, or the 0.1th to the 99.9th percentile. Pictures of more than 8 bits are "
                      "always shown stretched");
    stretchCBox->setToolTip(stretchTip);

    liveUpdateCheckBox = new QCheckBox(actionLiveUpdate->text(), detectionOptionsWidget);
    liveUpdateCheckBox->setObjectName(QStringLiteral("liveUpdateCheckBox"));
    liveUpdateCheckBox->setToolTip(actionLiveUpdate->toolTip());
    QObject::connect(liveUpdateCheckBox, &QCheckBox::toggled, actionLiveUpdate, &QAction::setChecked);
    QObject::connect(actionLiveUpdate, &QAction::toggled, liveUpdateCheckBox, &QCheckBox::setChecked);

    thresholdHistogram = new ResponseHistogram(detectionOptionsWidget);
    thresholdHistogram->setObjectName(QStringLiteral("thresholdHistogram"));
    thresholdHistogram->setRange(ui->maxThresholdSBox->minimum(), ui->maxThresholdSBox->maximum());
    thresholdHistogram->setThreshold(ui->maxThresholdSBox->value());
    QObject::connect(ui->maxThresholdSBox, QOverload<double>::of(&QDoubleSpinBox::valueChanged), thresholdHistogram,
                     &ResponseHistogram::setThreshold);
    QObject::connect(thresholdHistogram, &ResponseHistogram::thresholdPicked, ui->maxThresholdSBox,
                     &QDoubleSpinBox::setValue);

    tracksBox = new QGroupBox(text("Tracks"), detectionOptionsWidget);
    tracksBox->setObjectName(QStringLiteral("tracksBox"));
    tracksBox->setCheckable(true);
    tracksBox->setChecked(false);
    tracksBox->setToolTip(text("Link the features of the frames seen into tracks, and draw each circle with a "
                               "tail of its track's last positions"));
    auto *tracksLayout = new QGridLayout(tracksBox);
    tracksLayout->setContentsMargins(6, 6, 6, 6);
    tracksLayout->setSpacing(6);
    trackDistanceSBox = new QDoubleSpinBox(tracksBox);
    trackDistanceSBox->setObjectName(QStringLiteral("trackDistanceSBox"));
    trackDistanceSBox->setRange(0.5, 1000.0);
    trackDistanceSBox->setSingleStep(1.0);
    trackDistanceSBox->setValue(10.0);
    trackDistanceSBox->setToolTip(text("The farthest a feature moves from one frame to the next, in pixels"));
    trackGapSBox = new QSpinBox(tracksBox);
    trackGapSBox->setObjectName(QStringLiteral("trackGapSBox"));
    trackGapSBox->setRange(0, 100);
    trackGapSBox->setToolTip(text("Frames a track may miss and still go on"));
    tailLengthSBox = new QSpinBox(tracksBox);
    tailLengthSBox->setObjectName(QStringLiteral("tailLengthSBox"));
    tailLengthSBox->setRange(1, 1000);
    tailLengthSBox->setValue(20);
    tailLengthSBox->setToolTip(text("How many of its track's last frames a circle's tail goes back"));
    auto *distanceLabel = new QLabel(text("Max distance"), tracksBox);
    distanceLabel->setToolTip(trackDistanceSBox->toolTip());
    auto *gapLabel = new QLabel(text("Gap"), tracksBox);
    gapLabel->setToolTip(trackGapSBox->toolTip());
    auto *tailLabel = new QLabel(text("Tail length"), tracksBox);
    tailLabel->setToolTip(tailLengthSBox->toolTip());
    trackDistanceSBox->setSuffix(text(" px"));
    tracksLayout->addWidget(distanceLabel, 0, 0);
    tracksLayout->addWidget(trackDistanceSBox, 0, 1);
    tracksLayout->addWidget(gapLabel, 1, 0);
    tracksLayout->addWidget(trackGapSBox, 1, 1);
    tracksLayout->addWidget(tailLabel, 2, 0);
    tracksLayout->addWidget(tailLengthSBox, 2, 1);
    // Only sequences have tracks.
    tracksBox->hide();

    for (QWidget *control : {(QWidget *)scalesSBox, (QWidget *)sigmaMaxSBox, (QWidget *)polarityCBox,
                             (QWidget *)stretchCBox, (QWidget *)liveUpdateCheckBox, (QWidget *)tracksBox,
                             (QWidget *)trackDistanceSBox, (QWidget *)trackGapSBox, (QWidget *)tailLengthSBox})
        control->setFocusPolicy(Qt::ClickFocus);

    detectionOptionsLayout->addWidget(lblScales, 0, 0);
    detectionOptionsLayout->addWidget(scalesSBox, 0, 1);
    detectionOptionsLayout->addWidget(lblSigmaMax, 1, 0);
    detectionOptionsLayout->addWidget(sigmaMaxSBox, 1, 1);
    detectionOptionsLayout->addWidget(lblPolarity, 2, 0);
    detectionOptionsLayout->addWidget(polarityCBox, 2, 1);
    detectionOptionsLayout->addWidget(lblStretch, 3, 0);
    detectionOptionsLayout->addWidget(stretchCBox, 3, 1);
    detectionOptionsLayout->addWidget(liveUpdateCheckBox, 4, 0, 1, 2);
    detectionOptionsLayout->addWidget(thresholdHistogram, 5, 0, 1, 2);
    // The histogram takes what height the spacer's row has to spare, up to
    // a point.
    thresholdHistogram->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    thresholdHistogram->setMaximumHeight(240);
    // The stretch's row takes the column's spare height and the
    // second line of its label from the histogram's least height, so that
    // the column, and the window, keep their size.
    thresholdHistogram->setMinimumHeight(thresholdHistogram->minimumSizeHint().height()
                                         - lblStretch->fontMetrics().height());
    detectionOptionsLayout->addWidget(tracksBox, 6, 0, 1, 2);
    detectionOptionsLayout->addItem(new QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Expanding), 7, 0);
    ui->controlGridLayout->addWidget(detectionOptionsWidget, 2, 0, 1, 2);

    runProgressBar = new QProgressBar(ui->statusBar);
    runProgressBar->setObjectName(QStringLiteral("runProgressBar"));
    runProgressBar->setRange(0, 0);  // indeterminate
    runProgressBar->setMaximumWidth(90);
    runProgressBar->setMaximumHeight(14);
    runProgressBar->setTextVisible(false);
    runProgressBar->setToolTip(text("Running"));
    runProgressBar->hide();
    circleCountLabel = new QLabel(ui->statusBar);
    circleCountLabel->setObjectName(QStringLiteral("circleCountLabel"));
    circleCountLabel->setToolTip(text("So many circles cover one another: zoom in to tell them apart"));
    circleCountLabel->hide();
    playbackRateLabel = new QLabel(ui->statusBar);
    playbackRateLabel->setObjectName(QStringLiteral("playbackRateLabel"));
    playbackRateLabel->setToolTip(text("Frames shown per second while the sequence plays"));
    playbackRateLabel->hide();
    pictureInfoLabel = new QLabel(ui->statusBar);
    pictureInfoLabel->setObjectName(QStringLiteral("pictureInfoLabel"));
    stopButton = new QToolButton(ui->statusBar);
    stopButton->setObjectName(QStringLiteral("stopButton"));
    stopButton->setDefaultAction(actionStop);
    stopButton->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    stopButton->setAutoRaise(true);
    stopButton->hide();
    warningButton = new QToolButton(ui->statusBar);
    warningButton->setObjectName(QStringLiteral("warningButton"));
    warningButton->setIcon(window->style()->standardIcon(QStyle::SP_MessageBoxWarning));
    warningButton->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    warningButton->setAutoRaise(true);
    warningButton->hide();
    pixelInfoLabel = new QLabel(ui->statusBar);
    pixelInfoLabel->setObjectName(QStringLiteral("pixelInfoLabel"));
    pixelInfoLabel->setToolTip(text("The pixel under the pointer: its position, its value as stored in the file, "
                                    "and the level 0..255 the detector sees there"));
    pixelInfoLabel->hide();
    ui->statusBar->addPermanentWidget(runProgressBar);
    ui->statusBar->addPermanentWidget(stopButton);
    ui->statusBar->addPermanentWidget(circleCountLabel);
    ui->statusBar->addPermanentWidget(warningButton);
    ui->statusBar->addPermanentWidget(playbackRateLabel);
    ui->statusBar->addPermanentWidget(pictureInfoLabel);
    ui->statusBar->addPermanentWidget(pixelInfoLabel);
}

PolarityFilter WindowTools::polarity() const
{
    return (PolarityFilter)polarityCBox->currentData().toInt();
}

StretchMode WindowTools::stretch() const
{
    return (StretchMode)stretchCBox->currentData().toInt();
}

void WindowTools::showStretch(StretchMode mode)
{
    stretchCBox->setCurrentIndex(stretchCBox->findData((int)mode));
}

void WindowTools::showAutoStretch(StretchMode chosen)
{
    // Said in the item's tip rather than its text, which the narrow box
    // would cut short.
    const int item = stretchCBox->findData((int)StretchMode::Default);
    const int shown = stretchCBox->findData((int)chosen);
    stretchCBox->setItemData(item,
                             chosen == StretchMode::Default || shown < 0
                                 ? QVariant()
                                 : QVariant(text("Auto chose %1 for this picture")
                                                .replace(QLatin1String("%1"), stretchCBox->itemText(shown))),
                             Qt::ToolTipRole);
    stretchCBox->setToolTip(stretchTip + (chosen == StretchMode::Default || shown < 0
                                              ? QString()
                                              : QStringLiteral("\n\n") + stretchCBox->itemData(item, Qt::ToolTipRole).toString()));
}
