#include "platform/window/ThemeColours.h"

#include <QPalette>
#include <QWidget>

namespace ovra {

QColor mixcolours(const QColor& a, const QColor& b, double share)
{
    auto mix = [share](double x, double y) { return int(x + (y - x) * share + 0.5); };
    return QColor(mix(a.red(), b.red()), mix(a.green(), b.green()), mix(a.blue(), b.blue()), mix(a.alpha(), b.alpha()));
}

QColor errortextcolour(const QPalette& palette)
{
    return mixcolours(palette.color(QPalette::WindowText), QColor(255, 0, 0), 0.6);
}

void seterrortext(QWidget* widget)
{
    if (!widget)
        return;
    // From the surroundings' palette, so that a second call changes nothing.
    const QWidget* around = widget->parentWidget();
    QPalette p = widget->palette();
    const QColor colour = errortextcolour(around ? around->palette() : p);
    p.setColor(QPalette::WindowText, colour);
    p.setColor(QPalette::Text, colour);
    widget->setPalette(p);
}

} // namespace ovra
