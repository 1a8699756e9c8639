// Message maps: the order entries are searched in, the base maps, command routing on to the
// application (from the main window's F1 too), and Default() within the handling of a message.
#include <gtest/gtest.h>

#include <QTest>
#include <QWidget>
#include <string>
#include <vector>

#include "platform/framework/Framework.h"
#include "platform/framework/Widgets.h"
#include "res/resource.h"
#include "tests/support/Window.h"

namespace {

using Calls = std::vector<std::string>;
Calls g_calls;  // the handlers that ran, in order

class TestApp : public CWinApp {
protected:
    void OnAppHelp() { g_calls.push_back("app help"); }
    void OnAppSave() { g_calls.push_back("app save"); }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(TestApp, CWinApp)
ON_COMMAND(ID_HELP, &TestApp::OnAppHelp)
ON_BN_CLICKED(IDC_SAVE, &TestApp::OnAppSave)
END_MESSAGE_MAP()

class BaseDialog : public CDialog {
public:
    BaseDialog() : CDialog(IDD_CAPTURE_DIALOG) {}

protected:
    void OnBaseReceive() { g_calls.push_back("base receive"); }
    void OnBaseSave() { g_calls.push_back("base save"); }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(BaseDialog, CDialog)
ON_BN_CLICKED(IDC_RECEIVE, &BaseDialog::OnBaseReceive)
ON_BN_CLICKED(IDC_SAVE, &BaseDialog::OnBaseSave)
END_MESSAGE_MAP()

// Two entries for IDC_RECEIVE: only the first may run. IDC_SAVE is left to the base map.
class DerivedDialog : public BaseDialog {
protected:
    void OnReceive() { g_calls.push_back("receive"); }
    void OnReceiveAgain() { g_calls.push_back("receive again"); }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(DerivedDialog, BaseDialog)
ON_BN_CLICKED(IDC_RECEIVE, &DerivedDialog::OnReceive)
ON_BN_CLICKED(IDC_RECEIVE, &DerivedDialog::OnReceiveAgain)
END_MESSAGE_MAP()

bool Click(CWnd& wnd, UINT id) {
    return wnd.OnWndMsg(WM_COMMAND, CommandWParam(id, BN_CLICKED), 0);
}

TEST(MessageMap, FirstEntryThenBaseMapsThenTheApplication) {
    TestApp app;
    DerivedDialog dialog;
    g_calls.clear();
    EXPECT_TRUE(Click(dialog, IDC_RECEIVE));
    EXPECT_TRUE(Click(dialog, IDC_SAVE));
    EXPECT_TRUE(dialog.OnWndMsg(WM_COMMAND, CommandWParam(ID_HELP, 0), 0));
    EXPECT_FALSE(Click(dialog, 4242));
    EXPECT_EQ(g_calls, (Calls{"receive", "base save", "app help"}));

    // F1 in a window is its Help command, which the main window leaves to the application.
    g_calls.clear();
    WithWindow([](CCaptureDlg& window) {
        QTest::keyClick(Widget(window.m_cmbPort), Qt::Key_F1);
        EXPECT_TRUE(Widget(window)->isVisible());
    });
    EXPECT_EQ(g_calls, (Calls{"app help"}));
}

// A window whose paint handler dispatches another message, then calls Default() or not.
class PaintingWnd : public CWnd {
public:
    bool callDefault = true;

    void OnPaint() {
        g_calls.push_back("paint");
        Dispatch(this, WM_SETTEXT, 0, 0, [] {
            g_calls.push_back("default of the nested message");
            return LRESULT{0};
        });
        if (callDefault) {
            Default();
        }
    }

protected:
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(PaintingWnd, CWnd)
ON_WM_PAINT()
END_MESSAGE_MAP()

TEST(MessageMap, DefaultRunsTheLayersHandlingOfTheMessageBeingHandled) {
    PaintingWnd wnd;
    const auto defaultPaint = [] {
        g_calls.push_back("default paint");
        return LRESULT{7};
    };
    for (const bool callDefault : {true, false}) {
        g_calls.clear();
        wnd.callDefault = callDefault;
        EXPECT_EQ(Dispatch(&wnd, WM_PAINT, 0, 0, defaultPaint), 0);
        Calls expected = {"paint", "default of the nested message"};
        if (callDefault) {
            expected.push_back("default paint");
        }
        EXPECT_EQ(g_calls, expected);
    }
    // A message without a handler gets the default, with its result.
    g_calls.clear();
    EXPECT_EQ(Dispatch(&wnd, WM_SHOWWINDOW, TRUE, 0, defaultPaint), 7);
    EXPECT_EQ(g_calls, (Calls{"default paint"}));
}

}  // namespace
