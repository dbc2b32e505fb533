// How fast a click becomes bytes on the wire: button clicks on the console
// window, read back at the far end of a pseudo-terminal.
//
// (a) click to wire: from a click on Play until its four bytes can be read
//     at the far end, one click at a time;
// (b) burst: 10,000 clicks as fast as the window takes them; every one of
//     the 40,000 bytes must arrive, in order;
// (c) for information, the start of the window with its lists filled.
//
// Each is measured two ways. click() is the program's own path: the button's
// clicked signal, the slot, the frame, the echo and the write. The mouse path
// adds the toolkit's handling of real mouse events, which repaints the button
// synchronously on press and again on release, before the clicked signal.
// The targets are judged on the program's path; the mouse figures show what
// an operator's click costs in all.
#include "identity.h"
#include "mainwindow.h"
#include "ptypair.h"
#include "testsupport.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int warmUpClicks = 200;
constexpr int latencyClicks = 2000;
constexpr int burstClicks = 10000;
constexpr int constructions = 20;

constexpr double medianTargetUs = 50;
constexpr double p99TargetUs = 200;
constexpr double burstTargetFramesPerSecond = 30000;

double microseconds(Clock::duration duration)
{
    return std::chrono::duration<double, std::micro>(duration).count();
}

// The value below which `share` of the sorted samples lie.
double percentile(const std::vector<double> &sorted, double share)
{
    const auto rank = size_t(std::ceil(share * double(sorted.size())));
    return sorted.at(std::clamp<size_t>(rank, 1, sorted.size()) - 1);
}

const char *verdict(bool met)
{
    return met ? "met" : "MISSED";
}

void clickByProgram(QPushButton *button)
{
    button->click();
}

void clickByMouse(QPushButton *button)
{
    QTest::mouseClick(button, Qt::LeftButton);
}

struct Console
{
    PtyPair pty;
    MainWindow window;

    bool open()
    {
        if (!pty.isValid())
            return false;
        window.show();
        selectPort(window, pty.slavePath());
        clickButton(window, "pushButton_Open");
        return serialPort->isOpen();
    }

    QPushButton *button(const char *name) const { return child<QPushButton>(window, name); }
};

struct Latency
{
    double median;
    double p99;
    double max;
};

// Times `click` (which must end with the click's command sent) until the
// Play frame is readable at the far end; `prepare` runs untimed before each.
bool measureLatency(Console &console, const std::function<void(QPushButton *)> &prepare,
                    const std::function<void(QPushButton *)> &click, Latency &result)
{
    QPushButton *play = console.button("pushButton_Play");
    const QByteArray frame("\x20\xff\xff\xff", 4);
    std::vector<double> samples;
    samples.reserve(latencyClicks);

    for (int round = 0; round < warmUpClicks + latencyClicks; ++round) {
        // Repaints and layout requests run between clicks, as they would
        // between an operator's clicks; they are not part of the sample.
        QCoreApplication::processEvents();
        prepare(play);
        const Clock::time_point clicked = Clock::now();
        click(play);
        const QByteArray received = console.pty.read(4, 1000);
        const Clock::time_point readable = Clock::now();
        if (received != frame) {
            std::printf("click %d: expected 20 ff ff ff, read %s\n", round, received.toHex(' ').constData());
            return false;
        }
        if (round >= warmUpClicks)
            samples.push_back(microseconds(readable - clicked));
    }
    std::sort(samples.begin(), samples.end());
    result = {percentile(samples, 0.5), percentile(samples, 0.99), samples.back()};
    return true;
}

void printLatency(const char *how, const Latency &latency)
{
    std::printf("    %-34s median %7.1f us, p99 %7.1f us, max %8.1f us\n", how, latency.median, latency.p99,
                latency.max);
}

bool measureClickToWire(Console &console)
{
    const auto nothing = [](QPushButton *) {};
    const auto press = [](QPushButton *button) { QTest::mousePress(button, Qt::LeftButton); };
    const auto release = [](QPushButton *button) { QTest::mouseRelease(button, Qt::LeftButton); };

    Latency program {};
    Latency fromRelease {};
    Latency fromPress {};
    if (!measureLatency(console, nothing, clickByProgram, program)
        || !measureLatency(console, press, release, fromRelease)
        || !measureLatency(console, nothing, clickByMouse, fromPress))
        return false;

    const bool met = program.median <= medianTargetUs && program.p99 <= p99TargetUs;
    std::printf("(a) click to wire, %d clicks on Play each:\n", latencyClicks);
    printLatency("click():", program);
    printLatency("mouse, from the release:", fromRelease);
    printLatency("mouse, from the press:", fromPress);
    std::printf("    targets median <= %.0f us (%s), p99 <= %.0f us (%s)\n", medianTargetUs,
                verdict(program.median <= medianTargetUs), p99TargetUs, verdict(program.p99 <= p99TargetUs));
    return met;
}

// Clicks the five transport buttons in turn, so a lost, doubled or swapped
// frame shows, and returns the frames per second from the first click to
// the last byte, or 0 when the bytes were not all there in order.
double measureBurst(Console &console, const std::function<void(QPushButton *)> &click)
{
    const char *const buttons[] = {"pushButton_Play", "pushButton_Pause", "pushButton_Stop", "pushButton_Next",
                                   "pushButton_Previous"};
    std::vector<QPushButton *> order;
    QByteArray expected;
    for (int round = 0; round < burstClicks; ++round) {
        const int turn = round % int(std::size(buttons));
        order.push_back(console.button(buttons[turn]));
        expected += char(0x20 + turn);
        expected += QByteArray(3, char(0xff));
    }
    QCoreApplication::processEvents();

    // The far end is drained on its own thread, as a device would, so a full
    // line buffer never holds the window up.
    QByteArray received;
    std::atomic<bool> done = false;
    Clock::time_point lastByte;
    std::thread reader([&] {
        while (received.size() < expected.size()) {
            const QByteArray more = console.pty.read(int(expected.size() - received.size()), 5000);
            if (more.isEmpty())
                break;
            received += more;
            lastByte = Clock::now();
        }
        done = true;
    });

    const Clock::time_point start = Clock::now();
    for (QPushButton *button : order)
        click(button);
    // Whatever the port could not hand over at once goes out from the event loop.
    while (!done)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    reader.join();

    if (received != expected) {
        std::printf("    %lld of %lld bytes arrived: LOST OR OUT OF ORDER\n", qlonglong(received.size()),
                    qlonglong(expected.size()));
        return 0;
    }
    return burstClicks / (microseconds(lastByte - start) / 1e6);
}

bool measureBursts(Console &console)
{
    std::printf("(b) burst of %d clicks, %d bytes:\n", burstClicks, burstClicks * 4);
    const double program = measureBurst(console, clickByProgram);
    const double mouse = measureBurst(console, clickByMouse);
    std::printf("    %-34s %8.0f frames/s%s\n", "click():", program, program > 0 ? ", all bytes in order" : "");
    std::printf("    %-34s %8.0f frames/s%s\n", "mouse:", mouse, mouse > 0 ? ", all bytes in order" : "");
    const bool met = program >= burstTargetFramesPerSecond;
    std::printf("    target >= %.0f frames/s (%s); the line carries about 2,900\n", burstTargetFramesPerSecond,
                verdict(met));
    return met && mouse > 0;
}

void measureConstruction()
{
    std::vector<double> samples;
    for (int built = 0; built < constructions; ++built) {
        const Clock::time_point start = Clock::now();
        MainWindow window;
        samples.push_back(microseconds(Clock::now() - start) / 1000);
    }
    std::sort(samples.begin(), samples.end());
    std::printf("(c) window construction, %d windows: median %.2f ms, max %.2f ms\n", constructions,
                percentile(samples, 0.5), samples.back());
}

} // namespace

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    setApplicationIdentity();
    QApplication app(argc, argv);
    removeSavedSettings();

    Console console;
    if (!console.open()) {
        std::printf("cannot open a pseudo-terminal as the serial port\n");
        return 2;
    }
    const bool latencyMet = measureClickToWire(console);
    const bool burstMet = measureBursts(console);
    measureConstruction();
    std::printf("%s\n", latencyMet && burstMet ? "all targets met" : "TARGETS MISSED");
    return latencyMet && burstMet ? 0 : 1;
}
