#ifndef FEATURETABLEMODEL_H
#define FEATURETABLEMODEL_H

#include "featurewriter.h"

#include <QAbstractTableModel>
#include <QList>
#include <QString>
#include <QVector>

// The features of the run shown, one row each, for the results table. The
// columns are the feature tables' own (featureColumns with details), taken
// from the picture's record, so a column the writers gain appears here
// too, and the rows print exactly as Save Features writes them.
//
// A model, not a widget per row: a view asks only for the rows it shows,
// and sorting orders a list of indices, so 100 000 features cost a few
// milliseconds to sort and nothing to scroll.
class FeatureTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    explicit FeatureTableModel(QObject *parent = nullptr);

    // The features shown (features and measures of one run); the rows in
    // their order, unsorted.
    void setPicture(const PictureResult &picture);
    void clear();
    const PictureResult &picture() const { return shown; }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    // By a column's values (ties keep the run's order); column -1: the
    // run's order.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    // The feature (its index in the run) a row shows, and the row showing
    // a feature; -1 when there is none.
    int featureOfRow(int row) const;
    int rowOfFeature(int feature) const;

    // The picture with its features in the table's order: what Save
    // Features writes.
    PictureResult inTableOrder() const;
    // The header and then the given rows (in table order), tab-separated,
    // one line each: what a spreadsheet takes from the clipboard.
    QString tabSeparated(QList<int> rows) const;
    // "37 features, response 112.5 to 4021.7", or "No features".
    QString summary() const;

private:
    void orderChanged();

    PictureResult shown;
    QVector<FeatureColumn> columns;
    QVector<int> order;  // row -> feature
    QVector<int> rows;   // feature -> row
};

#endif // FEATURETABLEMODEL_H
