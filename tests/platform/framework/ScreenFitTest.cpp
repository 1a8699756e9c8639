// Every window the program opens fits the screen it opens on, controls and all: run on a small
// screen at a large scale factor (a 1366x768 laptop at 200%, 683x384 logical pixels), which this
// program's main sets up before Qt starts.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>
#include <cstdlib>
#include <string>

#include "platform/framework/File.h"
#include "platform/framework/WinApp.h"
#include "platform/framework/Wnd.h"
#include "tests/support/Process.h"
#include "tests/support/Wait.h"

namespace {

std::string Text(const QRect& r) {
    return std::to_string(r.width()) + "x" + std::to_string(r.height()) + "+" +
           std::to_string(r.x()) + "+" + std::to_string(r.y());
}

// The window, and each of its visible buttons and lists, lie within the screen's available area.
void ExpectOnScreen(QWidget* window) {
    const QRect area = window->screen()->availableGeometry();
    EXPECT_TRUE(area.contains(window->frameGeometry()))
        << Text(window->frameGeometry()) << " on " << Text(area);
    for (QWidget* control : window->findChildren<QWidget*>()) {
        if (!control->isVisible() ||
            !(qobject_cast<QAbstractButton*>(control) || qobject_cast<QComboBox*>(control))) {
            continue;
        }
        const QRect global(control->mapToGlobal(QPoint(0, 0)), control->size());
        EXPECT_TRUE(area.contains(global)) << control->metaObject()->className() << " \""
                                           << control->property("text").toString().toStdString()
                                           << "\" at " << Text(global) << " on " << Text(area);
    }
}

TEST(ScreenFit, TheScreenIsSmall) {
    // The rest means nothing on a screen that has room.
    const QSize area = QApplication::primaryScreen()->availableGeometry().size();
    EXPECT_LE(area.width(), 683);
    EXPECT_LE(area.height(), 384);
}

TEST(ScreenFit, SaveDialog) {
    bool seen = false;
    WhenModalAppears([&](QWidget* modal) {
        seen = qobject_cast<QFileDialog*>(modal) != nullptr;
        // Laid out and placed by now: the checks run once its own loop takes events.
        QTimer::singleShot(100, modal, [modal] {
            ExpectOnScreen(modal);
            static_cast<QDialog*>(modal)->reject();
        });
    });
    CFileDialog dialog(FALSE, "txt", nullptr, OFN_CREATEPROMPT,
                       "Text files(*.txt)|*.txt|All files(*.*)|*.*||");
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    EXPECT_TRUE(seen);
}

TEST(ScreenFit, MessageBoxes) {
    CWinApp app("A caption as long as a message box caption could ever be, and longer");
    const std::string text =
        "A message of many words, longer than any the program shows, to see that a box wraps "
        "it instead of running off the screen: " +
        std::string(12, 'x') + " " + std::string(40, '-');
    bool seen = false;
    WhenModalAppears([&](QWidget* modal) {
        seen = qobject_cast<QMessageBox*>(modal) != nullptr;
        QTimer::singleShot(100, modal, [modal] {
            ExpectOnScreen(modal);
            static_cast<QMessageBox*>(modal)->button(QMessageBox::Ok)->click();
        });
    });
    CWnd window;
    window.MessageBox(text.c_str());
    EXPECT_TRUE(seen);
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen:configfile=" KAVOSEN_SMALL_SCREEN, 1);
    setenv("QT_SCALE_FACTOR", "2", 1);
    PrepareQtEnvironment();
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
