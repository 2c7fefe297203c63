// The window's results table: the run shown, a row per feature, kept in
// step with the circles (a selected row highlights its circle and brings
// it into view; a click on a circle selects its row), copied to the
// clipboard as tab-separated text.

#include "hessianmaximamainwin.h"
#include "ui_hessianmaximamainwin.h"

#include "featuretablemodel.h"
#include "frameviewnavigator.h"
#include "runrequest.h"
#include "windowtools.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QTableView>


void HessianMaximaMainWin::showResultsOf(const RunRequest &run, const _HessianDetMaxResult &result)
{
    if (result.status != 0) {
        clearResults();
        return;
    }
    // A sort the user chose stays chosen for the next run.
    QHeaderView *header = tools->resultsTable->horizontalHeader();
    PictureResult picture;
    picture.file = run.fileName;
    picture.width = run.frame.width();
    picture.height = run.frame.height();
    recordRunSettings(run.settings, &picture);
    recordStretch(run.stretch, &picture);
    picture.status = result.status;
    picture.elapsedMsec = result.elapsedMsec;
    picture.features = result.features;
    picture.measures = result.measures;
    // A sequence's frame: its rows carry its number and time.
    picture.frame = run.frameIndex;
    picture.time = run.time;
    picture.hasTime = run.hasTime;
    tools->resultsModel->setPicture(picture);
    if (header->sortIndicatorSection() >= 0 && header->sortIndicatorSection() < tools->resultsModel->columnCount())
        tools->resultsModel->sort(header->sortIndicatorSection(), header->sortIndicatorOrder());
    tools->resultsSummary->setText(tools->resultsModel->summary());
}

void HessianMaximaMainWin::clearResults()
{
    tools->resultsModel->clear();
    tools->resultsSummary->setText(tools->resultsModel->summary());
    ui->featuresWidget->setHighlightedFeature(-1);
}

// The current row's feature is highlighted and, unless the click that
// chose it was on its circle, brought to the middle of a zoomed view.
void HessianMaximaMainWin::resultRowChosen()
{
    QItemSelectionModel *selection = tools->resultsTable->selectionModel();
    const QModelIndex current = selection->currentIndex();
    const int feature = current.isValid() && selection->isRowSelected(current.row(), QModelIndex())
                            ? tools->resultsModel->featureOfRow(current.row())
                            : -1;
    ui->featuresWidget->setHighlightedFeature(feature);
    const QVector<Feature> &features = tools->resultsModel->picture().features;
    if (feature >= 0 && !selectingFromView)
        tools->navigator->centreOn(QPointF(features[feature].x + 0.5, features[feature].y + 0.5));
}

void HessianMaximaMainWin::selectFeatureRow(int feature)
{
    QItemSelectionModel *selection = tools->resultsTable->selectionModel();
    const int row = tools->resultsModel->rowOfFeature(feature);
    selectingFromView = true;
    if (row < 0) {
        selection->clear();
    } else {
        const QModelIndex index = tools->resultsModel->index(row, 0);
        selection->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        tools->resultsTable->scrollTo(index);
    }
    selectingFromView = false;
}

// Ctrl+C (the platform's Copy keys) copies whole rows, not the one cell
// the table would copy by itself.
bool HessianMaximaMainWin::takeTableKey(QEvent *event)
{
    if (event->type() != QEvent::ShortcutOverride && event->type() != QEvent::KeyPress)
        return false;
    auto *key = static_cast<QKeyEvent *>(event);
    if (!key->matches(QKeySequence::Copy))
        return false;
    if (event->type() == QEvent::ShortcutOverride) {
        event->accept();
        return true;
    }
    copySelectedRows();
    return true;
}

void HessianMaximaMainWin::copySelectedRows()
{
    QList<int> rows;
    for (const QModelIndex &index : tools->resultsTable->selectionModel()->selectedRows())
        rows << index.row();
    if (rows.isEmpty())
        return;
    QGuiApplication::clipboard()->setText(tools->resultsModel->tabSeparated(rows));
    showNote(QStringLiteral("%1 %2 copied").arg(rows.size()).arg(rows.size() == 1 ? QStringLiteral("row")
                                                                                  : QStringLiteral("rows")));
}
