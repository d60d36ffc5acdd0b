#include "platform/window/WindowEvents.h"

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPushButton>
#include <QUiLoader>
#include <QWidget>
#include <QWindow>
#include <QWindowStateChangeEvent>

#include <string>

namespace ovra {

namespace {
std::string& folderSetting()
{
    static std::string folder = ":/main";
    return folder;
}

// The command a control or menu item sends, from its "command" property.
bool commandof(const QObject* o, CommandID& command)
{
    QVariant v = o->property("command");
    if (!v.isValid())
        return false;
    std::string text = v.toString().toStdString();
    if (text.empty())
        return false;
    command = fourcc(text);
    return true;
}
} // namespace

void setinterfacefolder(const char* folder) { folderSetting() = folder ? folder : ":/main"; }

const char* interfacefolder() { return folderSetting().c_str(); }

// Turns the platform window's events into the slot calls.
class WindowEventFilter : public QObject {
public:
    explicit WindowEventFilter(WindowEvents& w) : owner(w) {}

    bool eventFilter(QObject* watched, QEvent* e) override
    {
        QWidget* top = owner.platformwindow();
        if (watched != top || !top)
            return false;
        switch (e->type()) {
        case QEvent::Close: {
            // The close box is a command; unhandled it closes as usual.
            if (owner.command(fourcc("clos"))) {
                e->ignore();
                return true;
            }
            return false;
        }
        case QEvent::KeyPress: {
            // Escape in a dialog is its close request, not a silent hide.
            auto* k = static_cast<QKeyEvent*>(e);
            if (k->key() == Qt::Key_Escape && k->modifiers() == Qt::NoModifier && qobject_cast<QDialog*>(top))
                return owner.command(fourcc("clos"));
            // Return that no control took presses the default button, as
            // dialogs do on their own.
            bool enter = k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter;
            if (enter && (k->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier && !qobject_cast<QDialog*>(top))
                return pressdefault(top);
            return false;
        }
        case QEvent::Move:
        case QEvent::Resize:
            boundschanged(top);
            return false;
        case QEvent::Paint:
            owner.drawcontent();
            return false;
        case QEvent::WindowActivate:
            owner.activated(true);
            return false;
        case QEvent::WindowDeactivate:
            owner.activated(false);
            return false;
        case QEvent::WindowStateChange: {
            // The platform has already changed the state; the request
            // still reaches the command slot, as a close box would.
            auto* s = static_cast<QWindowStateChangeEvent*>(e);
            Qt::WindowStates now = top->windowState();
            if ((now & Qt::WindowMinimized) && !(s->oldState() & Qt::WindowMinimized)) {
                owner.command(fourcc("mini"));
                owner.collapsed();
            } else if ((now & Qt::WindowMaximized) != (s->oldState() & Qt::WindowMaximized)) {
                owner.command(fourcc("zoom"));
            }
            return false;
        }
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
            return mousedown(top, static_cast<QMouseEvent*>(e), e->type() == QEvent::MouseButtonDblClick ? 2 : 1);
        case QEvent::MouseButtonRelease: {
            auto* m = static_cast<QMouseEvent*>(e);
            QPoint p = m->position().toPoint();
            if (m->button() == Qt::LeftButton)
                return owner.mouseup(p.x(), p.y());
            if (m->button() == Qt::RightButton)
                return owner.secondarymouseup(p.x(), p.y());
            return false;
        }
        case QEvent::MouseMove: {
            QPoint p = static_cast<QMouseEvent*>(e)->position().toPoint();
            return owner.mousemoved(p.x(), p.y());
        }
        default:
            return false;
        }
    }

private:
    static bool pressdefault(QWidget* top)
    {
        const auto buttons = top->findChildren<QPushButton*>();
        for (QPushButton* b : buttons) {
            if (b->isDefault() && b->isEnabled() && b->isVisibleTo(top)) {
                b->click();
                return true;
            }
        }
        return false;
    }

    void boundschanged(QWidget* top)
    {
        QRect r = top->frameGeometry();
        int left = r.left(), t = r.top(), right = r.left() + r.width(), bottom = r.top() + r.height();
        bool sized =
            (right - left) != (owner.lastright - owner.lastleft) || (bottom - t) != (owner.lastbottom - owner.lasttop);
        bool moved = left != owner.lastleft || t != owner.lasttop;
        owner.lastleft = left;
        owner.lasttop = t;
        owner.lastright = right;
        owner.lastbottom = bottom;
        if (sized)
            owner.resized(right - left, bottom - t);
        if (moved)
            owner.moved(left, t);
    }

    bool mousedown(QWidget* top, QMouseEvent* m, int clicks)
    {
        QPoint global = m->globalPosition().toPoint();
        QPoint p = m->position().toPoint();
        owner.lastclickh = global.x();
        owner.lastclickv = global.y();
        bool activating = !top->isActiveWindow();
        if ((owner.flags & NativeWindow::FLAG_CUSTOM) && m->button() == Qt::LeftButton) {
            QWindow* handle = top->windowHandle();
            if (owner.isresizepoint(p.x(), p.y())) {
                if (handle)
                    handle->startSystemResize(Qt::BottomEdge | Qt::RightEdge);
                return true;
            }
            if (!owner.isactivepoint(p.x(), p.y())) {
                if (!owner.isdragpoint(p.x(), p.y()))
                    return false;
                if (clicks == 2) {
                    top->showMinimized();
                    owner.collapsed();
                } else if (handle) {
                    handle->startSystemMove();
                }
                return true;
            }
        }
        if (m->button() == Qt::LeftButton)
            return owner.mousedown(p.x(), p.y(), clicks, activating);
        if (m->button() == Qt::RightButton)
            return owner.secondarymousedown(p.x(), p.y(), clicks, activating);
        return false;
    }

    WindowEvents& owner;
};

WindowEvents::WindowEvents() : eventFilter(std::make_unique<WindowEventFilter>(*this)) {}

WindowEvents::~WindowEvents()
{
    if (QWidget* w = platformwindow())
        w->removeEventFilter(eventFilter.get());
}

void WindowEvents::wirecommands(QObject* root, bool menus)
{
    if (!menus) {
        const auto buttons = root->findChildren<QAbstractButton*>();
        for (QAbstractButton* b : buttons) {
            CommandID c;
            if (commandof(b, c))
                QObject::connect(b, &QAbstractButton::clicked, dispatcher(), [this, c] { command(c); });
        }
        const auto popups = root->findChildren<QComboBox*>();
        for (QComboBox* p : popups) {
            CommandID c;
            if (commandof(p, c))
                QObject::connect(p, &QComboBox::activated, dispatcher(), [this, c] { command(c); });
        }
        return;
    }
    // Menu items live in the window, not in the bar: reach them through the menus.
    const auto list = root->findChildren<QMenu*>();
    for (QMenu* menu : list) {
        const auto actions = menu->actions();
        for (QAction* a : actions) {
            CommandID c;
            if (commandof(a, c))
                QObject::connect(a, &QAction::triggered, dispatcher(), [this, c] { command(c); });
        }
        QObject::connect(menu, &QMenu::aboutToShow, dispatcher(), [this, menu] {
            const auto items = menu->actions();
            for (QAction* a : items) {
                CommandID c;
                uint32_t flags = 0;
                if (commandof(a, c) && commandstatus(c, flags)) {
                    if (flags & 1)
                        a->setEnabled(true);
                    else if (flags & 2)
                        a->setEnabled(false);
                }
            }
        });
    }
}

int WindowEvents::createwindow(const char* name)
{
    if (iscreated())
        return 0;
    QFile file(QString::fromUtf8(interfacefolder()) + "/" + QString::fromUtf8(name) + ".ui");
    if (!file.open(QFile::ReadOnly))
        return -1;
    QUiLoader loader;
    loader.setWorkingDirectory(QDir(QString::fromUtf8(interfacefolder()))); // images beside the .ui
    QWidget* w = loader.load(&file);
    if (!w)
        return -1;
    if (auto* bar = w->findChild<QMenuBar*>())
        bar->hide(); // until the menu bar is installed
    adopt(w);
    w->installEventFilter(eventFilter.get());
    wirecommands(w, false);
    windowcreated();
    return 0;
}

int WindowEvents::installmenubar(const char* name)
{
    QWidget* w = platformwindow();
    if (!w)
        return -1;
    auto* bar = w->findChild<QMenuBar*>(QString::fromUtf8(name ? name : "MenuBar"));
    if (!bar)
        return -1;
    if (!bar->property("tempixInstalled").toBool()) {
        wirecommands(bar, true);
        bar->setProperty("tempixInstalled", true);
    }
    bar->show();
    return 0;
}

} // namespace ovra
