// Colours made from the window's palette, so that they read on light and
// dark themes alike.
#pragma once
#include <QColor>

class QPalette;
class QWidget;

namespace ovra {

// Between the text colour and red: a dark red on a light theme, a light red
// on a dark one.
QColor errortextcolour(const QPalette& palette);
// a and b mixed, share 0 (all a) to 1 (all b).
QColor mixcolours(const QColor& a, const QColor& b, double share);
// Shows the widget's text in the error colour of its own palette.
void seterrortext(QWidget* widget);

} // namespace ovra
