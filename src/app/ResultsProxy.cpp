#include "app/ResultsProxy.h"

namespace ovra::tempix {

ResultsProxy::ResultsProxy(QObject* parent) : QSortFilterProxyModel(parent)
{
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
}

bool ResultsProxy::lessThan(const QModelIndex& left, const QModelIndex& right) const
{
    const QVariant a = left.data(sortRole());
    const QVariant b = right.data(sortRole());
    if (a.typeId() == QMetaType::QString && b.typeId() == QMetaType::QString) {
        const int order = collator.compare(a.toString(), b.toString());
        // Equal names keep the batch's order.
        return order != 0 ? order < 0 : left.row() < right.row();
    }
    return QSortFilterProxyModel::lessThan(left, right);
}

} // namespace ovra::tempix
