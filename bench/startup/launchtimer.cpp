// Starts a program on the current X display and measures the time from the
// process start to the moment its window titled as given is mapped, then its
// resident memory once it has settled. Repeats and prints each run and the
// median.
//
//   launchtimer <runs> <window title> <program> [args...]

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/select.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string windowTitle(Display *display, Window window)
{
    const Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char *data = nullptr;
    std::string title;
    if (XGetWindowProperty(display, window, netName, 0, 1024, False, utf8, &type, &format, &count, &after, &data)
            == Success
        && data) {
        title.assign(reinterpret_cast<char *>(data), count);
        XFree(data);
    }
    if (title.empty()) {
        char *name = nullptr;
        if (XFetchName(display, window, &name) && name) {
            title = name;
            XFree(name);
        }
    }
    return title;
}

long residentKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// Programs under Wine map short-lived windows of their own, which may be gone
// before their title is read: such an error only means "not the window".
int ignoreXError(Display *, XErrorEvent *)
{
    return 0;
}

// Waits for a MapNotify of a top-level window with the wanted title; returns
// false after the time limit.
bool waitForWindow(Display *display, const std::string &title, int limitMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    const int fd = ConnectionNumber(display);
    while (Clock::now() < deadline) {
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == MapNotify && windowTitle(display, event.xmap.window) == title)
                return true;
        }
        fd_set fds;
        FD_ZERO(&fds);
        FD_SET(fd, &fds);
        timeval tick{0, 2000};
        select(fd + 1, &fds, nullptr, nullptr, &tick);
    }
    return false;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <runs> <window title> <program> [args...]\n", argv[0]);
        return 2;
    }
    const int runs = std::atoi(argv[1]);
    const std::string title = argv[2];
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "cannot open the X display\n");
        return 1;
    }
    XSetErrorHandler(ignoreXError);
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);

    std::vector<double> startMs, rssKiB;
    for (int run = 0; run < runs; ++run) {
        XSync(display, True);
        const auto started = Clock::now();
        const pid_t child = fork();
        if (child == 0) {
            execvp(argv[3], argv + 3);
            _exit(127);
        }
        const bool mapped = waitForWindow(display, title, 20000);
        const double elapsed = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        const long rss = residentKiB(child);
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
        if (!mapped) {
            std::fprintf(stderr, "run %d: no window titled \"%s\" within 20 s\n", run + 1, title.c_str());
            return 1;
        }
        startMs.push_back(elapsed);
        rssKiB.push_back(double(rss));
        std::printf("run %d: mapped after %.1f ms, resident %ld KiB\n", run + 1, elapsed, rss);
    }
    std::printf("median: mapped after %.1f ms, resident %.0f KiB\n", median(startMs), median(rssKiB));
    XCloseDisplay(display);
    return 0;
}
