// One platform window created by name from the interface file, its controls
// found by number, and control changes posted from any thread.
#pragma once
#include "platform/FourCharCode.h"

#include <QPointer>
#include <QWidget>

class QFileDialog;

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace ovra {

class NativeWindow;

// Selectors of a posted control change.
enum ControlChange : uint32_t {
    CHANGE_ENABLE = fourcc("CtEn"),
    CHANGE_SHOW = fourcc("CtSh"),
    CHANGE_INDETERMINATE = fourcc("PrIn"),
    CHANGE_MAXIMUM = fourcc("PrMx"),
    CHANGE_VALUE = fourcc("PrPs"),
    CHANGE_TITLE = fourcc("BtTx"),
    CHANGE_TEXT = fourcc("StTx"),
};

// A control of a window, by number. Direct calls belong to the main thread;
// the post* calls may come from any thread and never wait for it.
class Control {
public:
    Control(NativeWindow& window, int id) : owner(&window), number(id) {}

    QWidget* widget() const; // null when the window or the control is missing
    bool exists() const { return widget() != nullptr; }
    int id() const { return number; }

    void enable(bool on);
    bool enabled() const;
    void setvisible(bool on);
    void settooltip(const char* text);
    std::string tooltip() const;
    bool visible() const;
    void settext(const char* text);
    std::string gettext() const;
    // The text into a caller buffer; false (and empty text) when it does not fit.
    bool gettext(char* buffer, size_t size) const;
    std::string title() const;
    void focus();
    void setvalue(bool on);
    bool getvalue() const;

    void popupclear();
    void popupappend(const char* text);
    void popupappendseparator();
    void popupselect(int index); // -1: nothing selected
    int popupselected() const;   // -1 when nothing is selected
    int popupcount() const;
    // Text of item index, or of the selected item when index < 0; false and
    // empty text when there is none or it does not fit.
    bool popupitemtext(int index, char* buffer, size_t size) const;

    int progressvalue() const;
    int progressmaximum() const;
    bool progressindeterminate() const;

    void postvisible(bool on);
    void postenable(bool on);
    void posttext(const char* text);
    void posttitle(const char* text);
    void postindeterminate(bool on);
    void postmaximum(int32_t n);
    void postvalue(int32_t n);

private:
    NativeWindow* owner;
    int number;
};

class NativeWindow {
public:
    // Windows handle clicks in their content themselves (drag, collapse, resize).
    static constexpr uint32_t FLAG_CUSTOM = 0x200;

    NativeWindow();
    virtual ~NativeWindow();
    NativeWindow(const NativeWindow&) = delete;
    NativeWindow& operator=(const NativeWindow&) = delete;

    struct Change; // one posted control change, opaque outside the framework

    QWidget* platformwindow() const { return window.data(); }
    bool iscreated() const { return !window.isNull(); }

    // Shows or hides the window.
    void show(bool visible);
    // A sheet over the parent, window-modal unless said otherwise (a sheet
    // that leaves its parent's close box and Quit working); an ordinary show
    // without a parent.
    void showsheet(NativeWindow* parent, bool modal = true);
    void bringtofront();
    // Hides and disposes the platform window; -1 when there was none.
    int dispose();
    // Disposes the window when the command dismisses it ("not!", "clos"); true then.
    bool disposeondismiss(CommandID command);
    // A file dialog as a sheet over this window, one at a time: while the one
    // in open is still there it is raised and null returned; else a new one
    // (deleted when closed, kept in open) for the caller to set up and open.
    QFileDialog* filesheet(QPointer<QFileDialog>& open, const char* title);

    Control control(int id) { return Control(*this, id); }
    QWidget* findcontrol(int id) const;

    // Any thread: queued for the main thread, applied in posting order, and
    // dropped when the window that was there at posting time has gone.
    void postchange(int id, uint32_t selector, bool value);
    void postchange(int id, uint32_t selector, int32_t value);
    void postchange(int id, uint32_t selector, const char* text);

    uint32_t flags = 0;
    int idealwidth = 0, idealheight = 0;
    int minwidth = 0, minheight = 0, maxwidth = 0, maxheight = 0; // maxwidth 0: no limits
    int lastclickh = 0, lastclickv = 0;
    int lastleft = 0, lasttop = 0, lastright = 0, lastbottom = 0;

protected:
    // Takes ownership of a freshly created top-level widget.
    void adopt(QWidget* created);
    QObject* dispatcher() const;

private:
    friend class WindowDispatcher;
    void post(std::unique_ptr<Change> change);
    void apply(const Change& change);

    QPointer<QWidget> window;
    std::atomic<uint32_t> generation{0};
    std::unique_ptr<QObject> receiver;
};

} // namespace ovra
