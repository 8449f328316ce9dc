// The demo's stand-in for a user at a virtual display: waits for a window
// with a given title and, when asked, presses Return in it.
//
//   demo-xkey wait TITLE [TIMEOUT_MS]
//   demo-xkey return TITLE [TIMEOUT_MS]
//
// Exit code 0 when the window was found (and the key sent), 1 otherwise.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

namespace {

std::string TitleOf(Display* display, Window window) {
  static const Atom netWmName = XInternAtom(display, "_NET_WM_NAME", False);
  static const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::string title;
  if (XGetWindowProperty(display, window, netWmName, 0, 1024, False, utf8, &type, &format, &count, &after, &data) ==
          Success &&
      data != nullptr) {
    title.assign(reinterpret_cast<char*>(data), count);
    XFree(data);
  }
  return title;
}

Window FindViewable(Display* display, Window parent, const std::string& title) {
  Window root = 0, up = 0;
  Window* children = nullptr;
  unsigned int count = 0;
  if (XQueryTree(display, parent, &root, &up, &children, &count) == 0) return 0;
  Window found = 0;
  for (unsigned int i = count; i-- > 0 && found == 0;) {
    XWindowAttributes attributes;
    if (XGetWindowAttributes(display, children[i], &attributes) == 0 || attributes.map_state != IsViewable) continue;
    if (TitleOf(display, children[i]) == title)
      found = children[i];
    else
      found = FindViewable(display, children[i], title);
  }
  if (children != nullptr) XFree(children);
  return found;
}

int IgnoreErrors(Display*, XErrorEvent*) { return 0; }

} // namespace

int main(int argc, char** argv) {
  if (argc < 3 || (std::strcmp(argv[1], "wait") != 0 && std::strcmp(argv[1], "return") != 0)) {
    std::cerr << "usage: demo-xkey wait|return TITLE [TIMEOUT_MS]\n";
    return 2;
  }
  const bool pressReturn = std::strcmp(argv[1], "return") == 0;
  const std::string title = argv[2];
  const long timeoutMs = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 30000;

  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::cerr << "demo-xkey: cannot open the display\n";
    return 1;
  }
  // Windows come and go while the tree is walked.
  XSetErrorHandler(IgnoreErrors);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  Window window = 0;
  while ((window = FindViewable(display, DefaultRootWindow(display), title)) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      std::cerr << "demo-xkey: no window \"" << title << "\"\n";
      XCloseDisplay(display);
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (pressReturn) {
    // No window manager runs on the virtual display: give the window the
    // focus and the pointer, then type the key.
    XWindowAttributes attributes;
    XGetWindowAttributes(display, window, &attributes);
    XRaiseWindow(display, window);
    XSetInputFocus(display, window, RevertToPointerRoot, CurrentTime);
    XWarpPointer(display, None, window, 0, 0, 0, 0, attributes.width / 2, attributes.height / 2);
    XSync(display, False);
    const KeyCode key = XKeysymToKeycode(display, XK_Return);
    XTestFakeKeyEvent(display, key, True, CurrentTime);
    XTestFakeKeyEvent(display, key, False, CurrentTime);
    XSync(display, False);
  }
  std::cout << "0x" << std::hex << window << std::endl;
  XCloseDisplay(display);
  return 0;
}
