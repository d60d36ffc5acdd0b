// The results table's order and filter: names in natural order ("2.mp3"
// before "10.mp3", case set aside), numbers as numbers.
#pragma once
#include <QCollator>
#include <QSortFilterProxyModel>

namespace ovra::tempix {

class ResultsProxy : public QSortFilterProxyModel {
public:
    explicit ResultsProxy(QObject* parent = nullptr);

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

private:
    QCollator collator;
};

} // namespace ovra::tempix
