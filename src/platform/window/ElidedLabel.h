// Labels that show a long text, such as a path, shortened with an ellipsis
// to fit their width, and the whole text in their tooltip. A label of the
// interface file becomes one with the property "elide" ("middle", "left" or
// "right"); the window framework then sets and reads its whole text.
#pragma once
#include <QString>

class QLabel;

namespace ovra {

bool iselidedlabel(const QLabel* label);
// Shows text shortened to the label's width, now and whenever it is resized.
void setelidedtext(QLabel* label, const QString& text);
// The whole text, as last set.
QString elidedlabeltext(const QLabel* label);

} // namespace ovra
