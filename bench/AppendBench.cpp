// Appending to the text area the way a capture does: a worker thread adds one "." at a time to
// one line, each through the text area's inbox (the path CEdit::ReplaceSel takes from a
// worker), while the window's thread takes them in and repaints. Measured in the same run: as
// many blocking cross-thread calls that do nothing, what each append would cost at the least
// if it waited for the window's thread; and, after the last append, how long the window's
// thread takes to have all of them in its layout.
//
// Goals: the last 10,000 appends cost no more each than the first 10,000 (no growth with the
// length of the line), and all of them together less than the bare calls.
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QFontDatabase>
#include <QMetaObject>
#include <QVBoxLayout>
#include <QWidget>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/framework/TextArea.h"
#include "platform/framework/Widgets.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kCalls = 100000;
constexpr int kSlice = 10000;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

struct Result {
    double bare = 0;        // s, all bare calls
    double total = 0;       // s, all appends
    double catchUp = 0;     // s, from the last append to the layout holding all of them
    double firstSlice = 0;  // s, the first kSlice appends
    double lastSlice = 0;   // s, the last kSlice appends
    int lines = 0;
};

// Runs on the worker thread. Bare calls and appends take turns in slices of kSlice, so that a
// change in the machine's load falls on both alike.
void Measure(TextArea* area, const std::shared_ptr<TextAreaInbox>& inbox, Result& result) {
    const auto call = [area](const std::function<void()>& fn) { CallOnThreadOf(area, fn); };
    const QByteArray dot(".");
    for (int slice = 0; slice < kCalls / kSlice; ++slice) {
        const Clock::time_point bareStart = Clock::now();
        for (int i = 0; i < kSlice; ++i) {
            call([] {});
        }
        const Clock::time_point appendStart = Clock::now();
        for (int i = 0; i < kSlice; ++i) {
            inbox->ReplaceSelection(dot);
        }
        const Clock::time_point end = Clock::now();
        result.bare += Seconds(appendStart - bareStart);
        const double appends = Seconds(end - appendStart);
        result.total += appends;
        if (slice == 0) {
            result.firstSlice = appends;
        }
        result.lastSlice = appends;
    }
    const Clock::time_point last = Clock::now();
    call([area, &result] { result.lines = area->visualLineCount(); });
    result.catchUp = Seconds(Clock::now() - last);
}

void Row(const char* what, const std::string& measured, const char* goal) {
    std::printf("  %-34s %14s   %s\n", what, measured.c_str(), goal);
}

std::string Format(const char* format, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
    }
    if (!std::getenv("XDG_RUNTIME_DIR")) {
        const std::string dir = "/tmp/kavosen-bench-runtime-" + std::to_string(getuid());
        mkdir(dir.c_str(), 0700);
        setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    }
    QApplication app(argc, argv);

    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* area = new TextArea;
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(12);  // the text area's font in the program
    area->setFont(font);
    layout->addWidget(area);
    window.resize(560, 260);
    window.show();

    Result result;
    const std::shared_ptr<TextAreaInbox> inbox = area->inbox();
    std::thread worker;
    // Starts once the event loop runs, so that every call is carried out by it.
    QMetaObject::invokeMethod(
        &app,
        [&] {
            worker = std::thread([&] {
                Measure(area, inbox, result);
                QMetaObject::invokeMethod(&app, &QApplication::quit, Qt::QueuedConnection);
            });
        },
        Qt::QueuedConnection);
    app.exec();
    worker.join();

    const double perFirst = result.firstSlice / kSlice * 1e6;
    const double perLast = result.lastSlice / kSlice * 1e6;
    std::printf(
        "Text area: %d appends of \".\" to one line from a worker thread, through the text "
        "area's inbox (%s)\n",
        kCalls, QApplication::platformName().toUtf8().constData());
    std::printf("  %-34s %14s   %s\n", "", "measured", "goal");
    Row("bare blocking calls, total", Format("%.3f s", result.bare), "");
    Row("appends, total", Format("%.3f s", result.total), "");
    Row("appends / bare calls", Format("%.3f", result.total / result.bare), "<= 1");
    Row("first 10000 appends, per call", Format("%.2f us", perFirst), "");
    Row("last 10000 appends, per call", Format("%.2f us", perLast), "");
    Row("last / first", Format("%.2f", perLast / perFirst), "about 1 (no growth)");
    Row("window's catch-up after the last", Format("%.2f ms", result.catchUp * 1e3), "");
    Row("visual lines at the end", std::to_string(result.lines), "");
    return 0;
}
