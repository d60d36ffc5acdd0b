#include "app/ResultsProxy.h"

namespace ovra::tempix {

namespace {
// Runs of digits by their value, the rest by the collator; the collator's
// own numeric mode is missing where Qt has no ICU.
int naturalcompare(const QCollator& collator, const QString& a, const QString& b)
{
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            qsizetype ie = i, je = j;
            while (ie < a.size() && a[ie].isDigit())
                ++ie;
            while (je < b.size() && b[je].isDigit())
                ++je;
            // Without leading zeros, the longer run is the larger number.
            QStringView x = QStringView(a).mid(i, ie - i), y = QStringView(b).mid(j, je - j);
            while (x.size() > 1 && x[0] == u'0')
                x = x.mid(1);
            while (y.size() > 1 && y[0] == u'0')
                y = y.mid(1);
            if (x.size() != y.size())
                return x.size() < y.size() ? -1 : 1;
            if (const int order = x.compare(y))
                return order;
            i = ie;
            j = je;
            continue;
        }
        qsizetype ie = i, je = j;
        while (ie < a.size() && !a[ie].isDigit())
            ++ie;
        while (je < b.size() && !b[je].isDigit())
            ++je;
        if (const int order = collator.compare(QStringView(a).mid(i, ie - i), QStringView(b).mid(j, je - j)))
            return order;
        i = ie;
        j = je;
    }
    return (a.size() - i > 0) - (b.size() - j > 0);
}
} // namespace

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
        const int order = naturalcompare(collator, a.toString(), b.toString());
        // Equal names keep the batch's order.
        return order != 0 ? order < 0 : left.row() < right.row();
    }
    return QSortFilterProxyModel::lessThan(left, right);
}

} // namespace ovra::tempix
