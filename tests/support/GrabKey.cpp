// Holds a passive key grab on the root window, as another X client would: `talvane_grab_key <keysym> <mask>…`
// grabs the key once per modifier mask, prints "grabbed" (or "taken" when another client holds it), and keeps
// the grabs until its standard input closes.
#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

bool failed = false;

int recordError(Display *, XErrorEvent *)
{
    failed = true;
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    Display *dpy = XOpenDisplay(nullptr);
    if (!dpy)
        return 3;
    const KeyCode code = XKeysymToKeycode(dpy, XStringToKeysym(argv[1]));
    if (code == 0)
        return 2;
    XSetErrorHandler(recordError);
    for (int i = 2; i < argc; ++i)
        XGrabKey(dpy, code, unsigned(std::strtoul(argv[i], nullptr, 0)), DefaultRootWindow(dpy), False, GrabModeAsync,
                 GrabModeAsync);
    XSync(dpy, False);
    std::puts(failed ? "taken" : "grabbed");
    std::fflush(stdout);
    char buffer[64];
    while (read(0, buffer, sizeof buffer) > 0) {
    }
    XCloseDisplay(dpy);
    return 0;
}
