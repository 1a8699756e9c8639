// The layer's main routine and the message boxes the program shows.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QMessageBox>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "platform/framework/Framework.h"
#include "res/resource.h"
#include "tests/support/Wait.h"
#include "tests/support/Window.h"

namespace {

// What the main routine had set up by the time it started the application.
class StartedApp : public CWinApp {
public:
    int starts = 0;
    std::string name;
    QString version;
    BOOL InitInstance() override {
        ++starts;
        name = AfxGetAppName();
        version = QCoreApplication::applicationVersion();
        return FALSE;  // ends at once, as the program does once its window has closed
    }
};

// Named after the executable file, not after the link it was started through (argv[0]).
TEST(AfxWinMain, NamesTheApplicationAfterTheExecutableAndStartsItOnce) {
    StartedApp app;
    std::string path = "/usr/bin/kavosen";
    char* argv[] = {path.data(), nullptr};
    EXPECT_EQ(AfxWinMain(1, argv), 0);
    EXPECT_EQ(app.starts, 1);
    EXPECT_EQ(app.name, "test_framework");
    EXPECT_EQ(app.version, "1.2.0.0");
}

struct SeenBox {
    QWidget* owner;
    Qt::WindowModality modality;
    QString title;
    QString text;
    qsizetype buttons;
    QMessageBox::Icon icon;
    int width;
};

// Records a message box and presses its OK button once its own modal loop runs.
std::function<void(QWidget*)> Record(std::vector<SeenBox>& seen) {
    return [&seen](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        seen.push_back({box->parentWidget(), box->windowModality(), box->windowTitle(), box->text(),
                        box->buttons().size(), box->icon(), box->width()});
        QTimer::singleShot(0, box->button(QMessageBox::Ok), &QAbstractButton::click);
    };
}

TEST(MessageBox, CaptionedWithTheAppsNameAndModalToTheMainWindowWhenItIsShown) {
    CWinApp app("TestApp");
    std::vector<SeenBox> seen;
    WithWindow([&](CCaptureDlg& dialog) {
        QWidget* window = Widget(dialog);
        app.m_pMainWnd = &dialog;
        AnswerModals({Record(seen), Record(seen)}, window);
        EXPECT_EQ(dialog.MessageBox("Save complete."), IDOK);
        EXPECT_EQ(AfxMessageBox(IDP_SOCKETS_INIT_FAILED), IDOK);
        // Once the window is hidden, a box has no owner.
        dialog.EndDialog(IDOK);
        AnswerModals({Record(seen)}, nullptr);
        EXPECT_EQ(AfxMessageBox(IDP_SOCKETS_INIT_FAILED), IDOK);
        std::rotate(seen.begin(), seen.end() - 1, seen.end());  // the unowned box first
        ASSERT_EQ(seen.size(), 3u);
        EXPECT_EQ(seen[0].owner, nullptr);
        EXPECT_EQ(seen[0].modality, Qt::ApplicationModal);
        for (const SeenBox& box : {seen[1], seen[2]}) {
            EXPECT_EQ(box.owner, window);
            EXPECT_EQ(box.modality, Qt::WindowModal);
        }
        for (const SeenBox& box : seen) {
            EXPECT_EQ(box.title, "TestApp");
            EXPECT_EQ(box.buttons, 1);
            EXPECT_EQ(box.icon, QMessageBox::NoIcon);
        }
        EXPECT_EQ(seen[0].text, QString::fromUtf8("Windows ｿｹｯﾄの初期化に失敗しました。"));
        EXPECT_EQ(seen[1].text, "Save complete.");
        app.m_pMainWnd = nullptr;
    });
}

// A window manager cuts a caption that does not fit the title bar.
TEST(MessageBox, IsWideEnoughForItsWholeCaption) {
    CWinApp app("KAVOSEN_WIN, with a caption far longer than the message");
    std::vector<SeenBox> seen;
    AnswerModals({Record(seen)}, nullptr);
    EXPECT_EQ(AfxMessageBox(IDP_SOCKETS_INIT_FAILED), IDOK);
    ASSERT_EQ(seen.size(), 1u);
    QFont titleFont = QFontDatabase::systemFont(QFontDatabase::TitleFont);
    titleFont.setBold(true);
    EXPECT_GT(seen[0].width, QFontMetrics(titleFont).horizontalAdvance(seen[0].title) + 60);
}

}  // namespace
