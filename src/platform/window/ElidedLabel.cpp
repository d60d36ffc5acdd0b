#include "platform/window/ElidedLabel.h"

#include <QEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QVariant>

namespace ovra {

namespace {

const char* const FULL_TEXT = "tempixFullText";
const char* const BASE_TIP = "tempixBaseToolTip";

Qt::TextElideMode modeof(const QLabel* label)
{
    const QString mode = label->property("elide").toString();
    if (mode == "left")
        return Qt::ElideLeft;
    if (mode == "right")
        return Qt::ElideRight;
    return Qt::ElideMiddle;
}

void relayout(QLabel* label)
{
    const QString full = label->property(FULL_TEXT).toString();
    const int width = label->contentsRect().width() - 2 * label->margin() - qMax(0, label->indent());
    const QString shown = label->fontMetrics().elidedText(full, modeof(label), qMax(0, width));
    if (label->text() != shown)
        label->setText(shown);
    // Shortened, the tooltip shows everything; otherwise the label's own.
    const QString tip = shown == full ? label->property(BASE_TIP).toString() : full;
    if (label->toolTip() != tip)
        label->setToolTip(tip);
}

// Lives as a child of its label and shortens the text again when the width changes.
class Elider : public QObject {
public:
    explicit Elider(QLabel* label) : QObject(label) { setObjectName("tempixElider"); }
    bool eventFilter(QObject* watched, QEvent* e) override
    {
        if (e->type() == QEvent::Resize || e->type() == QEvent::FontChange || e->type() == QEvent::StyleChange)
            relayout(static_cast<QLabel*>(watched));
        return false;
    }
};

} // namespace

bool iselidedlabel(const QLabel* label) { return label && label->property("elide").isValid(); }

void setelidedtext(QLabel* label, const QString& text)
{
    if (!label->findChild<Elider*>(QString(), Qt::FindDirectChildrenOnly)) {
        label->setProperty(BASE_TIP, label->toolTip());
        label->setWordWrap(false);
        // The width comes from the layout, never from the text.
        QSizePolicy policy = label->sizePolicy();
        policy.setHorizontalPolicy(QSizePolicy::Ignored);
        label->setSizePolicy(policy);
        label->installEventFilter(new Elider(label));
    }
    label->setProperty(FULL_TEXT, text);
    relayout(label);
}

QString elidedlabeltext(const QLabel* label)
{
    const QVariant full = label->property(FULL_TEXT);
    return full.isValid() ? full.toString() : label->text();
}

} // namespace ovra
