#include "platform/window/NativeWindow.h"
#include "platform/tools_strings.h"
#include "platform/window/ElidedLabel.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScreen>
#include <QTextEdit>
#include <QVariant>
#include <QWidget>

#include <cstring>

namespace ovra {

namespace {

const QEvent::Type changeEventType = static_cast<QEvent::Type>(QEvent::registerEventType());
const char* const maximumProperty = "tempixMaximum";
const char* const formatProperty = "tempixFormat";

QString fromutf8(const char* text) { return QString::fromUtf8(text ? text : ""); }

} // namespace

struct NativeWindow::Change {
    uint32_t generation = 0;
    int id = 0;
    uint32_t selector = 0;
    bool flag = false;
    int32_t number = 0;
    QString text;
};

namespace {
class ChangeEvent : public QEvent {
public:
    explicit ChangeEvent(std::unique_ptr<NativeWindow::Change> c) : QEvent(changeEventType), change(std::move(c)) {}
    std::unique_ptr<NativeWindow::Change> change;
};
} // namespace

// Lives as long as its NativeWindow, so a poster always has a live receiver.
class WindowDispatcher : public QObject {
public:
    explicit WindowDispatcher(NativeWindow& w) : owner(w) {}
    bool event(QEvent* e) override
    {
        if (e->type() != changeEventType)
            return QObject::event(e);
        auto* ce = static_cast<ChangeEvent*>(e);
        owner.apply(*ce->change);
        return true;
    }

private:
    NativeWindow& owner;
};

NativeWindow::NativeWindow() : receiver(std::make_unique<WindowDispatcher>(*this)) {}

NativeWindow::~NativeWindow()
{
    ++generation;
    delete window.data();
}

QObject* NativeWindow::dispatcher() const { return receiver.get(); }

void NativeWindow::adopt(QWidget* created)
{
    window = created;
    ++generation;
    QRect r = created->frameGeometry();
    lastleft = r.left();
    lasttop = r.top();
    lastright = r.left() + r.width();
    lastbottom = r.top() + r.height();
}

// A window never opens larger than the free area of its screen (a high
// scale factor makes the designed size too big); its minimum still holds.
static void fittoscreen(QWidget* w, QScreen* screen)
{
    if (!screen || w->isVisible())
        return;
    const QSize room = screen->availableGeometry().size();
    // Before the first show the frame is unknown: room for a title bar.
    QSize frame = w->frameGeometry().size() - w->geometry().size();
    if (frame.isEmpty())
        frame = QSize(8, 2 * w->fontMetrics().height() + 8);
    const QSize wanted =
        w->size().boundedTo(room - frame).expandedTo(w->minimumSizeHint().expandedTo(w->minimumSize()));
    if (wanted != w->size())
        w->resize(wanted);
}

void NativeWindow::show(bool visible)
{
    if (!window)
        return;
    if (visible)
        fittoscreen(window, window->screen());
    window->setVisible(visible);
}

void NativeWindow::showsheet(NativeWindow* parent, bool modal)
{
    if (!window)
        return;
    if (parent && parent->window) {
        window->setParent(parent->window, window->windowFlags() | Qt::Dialog | Qt::Sheet);
        window->setWindowModality(modal ? Qt::WindowModal : Qt::NonModal);
        fittoscreen(window, parent->window->screen());
    }
    window->show();
}

void NativeWindow::bringtofront()
{
    if (!window)
        return;
    window->show();
    window->raise();
    window->activateWindow();
}

int NativeWindow::dispose()
{
    if (!window)
        return -1;
    ++generation; // changes still queued for this window are dropped
    QWidget* w = window.data();
    window.clear();
    w->hide();
    // Deferred: we may be inside one of this window's own event handlers.
    w->deleteLater();
    return 0;
}

QFileDialog* NativeWindow::filesheet(QPointer<QFileDialog>& open, const char* title)
{
    if (open) {
        open->raise();
        return nullptr;
    }
    auto* d = new QFileDialog(platformwindow(), QString::fromUtf8(title));
    d->setAttribute(Qt::WA_DeleteOnClose);
    d->setWindowModality(Qt::WindowModal);
    open = d;
    return d;
}

bool NativeWindow::disposeondismiss(CommandID command)
{
    if (!isdismisscommand(command))
        return false;
    dispose();
    return true;
}

QWidget* NativeWindow::findcontrol(int id) const
{
    if (!window)
        return nullptr;
    const auto children = window->findChildren<QWidget*>();
    for (QWidget* child : children) {
        QVariant v = child->property("controlId");
        if (v.isValid() && v.toInt() == id)
            return child;
    }
    return nullptr;
}

void NativeWindow::post(std::unique_ptr<Change> change)
{
    change->generation = generation.load();
    QCoreApplication::postEvent(receiver.get(), new ChangeEvent(std::move(change)));
}

void NativeWindow::postchange(int id, uint32_t selector, bool value)
{
    auto c = std::make_unique<Change>();
    c->id = id;
    c->selector = selector;
    c->flag = value;
    c->number = value ? 1 : 0;
    post(std::move(c));
}

void NativeWindow::postchange(int id, uint32_t selector, int32_t value)
{
    auto c = std::make_unique<Change>();
    c->id = id;
    c->selector = selector;
    c->flag = value != 0;
    c->number = value;
    post(std::move(c));
}

void NativeWindow::postchange(int id, uint32_t selector, const char* text)
{
    auto c = std::make_unique<Change>();
    c->id = id;
    c->selector = selector;
    c->text = fromutf8(text);
    post(std::move(c));
}

// Sets or reads the text through that member when w is a W; false when it is not.
template <typename W>
static bool setas(QWidget* w, void (W::*set)(const QString&), const QString& text)
{
    auto* x = qobject_cast<W*>(w);
    if (x)
        (x->*set)(text);
    return x != nullptr;
}

template <typename W>
static bool getas(const QWidget* w, QString (W::*get)() const, QString& text)
{
    auto* x = qobject_cast<const W*>(w);
    if (x)
        text = (x->*get)();
    return x != nullptr;
}

static void settitleof(QWidget* w, const QString& text)
{
    if (!setas(w, &QAbstractButton::setText, text) && !setas(w, &QGroupBox::setTitle, text) &&
        !setas(w, &QLabel::setText, text))
        w->setWindowTitle(text);
}

static void settextof(QWidget* w, const QString& text)
{
    if (auto* l = qobject_cast<QLabel*>(w); l && iselidedlabel(l))
        setelidedtext(l, text);
    else if (!setas(w, &QLineEdit::setText, text) && !setas(w, &QPlainTextEdit::setPlainText, text) &&
             !setas(w, &QTextEdit::setPlainText, text))
        settitleof(w, text); // a plain label too
}

static QString textof(const QWidget* w)
{
    if (auto* l = qobject_cast<const QLabel*>(w))
        return elidedlabeltext(l);
    QString text;
    if (getas(w, &QLineEdit::text, text) || getas(w, &QPlainTextEdit::toPlainText, text) ||
        getas(w, &QTextEdit::toPlainText, text) || getas(w, &QAbstractButton::text, text) ||
        getas(w, &QGroupBox::title, text) || getas(w, &QComboBox::currentText, text))
        return text;
    return w->windowTitle();
}

static void setprogressrange(QProgressBar* bar, bool indeterminate, int maximum)
{
    bar->setProperty(maximumProperty, maximum);
    // A range of 0..0 is Qt's busy bar; an empty batch still shows a plain
    // bar, of 0..1 drawn empty, whose text tells the true maximum of 0.
    QVariant format = bar->property(formatProperty);
    if (!format.isValid()) {
        format = bar->format();
        bar->setProperty(formatProperty, format);
    }
    bool empty = !indeterminate && maximum <= 0;
    bar->setFormat(empty ? format.toString().replace("%m", "0") : format.toString());
    bar->setRange(0, indeterminate ? 0 : (maximum > 0 ? maximum : 1));
}

void NativeWindow::apply(const Change& c)
{
    if (c.generation != generation.load())
        return;
    QWidget* w = findcontrol(c.id);
    if (!w)
        return;
    switch (c.selector) {
    case CHANGE_ENABLE:
        w->setEnabled(c.flag);
        break;
    case CHANGE_SHOW:
        w->setVisible(c.flag);
        break;
    case CHANGE_INDETERMINATE:
        if (auto* bar = qobject_cast<QProgressBar*>(w)) {
            QVariant m = bar->property(maximumProperty);
            setprogressrange(bar, c.flag, m.isValid() ? m.toInt() : bar->maximum());
        }
        break;
    case CHANGE_MAXIMUM:
        if (auto* bar = qobject_cast<QProgressBar*>(w))
            setprogressrange(bar, false, c.number);
        break;
    case CHANGE_VALUE:
        if (auto* bar = qobject_cast<QProgressBar*>(w))
            bar->setValue(c.number);
        break;
    case CHANGE_TITLE:
        settitleof(w, c.text);
        break;
    case CHANGE_TEXT:
        settextof(w, c.text);
        break;
    default:
        break; // unknown selector: nothing
    }
}

// --- Control --------------------------------------------------------------

QWidget* Control::widget() const { return owner->findcontrol(number); }

void Control::enable(bool on)
{
    if (QWidget* w = widget())
        w->setEnabled(on);
}

bool Control::enabled() const
{
    QWidget* w = widget();
    return w && w->isEnabled();
}

void Control::setvisible(bool on)
{
    if (QWidget* w = widget())
        w->setVisible(on);
}

void Control::settooltip(const char* text)
{
    if (QWidget* w = widget())
        w->setToolTip(fromutf8(text));
}

std::string Control::tooltip() const
{
    QWidget* w = widget();
    return w ? w->toolTip().toStdString() : std::string();
}

bool Control::visible() const
{
    QWidget* w = widget();
    return w && !w->isHidden();
}

void Control::settext(const char* text)
{
    if (QWidget* w = widget())
        settextof(w, fromutf8(text));
}

std::string Control::gettext() const
{
    QWidget* w = widget();
    return w ? textof(w).toStdString() : std::string();
}

bool Control::gettext(char* buffer, size_t size) const
{
    std::string text = gettext();
    if (text.size() >= size) {
        if (size > 0)
            buffer[0] = '\0';
        return false;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}

std::string Control::title() const { return gettext(); }

void Control::focus()
{
    if (QWidget* w = widget())
        w->setFocus(Qt::OtherFocusReason);
}

void Control::setvalue(bool on)
{
    auto* b = qobject_cast<QAbstractButton*>(widget());
    if (!b)
        return;
    // An exclusive radio button cannot be switched off by itself.
    bool exclusive = b->autoExclusive();
    if (!on && exclusive)
        b->setAutoExclusive(false);
    b->setChecked(on);
    if (!on && exclusive)
        b->setAutoExclusive(true);
}

bool Control::getvalue() const
{
    auto* b = qobject_cast<QAbstractButton*>(widget());
    return b && b->isChecked();
}

void Control::popupclear()
{
    if (auto* c = qobject_cast<QComboBox*>(widget()))
        c->clear();
}

void Control::popupappend(const char* text)
{
    if (auto* c = qobject_cast<QComboBox*>(widget())) {
        QSignalBlocker quiet(c);
        int selected = c->currentIndex();
        c->addItem(fromutf8(text));
        c->setCurrentIndex(selected); // appending selects nothing
    }
}

void Control::popupappendseparator()
{
    if (auto* c = qobject_cast<QComboBox*>(widget())) {
        QSignalBlocker quiet(c);
        int selected = c->currentIndex();
        c->insertSeparator(c->count());
        c->setCurrentIndex(selected);
    }
}

void Control::popupselect(int index)
{
    if (auto* c = qobject_cast<QComboBox*>(widget())) {
        QSignalBlocker quiet(c);
        c->setCurrentIndex(index >= 0 && index < c->count() ? index : -1);
    }
}

int Control::popupselected() const
{
    auto* c = qobject_cast<QComboBox*>(widget());
    return c ? c->currentIndex() : -1;
}

int Control::popupcount() const
{
    auto* c = qobject_cast<QComboBox*>(widget());
    return c ? c->count() : 0;
}

bool Control::popupitemtext(int index, char* buffer, size_t size) const
{
    if (size > 0)
        buffer[0] = '\0';
    auto* c = qobject_cast<QComboBox*>(widget());
    if (!c)
        return false;
    if (index < 0)
        index = c->currentIndex();
    if (index < 0 || index >= c->count())
        return false;
    QByteArray text = c->itemText(index).toUtf8();
    if (size_t(text.size()) >= size)
        return false;
    std::memcpy(buffer, text.constData(), size_t(text.size()) + 1);
    return true;
}

int Control::progressvalue() const
{
    auto* bar = qobject_cast<QProgressBar*>(widget());
    return bar ? bar->value() : 0;
}

int Control::progressmaximum() const
{
    auto* bar = qobject_cast<QProgressBar*>(widget());
    if (!bar)
        return 0;
    QVariant m = bar->property(maximumProperty);
    return m.isValid() ? m.toInt() : bar->maximum();
}

bool Control::progressindeterminate() const
{
    auto* bar = qobject_cast<QProgressBar*>(widget());
    return bar && bar->minimum() == 0 && bar->maximum() == 0;
}

void Control::postvisible(bool on) { owner->postchange(number, CHANGE_SHOW, on); }
void Control::postenable(bool on) { owner->postchange(number, CHANGE_ENABLE, on); }
void Control::posttext(const char* text) { owner->postchange(number, CHANGE_TEXT, text); }
void Control::posttitle(const char* text) { owner->postchange(number, CHANGE_TITLE, text); }
void Control::postindeterminate(bool on) { owner->postchange(number, CHANGE_INDETERMINATE, on); }
void Control::postmaximum(int32_t n) { owner->postchange(number, CHANGE_MAXIMUM, n); }
void Control::postvalue(int32_t n) { owner->postchange(number, CHANGE_VALUE, n); }

} // namespace ovra
