#include <glog/logging.h>

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QPointer>

#include <xcb/xcb.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/linux/x11connection.h"
#include "platform/linux/x11errortrap.h"
#include "platform/windows.h"

namespace platform::native {
namespace {

// The client-message type that carries messages between our processes.
constexpr char kMessageAtom[] = "_KORVOREC_MESSAGE";

Atom InternAtom(Display* d, const char* name) { return XInternAtom(d, name, False); }

std::string WindowTitle(Display* d, Window w) {
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  std::string title;
  if (XGetWindowProperty(d, w, InternAtom(d, "_NET_WM_NAME"), 0, 1024, False,
                         InternAtom(d, "UTF8_STRING"), &type, &format, &count, &after,
                         &data) == Success &&
      data) {
    title.assign(reinterpret_cast<char*>(data), count);
    XFree(data);
    return title;
  }
  char* name = nullptr;
  if (XFetchName(d, w, &name) && name) {
    title = name;
    XFree(name);
  }
  return title;
}

std::string WindowClass(Display* d, Window w) {
  XClassHint hint{};
  std::string result;
  if (XGetClassHint(d, w, &hint)) {
    if (hint.res_class) result = hint.res_class;
    if (hint.res_name) XFree(hint.res_name);
    if (hint.res_class) XFree(hint.res_class);
  }
  return result;
}

long WindowPid(Display* d, Window w) {
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  long pid = 0;
  if (XGetWindowProperty(d, w, InternAtom(d, "_NET_WM_PID"), 0, 1, False, XA_CARDINAL, &type,
                         &format, &count, &after, &data) == Success &&
      data) {
    if (count == 1) pid = static_cast<long>(*reinterpret_cast<unsigned long*>(data));
    XFree(data);
  }
  return pid;
}

std::vector<Atom> AtomList(Display* d, Window w, const char* property) {
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  std::vector<Atom> atoms;
  if (XGetWindowProperty(d, w, InternAtom(d, property), 0, 64, False, XA_ATOM, &type, &format,
                         &count, &after, &data) == Success &&
      data) {
    if (format == 32) {
      const Atom* list = reinterpret_cast<const Atom*>(data);
      atoms.assign(list, list + count);
    }
    XFree(data);
  }
  return atoms;
}

// The first role the window names that we know; without one, a window that
// belongs to another is a dialog.
WindowType TypeOf(Display* d, Window w, bool transient) {
  static const std::pair<const char*, WindowType> kTypes[] = {
      {"_NET_WM_WINDOW_TYPE_NORMAL", WindowType::Normal},
      {"_NET_WM_WINDOW_TYPE_DIALOG", WindowType::Dialog},
      {"_NET_WM_WINDOW_TYPE_UTILITY", WindowType::Utility},
      {"_NET_WM_WINDOW_TYPE_TOOLBAR", WindowType::Toolbar},
      {"_NET_WM_WINDOW_TYPE_MENU", WindowType::Menu},
      {"_NET_WM_WINDOW_TYPE_DROPDOWN_MENU", WindowType::Menu},
      {"_NET_WM_WINDOW_TYPE_POPUP_MENU", WindowType::Menu},
      {"_NET_WM_WINDOW_TYPE_SPLASH", WindowType::Splash},
      {"_NET_WM_WINDOW_TYPE_DOCK", WindowType::Dock},
      {"_NET_WM_WINDOW_TYPE_DESKTOP", WindowType::Desktop},
      {"_NET_WM_WINDOW_TYPE_NOTIFICATION", WindowType::Notification},
      {"_NET_WM_WINDOW_TYPE_TOOLTIP", WindowType::Other},
      {"_NET_WM_WINDOW_TYPE_COMBO", WindowType::Other},
      {"_NET_WM_WINDOW_TYPE_DND", WindowType::Other},
  };
  for (Atom atom : AtomList(d, w, "_NET_WM_WINDOW_TYPE"))
    for (const auto& [name, type] : kTypes)
      if (atom == InternAtom(d, name)) return type;
  return transient ? WindowType::Dialog : WindowType::Normal;
}

bool HasWmState(Display* d, Window w) {
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  const bool has = XGetWindowProperty(d, w, InternAtom(d, "WM_STATE"), 0, 0, False,
                                      AnyPropertyType, &type, &format, &count, &after,
                                      &data) == Success &&
                   type != None;
  if (data) XFree(data);
  return has;
}

// Children of root, bottom-most first, as the server stacks them.
std::vector<Window> RootChildren(Display* d) {
  Window root, parent, *children = nullptr;
  unsigned int n = 0;
  std::vector<Window> result;
  if (XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &n)) {
    result.assign(children, children + n);
    if (children) XFree(children);
  }
  return result;
}

// The client window of a root child: itself when it carries a title, else the
// first descendant that does (window managers reparent clients into frames).
Window ClientOf(Display* d, Window w, int depth = 0) {
  if (HasWmState(d, w) || !WindowTitle(d, w).empty()) return w;
  if (depth > 3) return 0;
  Window root, parent, *children = nullptr;
  unsigned int n = 0;
  Window found = 0;
  if (XQueryTree(d, w, &root, &parent, &children, &n)) {
    for (unsigned int i = 0; i < n && !found; ++i) found = ClientOf(d, children[i], depth + 1);
    if (children) XFree(children);
  }
  return found;
}

// The root child that holds w (w itself without a window manager).
Window TopOf(Display* d, Window w) {
  Window root, parent, *children = nullptr;
  unsigned int n = 0;
  Window current = w;
  while (XQueryTree(d, current, &root, &parent, &children, &n)) {
    if (children) XFree(children);
    if (parent == root || parent == 0) return current;
    current = parent;
  }
  return w;
}

Rect Bounds(Display* d, Window w) {
  XWindowAttributes attrs;
  if (!XGetWindowAttributes(d, w, &attrs)) return Rect{};
  int x = 0, y = 0;
  Window child;
  XTranslateCoordinates(d, w, DefaultRootWindow(d), 0, 0, &x, &y, &child);
  return Rect{x, y, x + attrs.width, y + attrs.height};
}

bool Exists(Display* d, Window w) {
  XWindowAttributes attrs;
  return XGetWindowAttributes(d, w, &attrs) != 0;
}

bool Viewable(Display* d, Window w) {
  XWindowAttributes attrs;
  return XGetWindowAttributes(d, w, &attrs) && attrs.map_state == IsViewable;
}

bool Touches(const Rect& a, const Rect& b) {
  return a.left <= b.right && b.left <= a.right && a.top <= b.bottom && b.top <= a.bottom;
}

bool HasWindowManager(Display* d) {
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  bool has = false;
  if (XGetWindowProperty(d, DefaultRootWindow(d), InternAtom(d, "_NET_SUPPORTING_WM_CHECK"), 0,
                         1, False, XA_WINDOW, &type, &format, &count, &after,
                         &data) == Success &&
      data) {
    has = count == 1;
    XFree(data);
  }
  return has;
}

void SendRootMessage(Display* d, Window w, Atom type, long l0, long l1, long l2) {
  XEvent ev{};
  ev.xclient.type = ClientMessage;
  ev.xclient.window = w;
  ev.xclient.message_type = type;
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = l0;
  ev.xclient.data.l[1] = l1;
  ev.xclient.data.l[2] = l2;
  XSendEvent(d, DefaultRootWindow(d), False, SubstructureRedirectMask | SubstructureNotifyMask,
             &ev);
}

class MessageFilter : public QAbstractNativeEventFilter {
 public:
  MessageFilter(uint32_t atom, WindowMessageHandler handler)
      : m_atom(atom), m_handler(std::move(handler)) {}

  bool nativeEventFilter(const QByteArray& eventType, void* message, long*) override {
    if (eventType != "xcb_generic_event_t") return false;
    auto* event = static_cast<xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE) return false;
    auto* cm = reinterpret_cast<xcb_client_message_event_t*>(event);
    if (cm->type != m_atom || cm->format != 32) return false;
    m_handler(cm->window, cm->data.data32[0], static_cast<int32_t>(cm->data.data32[1]),
              static_cast<int32_t>(cm->data.data32[2]));
    return true;
  }

 private:
  uint32_t m_atom;
  WindowMessageHandler m_handler;
};

class X11WindowSystem : public WindowSystem {
 public:
  WindowId FindWindow(const std::string& className, const std::string& title) override {
    Display* d = SharedDisplay();
    if (!d) return 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    const bool anyClass = className == kToolkitWindowClass;
    for (Window top : RootChildren(d)) {
      const Window client = ClientOf(d, top);
      if (!client) continue;
      if (WindowTitle(d, client) != title) continue;
      if (!anyClass && WindowClass(d, client) != className) continue;
      return client;
    }
    return 0;
  }

  Result PostMessage(WindowId window, uint32_t message, intptr_t wparam,
                     intptr_t lparam) override {
    Display* d = SharedDisplay();
    if (!d || !window) return Result::Failed;
    std::lock_guard<std::mutex> lock(m_mutex);
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = window;
    ev.xclient.message_type = InternAtom(d, kMessageAtom);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = static_cast<long>(message);
    ev.xclient.data.l[1] = static_cast<long>(wparam);
    ev.xclient.data.l[2] = static_cast<long>(lparam);
    const Status ok = XSendEvent(d, window, False, NoEventMask, &ev);
    XSync(d, False);
    return ok ? Result::Ok : Result::Failed;
  }

  void InstallMessageHandler(WindowMessageHandler handler) override {
    m_filter.reset();  // a filter leaves the application's chain when deleted
    if (!handler) return;
    Display* d = SharedDisplay();
    if (!d || !QCoreApplication::instance()) {
      LOG(ERROR) << "cannot receive window messages without a display and an application";
      return;
    }
    const auto atom = static_cast<uint32_t>(InternAtom(d, kMessageAtom));
    m_filter = std::make_unique<MessageFilter>(atom, std::move(handler));
    QCoreApplication::instance()->installNativeEventFilter(m_filter.get());
  }

  Result Activate(WindowId window) override {
    Display* d = SharedDisplay();
    if (!d || !window) return Result::Failed;
    std::lock_guard<std::mutex> lock(m_mutex);
    X11ErrorTrap trap(d);
    if (!Exists(d, window)) return Result::Failed;
    if (HasWindowManager(d)) {
      // Source indication 2: a pager acting for the user.
      SendRootMessage(d, window, InternAtom(d, "_NET_ACTIVE_WINDOW"), 2, CurrentTime, 0);
    } else {
      XRaiseWindow(d, TopOf(d, window));
      if (Viewable(d, window)) XSetInputFocus(d, window, RevertToParent, CurrentTime);
    }
    return trap.Failed() ? Result::Failed : Result::Ok;
  }

  WindowId ForegroundWindow() override {
    Display* d = SharedDisplay();
    if (!d) return 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    WindowId active = 0;
    if (XGetWindowProperty(d, DefaultRootWindow(d), InternAtom(d, "_NET_ACTIVE_WINDOW"), 0, 1,
                           False, XA_WINDOW, &type, &format, &count, &after, &data) == Success &&
        data) {
      if (count == 1) active = *reinterpret_cast<Window*>(data);
      XFree(data);
      if (active) return active;
    }
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(d, &focus, &revert);
    return focus > 1 ? focus : 0;  // PointerRoot (1) and None (0) are no window
  }

  bool IsCovered(WindowId window) override {
    Display* d = SharedDisplay();
    if (!d || !window) return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    const Window top = TopOf(d, window);
    const Rect rect = Bounds(d, window);
    const auto children = RootChildren(d);
    bool above = false;
    for (Window w : children) {
      if (w == top) {
        above = true;
        continue;
      }
      if (above && Viewable(d, w) && Touches(Bounds(d, w), rect)) return true;
    }
    return false;
  }

  Result SetAlwaysOnTop(WindowId window, bool onTop) override {
    Display* d = SharedDisplay();
    if (!d || !window) return Result::Failed;
    std::lock_guard<std::mutex> lock(m_mutex);
    X11ErrorTrap trap(d);
    if (!Exists(d, window)) return Result::Failed;
    // _NET_WM_STATE: 1 adds, 0 removes.
    SendRootMessage(d, window, InternAtom(d, "_NET_WM_STATE"), onTop ? 1 : 0,
                    static_cast<long>(InternAtom(d, "_NET_WM_STATE_ABOVE")), 0);
    if (onTop && !HasWindowManager(d)) XRaiseWindow(d, TopOf(d, window));
    return trap.Failed() ? Result::Failed : Result::Ok;
  }

  // X11 has no way to keep a window out of other clients' screen grabs.
  Result SetExcludedFromCapture(WindowId, bool) override { return Result::Unsupported; }

  Result SetSkipTaskbar(WindowId window, bool skip) override {
    Display* d = SharedDisplay();
    if (!d || !window) return Result::Failed;
    std::lock_guard<std::mutex> lock(m_mutex);
    X11ErrorTrap trap(d);
    XWindowAttributes attrs;
    if (!XGetWindowAttributes(d, window, &attrs)) return Result::Failed;
    const Atom state = InternAtom(d, "_NET_WM_STATE");
    const Atom flags[] = {InternAtom(d, "_NET_WM_STATE_SKIP_TASKBAR"),
                          InternAtom(d, "_NET_WM_STATE_SKIP_PAGER")};
    if (attrs.map_state != IsUnmapped && HasWindowManager(d)) {
      // A shown window's state belongs to the window manager: ask it.
      SendRootMessage(d, window, state, skip ? 1 : 0, static_cast<long>(flags[0]),
                      static_cast<long>(flags[1]));
    } else {
      // Before the window is shown the property is ours; the toolkit adds
      // its own flags to it when it maps the window.
      std::vector<Atom> atoms;
      Atom type;
      int format;
      unsigned long count, after;
      unsigned char* data = nullptr;
      if (XGetWindowProperty(d, window, state, 0, 64, False, XA_ATOM, &type, &format, &count,
                             &after, &data) == Success &&
          data) {
        if (format == 32) {
          const auto* current = reinterpret_cast<const Atom*>(data);
          atoms.assign(current, current + count);
        }
        XFree(data);
      }
      for (Atom flag : flags) {
        atoms.erase(std::remove(atoms.begin(), atoms.end(), flag), atoms.end());
        if (skip) atoms.push_back(flag);
      }
      XChangeProperty(d, window, state, XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(atoms.data()),
                      static_cast<int>(atoms.size()));
    }
    XSync(d, False);
    return trap.Failed() ? Result::Failed : Result::Ok;
  }

  Rect WindowBounds(WindowId window) override {
    Display* d = SharedDisplay();
    if (!d || !window) return Rect{};
    std::lock_guard<std::mutex> lock(m_mutex);
    return Bounds(d, TopOf(d, window));
  }

  Rect ClientBounds(WindowId window) override {
    Display* d = SharedDisplay();
    if (!d || !window) return Rect{};
    std::lock_guard<std::mutex> lock(m_mutex);
    return Bounds(d, Window(window));
  }

  std::vector<TopLevelWindow> EnumerateTopLevel() override {
    std::vector<TopLevelWindow> result;
    Display* d = SharedDisplay();
    if (!d) return result;
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto children = RootChildren(d);
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
      const Window client = ClientOf(d, *it);
      if (!client) continue;
      TopLevelWindow info;
      info.id = client;
      info.title = WindowTitle(d, client);
      info.className = WindowClass(d, client);
      info.rect = Bounds(d, *it);
      info.visible = Viewable(d, *it);
      XWindowAttributes attrs;
      info.minimized = XGetWindowAttributes(d, client, &attrs) && attrs.map_state == IsUnmapped &&
                       HasWmState(d, client);
      info.pid = WindowPid(d, client);
      Window owner = 0;
      if (XGetTransientForHint(d, client, &owner) && owner != DefaultRootWindow(d))
        info.transientFor = owner;
      info.type = TypeOf(d, client, info.transientFor != 0);
      // Windows no window manager handles (pop-ups, the manager's own) are
      // nobody's application window.
      XWindowAttributes top;
      if (XGetWindowAttributes(d, *it, &top) && top.override_redirect) info.type = WindowType::Other;
      for (Atom state : AtomList(d, client, "_NET_WM_STATE")) {
        if (state == InternAtom(d, "_NET_WM_STATE_SKIP_TASKBAR")) info.skipTaskbar = true;
        if (state == InternAtom(d, "_NET_WM_STATE_MODAL")) info.modal = true;
      }
      result.push_back(info);
    }
    return result;
  }

 private:
  std::mutex m_mutex;
  std::unique_ptr<MessageFilter> m_filter;
};

}  // namespace

WindowSystem& WindowSystemInstance() {
  static X11WindowSystem instance;
  return instance;
}

}  // namespace platform::native
