#include "keytyper.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QHash>
#include <QList>
#include <QMetaObject>
#include <QSet>
#include <QSocketNotifier>
#include <QTimer>
#include <QWindow>

#include <poll.h>

// Xlib's macros (None, Bool, KeyPress, FocusIn, ...) come after every Qt header.
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("KeyboardWedge", text);
}

// Xlib's error handler is one for the whole process. Errors on the typers' own connections
// (a window that closed meanwhile, a key another program grabbed) are noted and ignored;
// any other connection's go to whoever handled them before.
QHash<Display *, int> lastErrors;
XErrorHandler previousHandler = nullptr;

int onXError(Display *dpy, XErrorEvent *error)
{
    if (lastErrors.contains(dpy)) {
        lastErrors[dpy] = error->error_code;
        return 0;
    }
    return previousHandler ? previousHandler(dpy, error) : 0;
}

KeySym keysymFor(char32_t c)
{
    if (c == U'\t')
        return XK_Tab;
    if (c == U'\n')
        return XK_Return;
    if ((c >= 0x20 && c <= 0x7e) || (c >= 0xa0 && c <= 0xff))
        return c; // Latin-1 keysyms are their code points
    return 0x1000000 | c; // every other character has its Unicode keysym
}

class X11Typer : public KeyTyper
{
public:
    X11Typer();
    ~X11Typer() override;

    QString unavailableReason() const override { return m_reason; }
    QString prepareTarget() override;
    bool type(const QString &text) override;
    void setHotkey(bool on, std::function<void()> onPressed) override;

private:
    bool sync();
    void drain();
    void handle(XEvent &event);
    void watch(Window window);
    QList<Window> lineage(Window window) const;
    bool isOwn(Window window) const;
    bool focusWithin(Window target) const;
    bool windowManagerRuns();
    QString activate(Window target);
    void grab(bool on);
    void onKeyEvents();
    void restoreMapping();

    Display *m_dpy = nullptr;
    Window m_root = 0;
    QString m_reason;
    Atom m_activeAtom = 0;
    Atom m_checkAtom = 0;
    // The last top-level window of another program that took the focus, and the same as the
    // window manager names it (its client window); the latter only where one runs.
    Window m_lastFocus = 0;
    Window m_lastActive = 0;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::unique_ptr<QTimer> m_restoreTimer;
    // Keysyms no key produced, each bound to a spare keycode until the mapping is restored.
    QHash<KeySym, KeyCode> m_borrowed;
    // F4 is held on a connection of its own: closing it lets go of the key for certain.
    Display *m_keyDpy = nullptr;
    std::unique_ptr<QSocketNotifier> m_keyNotifier;
    KeyCode m_hotkey = 0;
    std::function<void()> m_onHotkey;
};

X11Typer::X11Typer()
{
    // A connection of our own, whatever platform plugin Qt runs on.
    m_dpy = XOpenDisplay(nullptr);
    if (!m_dpy) {
        m_reason = tr("没有 X 显示（DISPLAY 未设置或无法连接），无法向其他程序输入重量");
        return;
    }
    int event = 0, error = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(m_dpy, &event, &error, &major, &minor)) {
        m_reason = tr("X 服务器没有 XTest 扩展，无法向其他程序输入重量");
        XCloseDisplay(m_dpy);
        m_dpy = nullptr;
        return;
    }
    if (lastErrors.isEmpty())
        previousHandler = XSetErrorHandler(onXError);
    lastErrors.insert(m_dpy, 0);
    m_root = DefaultRootWindow(m_dpy);
    m_activeAtom = XInternAtom(m_dpy, "_NET_ACTIVE_WINDOW", False);
    m_checkAtom = XInternAtom(m_dpy, "_NET_SUPPORTING_WM_CHECK", False);

    // Which window had the focus before ours: the window manager's active window where one
    // runs, and the focus events of every top-level window (new ones as they are mapped).
    XSelectInput(m_dpy, m_root, PropertyChangeMask | SubstructureNotifyMask);
    Window rootReturn = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(m_dpy, m_root, &rootReturn, &parent, &children, &count)) {
        for (unsigned int i = 0; i < count; ++i)
            watch(children[i]);
        XFree(children);
    }
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(m_dpy, &focus, &revert);
    if (focus != None && focus != PointerRoot && !isOwn(focus))
        m_lastFocus = lineage(focus).value(lineage(focus).size() - 1, focus);
    sync();

    m_notifier = std::make_unique<QSocketNotifier>(ConnectionNumber(m_dpy), QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(),
                     [this] { drain(); });
    m_restoreTimer = std::make_unique<QTimer>();
    m_restoreTimer->setSingleShot(true);
    m_restoreTimer->setInterval(1000);
    QObject::connect(m_restoreTimer.get(), &QTimer::timeout, m_restoreTimer.get(),
                     [this] { restoreMapping(); });
}

X11Typer::~X11Typer()
{
    if (!m_dpy)
        return;
    m_notifier.reset();
    restoreMapping();
    grab(false);
    XSync(m_dpy, False);
    lastErrors.remove(m_dpy);
    XCloseDisplay(m_dpy);
}

// True when no request since the last call failed.
bool X11Typer::sync()
{
    XSync(m_dpy, False);
    const bool ok = lastErrors.value(m_dpy) == 0;
    lastErrors[m_dpy] = 0;
    return ok;
}

void X11Typer::drain()
{
    while (XPending(m_dpy)) {
        XEvent event;
        XNextEvent(m_dpy, &event);
        handle(event);
    }
}

void X11Typer::handle(XEvent &event)
{
    switch (event.type) {
    case FocusIn:
        if (event.xfocus.detail != NotifyPointer && !isOwn(event.xfocus.window))
            m_lastFocus = event.xfocus.window;
        break;
    case MapNotify:
        if (event.xmap.event == m_root)
            watch(event.xmap.window);
        break;
    case PropertyNotify:
        if (event.xproperty.window == m_root && event.xproperty.atom == m_activeAtom) {
            Atom type = 0;
            int format = 0;
            unsigned long count = 0, after = 0;
            unsigned char *data = nullptr;
            if (XGetWindowProperty(m_dpy, m_root, m_activeAtom, 0, 1, False, XA_WINDOW, &type,
                                   &format, &count, &after, &data)
                        == Success
                && data) {
                const Window active = count == 1 ? *reinterpret_cast<Window *>(data) : 0;
                XFree(data);
                if (active && !isOwn(active))
                    m_lastActive = active;
            }
        }
        break;
    case MappingNotify:
        XRefreshKeyboardMapping(&event.xmapping);
        break;
    default:
        break;
    }
}

void X11Typer::watch(Window window)
{
    XWindowAttributes attributes;
    if (XGetWindowAttributes(m_dpy, window, &attributes) && !attributes.override_redirect)
        XSelectInput(m_dpy, window, FocusChangeMask);
}

// The window and its ancestors up to (not including) the root.
QList<Window> X11Typer::lineage(Window window) const
{
    QList<Window> out;
    while (window && window != m_root && out.size() < 64) {
        out.append(window);
        Window root = 0, parent = 0, *children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(m_dpy, window, &root, &parent, &children, &count))
            break;
        if (children)
            XFree(children);
        window = parent;
    }
    return out;
}

// One of this process's windows, or a frame the window manager put around one.
bool X11Typer::isOwn(Window window) const
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return false;
    const QList<Window> up = lineage(window);
    for (QWindow *own : QGuiApplication::allWindows()) {
        if (!own->handle())
            continue;
        const Window id = own->winId();
        if (up.contains(id) || lineage(id).contains(window))
            return true;
    }
    return false;
}

bool X11Typer::focusWithin(Window target) const
{
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(m_dpy, &focus, &revert);
    return lineage(focus).contains(target);
}

bool X11Typer::windowManagerRuns()
{
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char *data = nullptr;
    if (XGetWindowProperty(m_dpy, m_root, m_checkAtom, 0, 1, False, XA_WINDOW, &type, &format,
                           &count, &after, &data)
                != Success
        || !data)
        return false;
    XFree(data);
    return count == 1;
}

QString X11Typer::prepareTarget()
{
    if (!m_dpy)
        return m_reason;
    XSync(m_dpy, False);
    drain(); // every focus change until now
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(m_dpy, &focus, &revert);
    if (focus != None && focus != PointerRoot && !isOwn(focus))
        return QString();
    const bool managed = windowManagerRuns();
    const Window target = managed && m_lastActive ? m_lastActive : m_lastFocus;
    XWindowAttributes attributes;
    if (!target || !XGetWindowAttributes(m_dpy, target, &attributes)
        || attributes.map_state != IsViewable) {
        sync();
        return tr("没有其他程序的窗口可以输入：请先点一下要输入重量的程序");
    }
    return activate(target);
}

QString X11Typer::activate(Window target)
{
    if (windowManagerRuns()) {
        // Ask the window manager, as a pager would; it moves the focus in its own time.
        XEvent event = {};
        event.xclient.type = ClientMessage;
        event.xclient.window = target;
        event.xclient.message_type = m_activeAtom;
        event.xclient.format = 32;
        event.xclient.data.l[0] = 2;
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(m_dpy, m_root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
        XFlush(m_dpy);
        const QDeadlineTimer deadline(1000);
        while (!focusWithin(target)) {
            drain();
            pollfd fd{ConnectionNumber(m_dpy), POLLIN, 0};
            const int left = int(deadline.remainingTime());
            if (left <= 0 || poll(&fd, 1, left) <= 0)
                return tr("窗口管理器没有把键盘焦点交回其他程序，未输入");
        }
        return QString();
    }
    XSetInputFocus(m_dpy, target, RevertToParent, CurrentTime);
    if (!sync() || !focusWithin(target))
        return tr("无法把键盘焦点交回其他程序，未输入");
    return QString();
}

bool X11Typer::type(const QString &text)
{
    if (!m_dpy)
        return false;
    sync(); // forget errors of requests before this text
    int minCode = 0, maxCode = 0;
    XDisplayKeycodes(m_dpy, &minCode, &maxCode);
    int per = 0;
    KeySym *map = XGetKeyboardMapping(m_dpy, KeyCode(minCode), maxCode - minCode + 1, &per);
    if (!map)
        return false;
    // The keys' first two levels are plain and Shift only in the first layout group without
    // Caps Lock; in any other state every character goes through a key bound for it alone.
    XkbStateRec state = {};
    XkbGetState(m_dpy, XkbUseCoreKbd, &state);
    const bool plainState = state.group == 0 && !(state.locked_mods & LockMask);
    const KeyCode shift = XKeysymToKeycode(m_dpy, XK_Shift_L);

    struct Stroke
    {
        KeyCode code;
        bool shift;
    };
    QList<Stroke> strokes;
    bool bound = false;
    for (const char32_t c : text.toUcs4()) {
        const KeySym sym = keysymFor(c);
        Stroke stroke{m_borrowed.value(sym), false};
        for (int level = 0; plainState && !stroke.code && level < qMin(per, 2); ++level) {
            for (int code = minCode; code <= maxCode; ++code) {
                if (map[(code - minCode) * per + level] == sym && (level == 0 || shift)) {
                    stroke = {KeyCode(code), level == 1};
                    break;
                }
            }
        }
        if (!stroke.code) {
            // A spare keycode (no symbol at all), bound to this keysym on both levels.
            for (int code = maxCode; code >= minCode && !stroke.code; --code) {
                bool spare = true;
                for (int level = 0; level < per && spare; ++level)
                    spare = map[(code - minCode) * per + level] == NoSymbol;
                if (!spare)
                    continue;
                KeySym both[2] = {sym, sym};
                XChangeKeyboardMapping(m_dpy, code, 2, both, 1);
                for (int level = 0; level < per; ++level)
                    map[(code - minCode) * per + level] = level < 2 ? sym : NoSymbol;
                m_borrowed.insert(sym, KeyCode(code));
                stroke = {KeyCode(code), false};
                bound = true;
            }
        }
        if (!stroke.code) {
            XFree(map);
            return false; // no key left to bind it to
        }
        strokes.append(stroke);
    }
    XFree(map);
    // The server has applied the new mapping and told every client of it before the first
    // key: each program reads the notice ahead of the keys in its own event stream.
    if (bound && !sync())
        return false;
    for (const Stroke &stroke : std::as_const(strokes)) {
        if (stroke.shift)
            XTestFakeKeyEvent(m_dpy, shift, True, CurrentTime);
        XTestFakeKeyEvent(m_dpy, stroke.code, True, CurrentTime);
        XTestFakeKeyEvent(m_dpy, stroke.code, False, CurrentTime);
        if (stroke.shift)
            XTestFakeKeyEvent(m_dpy, shift, False, CurrentTime);
    }
    const bool ok = sync();
    // The borrowed keys stay bound a moment: a program reads the mapping again only when it
    // comes to the notice, which may be after we are done pressing.
    if (!m_borrowed.isEmpty())
        m_restoreTimer->start();
    return ok;
}

void X11Typer::restoreMapping()
{
    for (const KeyCode code : std::as_const(m_borrowed)) {
        KeySym nothing[2] = {NoSymbol, NoSymbol};
        XChangeKeyboardMapping(m_dpy, code, 2, nothing, 1);
    }
    m_borrowed.clear();
    XFlush(m_dpy);
}

void X11Typer::setHotkey(bool on, std::function<void()> onPressed)
{
    if (!m_dpy)
        return;
    m_onHotkey = std::move(onPressed);
    if (on != (m_keyDpy != nullptr))
        grab(on);
}

void X11Typer::grab(bool on)
{
    m_keyNotifier.reset();
    if (m_keyDpy) {
        lastErrors.remove(m_keyDpy);
        XCloseDisplay(m_keyDpy);
        m_keyDpy = nullptr;
    }
    if (!on || !(m_keyDpy = XOpenDisplay(DisplayString(m_dpy))))
        return;
    lastErrors.insert(m_keyDpy, 0);
    const Window root = DefaultRootWindow(m_keyDpy);
    m_hotkey = XKeysymToKeycode(m_keyDpy, XK_F4);
    // The grab holds whatever Caps Lock and Num Lock are: once with each combination of them.
    unsigned int numLock = 0;
    const KeyCode numLockCode = XKeysymToKeycode(m_keyDpy, XK_Num_Lock);
    if (XModifierKeymap *mods = XGetModifierMapping(m_keyDpy)) {
        for (int i = 0; i < 8 * mods->max_keypermod; ++i) {
            if (numLockCode && mods->modifiermap[i] == numLockCode)
                numLock = 1u << (i / mods->max_keypermod);
        }
        XFreeModifiermap(mods);
    }
    for (const unsigned int mods : {0u, unsigned(LockMask), numLock, LockMask | numLock})
        XGrabKey(m_keyDpy, m_hotkey, mods, root, False, GrabModeAsync, GrabModeAsync);
    XSync(m_keyDpy, False);
    if (lastErrors.value(m_keyDpy) != 0) {
        // Another program holds F4: the key stays theirs, the button still works.
        grab(false);
        return;
    }
    m_keyNotifier
            = std::make_unique<QSocketNotifier>(ConnectionNumber(m_keyDpy), QSocketNotifier::Read);
    QObject::connect(m_keyNotifier.get(), &QSocketNotifier::activated, m_keyNotifier.get(),
                     [this] { onKeyEvents(); });
}

void X11Typer::onKeyEvents()
{
    bool pressed = false;
    while (XPending(m_keyDpy)) {
        XEvent event;
        XNextEvent(m_keyDpy, &event);
        if (event.type == KeyPress && event.xkey.keycode == m_hotkey) {
            // The passive grab is now active and would take our own keys too: end it first.
            XUngrabKeyboard(m_keyDpy, event.xkey.time);
            XFlush(m_keyDpy);
            pressed = true;
        }
    }
    if (pressed && m_onHotkey)
        QMetaObject::invokeMethod(m_keyNotifier.get(), m_onHotkey, Qt::QueuedConnection);
}

} // namespace

std::unique_ptr<KeyTyper> makeX11Typer()
{
    return std::make_unique<X11Typer>();
}
