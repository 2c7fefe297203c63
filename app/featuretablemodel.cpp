#include "featuretablemodel.h"

#include <QStringList>

#include <algorithm>
#include <numeric>

FeatureTableModel::FeatureTableModel(QObject *parent) : QAbstractTableModel(parent)
{
    columns = featureColumns(PictureResult(), true);
}

void FeatureTableModel::setPicture(const PictureResult &picture)
{
    beginResetModel();
    shown = picture;
    // A record without a measure per feature has only positions to show.
    if (shown.measures.size() != shown.features.size())
        shown.measures.fill(FeatureMeasure{0.0f, 0.0f, 0.0f, 0.0f, 0}, shown.features.size());
    columns = featureColumns(shown, true);
    order.resize(shown.features.size());
    std::iota(order.begin(), order.end(), 0);
    rows = order;
    endResetModel();
}

void FeatureTableModel::clear()
{
    setPicture(PictureResult());
}

int FeatureTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : order.size();
}

int FeatureTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : columns.size();
}

QVariant FeatureTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= order.size() || index.column() >= columns.size())
        return QVariant();
    const FeatureColumn &column = columns[index.column()];
    switch (role) {
    case Qt::DisplayRole:
        return QString::fromLatin1(column.text(shown, order[index.row()]));
    case Qt::TextAlignmentRole:
        return QVariant(column.jsonText ? Qt::AlignLeft | Qt::AlignVCenter : Qt::AlignRight | Qt::AlignVCenter);
    default:
        return QVariant();
    }
}

QVariant FeatureTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < columns.size())
        return QString::fromLatin1(columns[section].name);
    if (orientation == Qt::Vertical && role == Qt::DisplayRole)
        return section + 1;
    return QVariant();
}

void FeatureTableModel::sort(int column, Qt::SortOrder sortOrder)
{
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    QVector<int> featuresBefore;
    featuresBefore.reserve(before.size());
    for (const QModelIndex &index : before)
        featuresBefore << order.value(index.row(), -1);

    std::iota(order.begin(), order.end(), 0);
    if (column >= 0 && column < columns.size()) {
        // The values once, then a sort of indices by them: a comparison
        // then costs no call.
        const FeatureColumn &by = columns[column];
        QVector<double> values(order.size());
        for (int i = 0; i < values.size(); ++i)
            values[i] = by.value(shown, i);
        if (sortOrder == Qt::AscendingOrder)
            std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return values[a] < values[b]; });
        else
            std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return values[a] > values[b]; });
    }
    orderChanged();

    QModelIndexList after;
    after.reserve(before.size());
    for (int i = 0; i < before.size(); ++i)
        after << (featuresBefore[i] < 0 ? QModelIndex() : index(rows[featuresBefore[i]], before[i].column()));
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void FeatureTableModel::orderChanged()
{
    rows.resize(order.size());
    for (int row = 0; row < order.size(); ++row)
        rows[order[row]] = row;
}

int FeatureTableModel::featureOfRow(int row) const
{
    return row >= 0 && row < order.size() ? order[row] : -1;
}

int FeatureTableModel::rowOfFeature(int feature) const
{
    return feature >= 0 && feature < rows.size() ? rows[feature] : -1;
}

PictureResult FeatureTableModel::inTableOrder() const
{
    PictureResult picture = shown;
    for (int row = 0; row < order.size(); ++row) {
        picture.features[row] = shown.features[order[row]];
        picture.measures[row] = shown.measures[order[row]];
    }
    return picture;
}

QString FeatureTableModel::tabSeparated(QList<int> rowList) const
{
    std::sort(rowList.begin(), rowList.end());
    QStringList names;
    for (const FeatureColumn &column : columns)
        names << QString::fromLatin1(column.name);
    QString text = names.join(QLatin1Char('\t')) + QLatin1Char('\n');
    for (int row : rowList) {
        const int feature = featureOfRow(row);
        if (feature < 0)
            continue;
        for (int c = 0; c < columns.size(); ++c) {
            if (c > 0)
                text += QLatin1Char('\t');
            text += QString::fromLatin1(columns[c].text(shown, feature));
        }
        text += QLatin1Char('\n');
    }
    return text;
}

QString FeatureTableModel::summary() const
{
    const int count = shown.features.size();
    if (count == 0)
        return QStringLiteral("No features");
    float lowest = shown.measures[0].response, highest = lowest;
    for (const FeatureMeasure &measure : shown.measures) {
        lowest = std::min(lowest, measure.response);
        highest = std::max(highest, measure.response);
    }
    return QStringLiteral("%1 %2, response %3 to %4")
        .arg(count)
        .arg(count == 1 ? QStringLiteral("feature") : QStringLiteral("features"))
        .arg((double)lowest, 0, 'g', 6)
        .arg((double)highest, 0, 'g', 6);
}
