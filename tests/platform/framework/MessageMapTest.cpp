// Message maps: the order entries are searched in, the base maps, command routing on to the
// application, Default() and the notifications a window sends (show, hide).
#include <gtest/gtest.h>

#include <QPushButton>
#include <QTest>

#include "tests/platform/framework/TestDialog.h"

namespace {

class TestApp : public CWinApp {
public:
    TestApp() : CWinApp("TestApp") {}
    Calls calls;

protected:
    void OnAppHelp() { calls.push_back("app help"); }
    void OnAppReceive() { calls.push_back("app receive"); }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(TestApp, CWinApp)
ON_COMMAND(ID_HELP, &TestApp::OnAppHelp)
ON_BN_CLICKED(IDC_RECEIVE, &TestApp::OnAppReceive)
END_MESSAGE_MAP()

TEST(MessageMap, FirstEntryThenBaseMapsThenTheApplication) {
    TestApp app;
    TestDialog dialog;
    RunModal(dialog, [&](QDialog*) {
        EXPECT_EQ(dialog.calls, (Calls{"init", "show"}));
        dialog.calls.clear();
        dialog.Control<QPushButton>(dialog.m_btnReceive)->click();
        dialog.Control<QPushButton>(dialog.m_btnSave)->click();
        QTest::keyClick(dialog.Control(dialog.m_cmbPort), Qt::Key_F1);
        EXPECT_EQ(dialog.calls, (Calls{"receive", "base save"}));
        EXPECT_EQ(app.calls, (Calls{"app help"}));
        EXPECT_FALSE(dialog.OnWndMsg(WM_COMMAND, CommandWParam(4242, BN_CLICKED), 0));
    });
    EXPECT_EQ(dialog.calls.back(), "hide");
}

TEST(MessageMap, DefaultRunsTheLayersHandlingOfTheMessageBeingHandled) {
    TestApp app;
    const HICON icon = app.LoadIcon(IDR_MAINFRAME);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(IconOf(icon)->availableSizes(), (QList<QSize>{{16, 16}, {32, 32}}));
    TestDialog dialog;
    RunModal(dialog, [&](QDialog* window) {
        dialog.m_iconDefault = false;
        dialog.calls.clear();
        dialog.SetIcon(icon, TRUE);
        EXPECT_EQ(dialog.calls, (Calls{"set icon"}));
        EXPECT_TRUE(window->windowIcon().isNull());

        // The handler sends WM_SETTEXT, which has no handler, before it calls Default().
        dialog.m_iconDefault = true;
        EXPECT_EQ(dialog.SetIcon(icon, TRUE), nullptr);  // no big icon before
        EXPECT_EQ(dialog.SetIcon(icon, FALSE), nullptr);
        EXPECT_EQ(dialog.SetIcon(icon, TRUE), icon);
        EXPECT_FALSE(window->windowIcon().isNull());
        EXPECT_EQ(window->windowTitle(), "nested");

        dialog.m_hIcon = icon;
        EXPECT_EQ(reinterpret_cast<HICON>(dialog.SendMessage(WM_QUERYDRAGICON)), icon);
    });
}

}  // namespace
