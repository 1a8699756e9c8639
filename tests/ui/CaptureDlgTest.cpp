// The main window as the user finds it, its keys (which end it, which click, the mnemonics),
// and its view operations.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QFontInfo>
#include <QFontMetrics>
#include <QImage>
#include <QPushButton>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "res/resource.h"
#include "tests/capture/ScriptedPort.h"
#include "tests/support/Wait.h"
#include "tests/support/Window.h"
#include "ui/CaptureDlg.h"

namespace {

// Fixed pitch as drawn: some monospaced faces do not report it through QFontInfo.
bool DrawsFixedPitch(const QFont& font) {
    QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(QLatin1Char('W'));
    for (QChar c : QStringLiteral("il.|M0 ")) {
        if (metrics.horizontalAdvance(c) != width) {
            return false;
        }
    }
    return width > 0;
}

// A list's entries, in order.
QStringList Entries(const CComboBox& list) {
    auto* combo = qobject_cast<QComboBox*>(Widget(list));
    QStringList entries;
    for (int i = 0; combo && i < combo->count(); ++i) {
        entries << combo->itemText(i);
    }
    return entries;
}

// Waits until the window is shown and active, so keys reach it as a user's would.
bool ShownAndActive(const CWnd& wnd) {
    return WaitUntil([&] { return Widget(wnd)->isVisible(); }) &&
           QTest::qWaitForWindowActive(Widget(wnd));
}

}  // namespace

TEST(CaptureDlg, OpensWithTheIdleStateAndTheFullLists) {
    WithWindow([&](CCaptureDlg& dlg) {
        ASSERT_TRUE(WaitUntil([&] { return Widget(dlg)->isVisible(); }));
        EXPECT_EQ(Text(dlg), "KAVOSEN_WIN");

        QStringList ports;
        for (int n = 1; n <= 31; ++n) {
            ports << QString::fromStdString(Com(n));
        }
        EXPECT_EQ(Entries(dlg.m_cmbPort), ports);
        EXPECT_EQ(Text(dlg.m_cmbPort), "COM1");
        EXPECT_EQ(Entries(dlg.m_cmbBaudrate),
                  QStringList({"9600", "19200", "38400", "57600", "115200", "230400"}));
        EXPECT_EQ(Text(dlg.m_cmbBaudrate), "115200");

        EXPECT_EQ(Text(dlg.m_btnReceive), "Receive(&R)");
        EXPECT_EQ(Text(dlg.m_btnSave), "Save(&S)");
        EXPECT_FALSE(dlg.m_btnSave.IsWindowEnabled());
        EXPECT_TRUE(dlg.m_btnReceive.IsWindowEnabled());
        EXPECT_EQ(Text(dlg.m_editText), "");
        EXPECT_EQ(dlg.m_bReceiving, 0);
        EXPECT_EQ(dlg.m_bStop, 0);
        EXPECT_EQ(dlg.m_nCapacity, CAPTURE_BLOCK);
        EXPECT_EQ(dlg.m_nLength, 0);
    });
}

// The text area's font: fixed pitch, 12 pixels high, made at every show (GdiTest has the
// stand-in for a missing face).
TEST(CaptureDlg, ShowingAgainReplacesTheFontAndKeepsItFixed) {
    WithWindow([&](CCaptureDlg& dlg) {
        ASSERT_TRUE(WaitUntil([&] { return Widget(dlg)->isVisible(); }));
        HFONT first = dlg.m_font.GetSafeHandle();
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(QFontInfo(Widget(dlg.m_editText)->font()).pixelSize(), 12);
        Widget(dlg)->hide();
        Widget(dlg)->show();
        ASSERT_TRUE(WaitUntil([&] { return dlg.m_font.GetSafeHandle() != first; }));
        EXPECT_TRUE(DrawsFixedPitch(Widget(dlg.m_editText)->font()));
        // The text area still paints with the font it holds.
        Widget(dlg.m_editText)->repaint();
    });
}

TEST(CaptureDlg, EscTheCloseBoxAndEnterOnAListWithItsDropDownClosedEndTheWindow) {
    const std::vector<std::pair<std::function<void(CCaptureDlg&)>, INT_PTR>> cases = {
        {[](CCaptureDlg& d) { QTest::keyClick(Widget(d.m_cmbPort), Qt::Key_Escape); }, IDCANCEL},
        {[](CCaptureDlg& d) { Widget(d)->close(); }, IDCANCEL},
        {[](CCaptureDlg& d) { QTest::keyClick(Widget(d.m_cmbPort), Qt::Key_Return); }, IDOK},
        {[](CCaptureDlg& d) {
             QTest::keyClick(Widget(d.m_cmbBaudrate), Qt::Key_Enter, Qt::KeypadModifier);
         },
         IDOK},
    };
    for (const auto& [press, expected] : cases) {
        bool visible = false;
        EXPECT_EQ(WithWindow([&](CCaptureDlg& dlg) {
                      visible = WaitUntil([&] { return Widget(dlg)->isVisible(); });
                      press(dlg);
                      visible = visible && !Widget(dlg)->isVisible();
                  }),
                  expected);
        EXPECT_TRUE(visible) << "shown, then ended by the key itself";
    }
}

TEST(CaptureDlg, EnterClicksAButtonAndEndsNothingInTheTextAreaOrAnOpenDropDown) {
    scripted::Reset();
    WithWindow([&](CCaptureDlg& dlg) {
        ASSERT_TRUE(WaitUntil([&] { return Widget(dlg)->isVisible(); }));
        Widget(dlg.m_editText)->setFocus();
        QTest::keyClick(Widget(dlg.m_editText), Qt::Key_Return);

        auto* port = qobject_cast<QComboBox*>(Widget(dlg.m_cmbPort));
        port->showPopup();
        ASSERT_TRUE(WaitUntil([&] { return port->view()->isVisible(); }));
        QTest::keyClick(port->view(), Qt::Key_Down);
        QTest::keyClick(port->view(), Qt::Key_Return);
        EXPECT_TRUE(WaitUntil([&] { return !port->view()->isVisible(); }));
        EXPECT_EQ(Text(dlg.m_cmbPort), "COM2");

        // Receive, then Cancel, each by Enter on the button.
        Widget(dlg.m_btnReceive)->setFocus();
        QTest::keyClick(Widget(dlg.m_btnReceive), Qt::Key_Return);
        EXPECT_EQ(scripted::LastOpenPath(), "\\\\.\\COM2");
        ASSERT_TRUE(WaitUntil([&] { return Waiting(dlg); }));
        QTest::keyClick(Widget(dlg.m_btnReceive), Qt::Key_Return);
        EXPECT_TRUE(WaitUntil([&] { return Text(dlg.m_editText) == "ABORT.\r\n"; }));
        EXPECT_TRUE(Widget(dlg)->isVisible());
    });
    scripted::Reset();
}

TEST(CaptureDlg, AltKeysActOnlyAsMnemonicsAndAtOnce) {
    scripted::Reset();
    WithWindow([&](CCaptureDlg& dlg) {
        ASSERT_TRUE(ShownAndActive(dlg));
        // The labels' mnemonics move the focus to their lists.
        QTest::keyClick(Widget(dlg), Qt::Key_B, Qt::AltModifier);
        EXPECT_TRUE(Widget(dlg.m_cmbBaudrate)->hasFocus());
        QTest::keyClick(Widget(dlg), Qt::Key_P, Qt::AltModifier);
        EXPECT_TRUE(Widget(dlg.m_cmbPort)->hasFocus());

        // Alt with a letter or digit that no enabled control's mnemonic uses (Save is disabled,
        // R starts a capture) goes to no list's type-ahead search. Each key alone would start a
        // search of its own (a millisecond apart).
        const int interval = QApplication::keyboardInputInterval();
        QApplication::setKeyboardInputInterval(0);
        for (CComboBox* list : {&dlg.m_cmbPort, &dlg.m_cmbBaudrate}) {
            QWidget* widget = Widget(*list);
            widget->setFocus();
            for (int key = Qt::Key_0; key <= Qt::Key_Z; ++key) {
                if ((key <= Qt::Key_9 || key >= Qt::Key_A) && key != Qt::Key_R) {
                    QTest::keyClick(widget, static_cast<Qt::Key>(key), Qt::AltModifier, 1);
                }
            }
        }
        QApplication::setKeyboardInputInterval(interval);
        EXPECT_EQ(Text(dlg.m_cmbPort), "COM1");
        EXPECT_EQ(Text(dlg.m_cmbBaudrate), "115200");

        // Receive's mnemonic and, at once, Cancel's: the capture runs on the port that was
        // chosen when Alt+R was pressed, and the second key cancels it.
        Widget(dlg.m_cmbPort)->setFocus();
        QTest::keyClick(Widget(dlg.m_cmbPort), Qt::Key_R, Qt::AltModifier);
        QTest::keyClick(Widget(dlg.m_cmbPort), Qt::Key_C, Qt::AltModifier);
        EXPECT_EQ(scripted::OpenCount(), 1);
        EXPECT_EQ(scripted::LastOpenPath(), "\\\\.\\COM1");
        EXPECT_TRUE(WaitUntil([&] { return Text(dlg.m_editText) == "ABORT.\r\n"; }));
        EXPECT_EQ(Text(dlg.m_cmbPort), "COM1");
    });
    scripted::Reset();
}

TEST(CaptureDlg, ViewOperationsFromAWorkerArriveInOrderBeforeItGoesOn) {
    WithWindow([&](CCaptureDlg& dlg) {
        ASSERT_TRUE(WaitUntil([&] { return Widget(dlg)->isVisible(); }));
        std::atomic<bool> done{false};
        std::atomic<int> mismatches{0};
        std::atomic<int> ticks{0};
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(1);
        std::thread worker([&] {
            dlg.ClearText();
            std::string expected;
            for (int i = 0; i < 2000; ++i) {
                dlg.AppendFormat("%d,", i);
                expected += std::to_string(i) + ",";
                // Carried out before the call returned: the text is already there.
                if (Text(dlg.m_editText) != expected) {
                    ++mismatches;
                }
            }
            dlg.AppendText("\r\nend");
            done = true;
        });
        // The window keeps running its own events while the worker waits on it.
        EXPECT_TRUE(WaitUntil([&] { return done.load(); }, 60000));
        worker.join();
        EXPECT_EQ(mismatches, 0);
        EXPECT_GT(ticks, 0);
        std::string text = Text(dlg.m_editText);
        EXPECT_EQ(text.substr(0, 8), "0,1,2,3,");
        EXPECT_EQ(text.substr(text.size() - 10), "1999,\r\nend");
    });
}

TEST(CaptureDlg, AppendTextReplacesTheSelectionTheUserMade) {
    WithWindow([&](CCaptureDlg& dlg) {
        dlg.ClearText();
        dlg.AppendText("Getting data...\r\n");
        // The user selects the first word, then the next append arrives, then another.
        QWidget* area = Widget(dlg.m_editText);
        QTest::keyClick(area, Qt::Key_Home, Qt::ControlModifier);
        for (int i = 0; i < 7; ++i) {
            QTest::keyClick(area, Qt::Key_Right, Qt::ShiftModifier);
        }
        dlg.AppendText("Got");
        dlg.AppendText("!");
        EXPECT_EQ(Text(dlg.m_editText), "Got! data...\r\n");
        dlg.ClearText();
        dlg.AppendText("a");
        dlg.AppendText("b");
        EXPECT_EQ(Text(dlg.m_editText), "ab");
    });
}

TEST(CaptureDlg, OddBytesReadBackAsTheyWentIn) {
    WithWindow([&](CCaptureDlg& dlg) {
        std::string odd;
        for (int b = 1; b < 256; ++b) {
            odd += static_cast<char>(b);
        }
        odd += "\r\nlone LF\nlone CR\rend";
        dlg.ClearText();
        dlg.AppendText(odd.c_str());
        EXPECT_EQ(Text(dlg.m_editText), odd);
        Widget(dlg.m_editText)->repaint();
    });
}

TEST(CaptureDlg, TheWindowsIconAndDragIconAreTheApplicationIcon) {
    WithWindow([&](CCaptureDlg& dlg) {
        ASSERT_NE(dlg.m_hIcon, nullptr);
        EXPECT_EQ(Widget(dlg)->windowIcon().availableSizes(), (QList<QSize>{{16, 16}, {32, 32}}));
        EXPECT_EQ(dlg.SetIcon(dlg.m_hIcon, FALSE), dlg.m_hIcon);  // the one it had
        EXPECT_EQ(reinterpret_cast<HICON>(dlg.SendMessage(WM_QUERYDRAGICON)), dlg.m_hIcon);
    });
}

TEST(CaptureDlg, MinimizedWindowPaintsOnlyItsIconCentred) {
    WithWindow([&](CCaptureDlg& dlg) {
        ASSERT_TRUE(WaitUntil([&] { return Widget(dlg)->isVisible(); }));
        QWidget* window = Widget(dlg);
        window->setWindowState(window->windowState() | Qt::WindowMinimized);
        // The window's own painting, without its controls: what the minimized window shows.
        QImage shot(window->size(), QImage::Format_RGB32);
        shot.fill(Qt::magenta);
        window->render(&shot, QPoint(), QRegion(), QWidget::RenderFlags());
        window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
        ASSERT_FALSE(shot.isNull());
        const int w = shot.width();
        const int h = shot.height();
        const QRect icon((w - 32 + 1) / 2, (h - 32 + 1) / 2, 32, 32);
        // Outside the icon: erased to the window's background.
        const QRgb background = window->palette().window().color().rgb();
        int otherOutside = 0;
        for (int y = 0; y < h; y += 3) {
            for (int x = 0; x < w; x += 3) {
                if (!icon.contains(x, y) && shot.pixel(x, y) != background) {
                    ++otherOutside;
                }
            }
        }
        EXPECT_EQ(otherOutside, 0);
        // Inside: the window's icon at its large size.
        const QImage image = window->windowIcon().pixmap(32, 32).toImage();
        int opaque = 0;
        int differing = 0;
        for (int y = 0; y < 32; ++y) {
            for (int x = 0; x < 32; ++x) {
                const QRgb want = image.pixel(x, y);
                if (qAlpha(want) == 255) {
                    ++opaque;
                    differing += shot.pixel(icon.topLeft() + QPoint(x, y)) != want;
                }
            }
        }
        EXPECT_GT(opaque, 32 * 32 / 2);
        EXPECT_EQ(differing, 0);
    });
}
