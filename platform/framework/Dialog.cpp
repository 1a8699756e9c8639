// Dialogs made from the program's templates, run modally.
//
// A template gives positions and sizes in dialog units, which follow the dialog's font: a
// horizontal unit is a quarter of the font's average character width, a vertical unit an
// eighth of its height. So the window keeps its proportions in whatever font stands in, and
// Qt's logical pixels keep it the same size on a HiDPI screen. Where that makes it larger than
// the screen (a large scale factor on a laptop), the font and with it the window shrink.
#include <QApplication>
#include <QDialog>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <utility>
#include <vector>

#include "platform/framework/Widgets.h"
#include "platform/framework/WinApp.h"

namespace {

// a * b / c, rounded half away from zero, as dialog-unit conversions are.
int MulDiv(int a, int b, int c) {
    const long long product = static_cast<long long>(a) * b;
    return static_cast<int>((product >= 0 ? product + c / 2 : product - c / 2) / c);
}

// The template's font, or the application's font at the template's size when that face is
// missing (the program's Japanese face is, on most systems).
QFont DialogFont(const DLGTEMPLATE& tpl) {
    QFont font = QApplication::font();
    if (!(tpl.style & DS_SETFONT)) {
        return font;
    }
    const QString face = QString::fromUtf8(tpl.faceName ? tpl.faceName : "");
    if (QFontDatabase::hasFamily(face)) {
        font = QFont(face);
    }
    font.setPointSize(tpl.pointSize);
    if (tpl.weight) {
        font.setWeight(static_cast<QFont::Weight>(tpl.weight));
    }
    font.setItalic(tpl.italic);
    return font;
}

// The average character width as dialog units define it.
int AverageCharWidth(const QFontMetrics& metrics) {
    const int alphabet = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return (alphabet / 26 + 1) / 2;
}

// The horizontal unit for the template: the font's average character width, widened where a
// label's caption would not fit its box. Captions are laid out for the template's own font;
// where another face stands in, a label could otherwise run under the control beside it. The
// whole window widens in proportion instead, so the layout keeps its shape.
int HorizontalBase(const DLGTEMPLATE& tpl, const QFontMetrics& metrics) {
    int baseX = AverageCharWidth(metrics);
    for (int i = 0; i < tpl.itemCount; ++i) {
        const DLGITEM& item = tpl.items[i];
        if (qstricmp(item.className, "STATIC") != 0 || item.cx <= 0 || !item.text) {
            continue;
        }
        QString caption = QString::fromUtf8(item.text);
        caption.remove(QLatin1Char('&'));
        const int needed = metrics.horizontalAdvance(caption);
        baseX = std::max(baseX, (needed * 4 + item.cx - 1) / item.cx);
    }
    return baseX;
}

// A font shrunk to fit the screen stays legible.
constexpr int kSmallestPixelSize = 9;
// How long after opening a window follows its frame to stay centred.
constexpr int kCentringMs = 1000;

// The window of a CDialog. It carries its input to the dialog object as messages.
class DialogWidget : public QDialog {
public:
    DialogWidget(CDialog* dialog, const DLGTEMPLATE& tpl)
        : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                               Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
          m_dialog(dialog) {
        setWindowTitle(QString::fromUtf8(tpl.caption ? tpl.caption : ""));
        // A window larger than the screen shrinks as a whole, font and units alike, so that it
        // keeps its proportions and every label still fits; the text area's content scrolls.
        QFont font = DialogFont(tpl);
        const QSize room = RoomOnScreen(nullptr);
        int baseX = 0;
        int baseY = 0;
        // The template's own position is (0, 0): the window opens centred instead (Place).
        const auto pixels = [&](int x, int y, int cx, int cy) {
            return QRect(MulDiv(x, baseX, 4), MulDiv(y, baseY, 8), MulDiv(cx, baseX, 4),
                         MulDiv(cy, baseY, 8));
        };
        for (int size = QFontInfo(font).pixelSize();; font.setPixelSize(--size)) {
            const QFontMetrics metrics(font);
            baseX = HorizontalBase(tpl, metrics);
            baseY = metrics.height();
            const QSize needed = pixels(0, 0, tpl.cx, tpl.cy).size();
            if (size <= kSmallestPixelSize || room.isEmpty() ||
                (needed.width() <= room.width() && needed.height() <= room.height())) {
                break;
            }
        }
        setFont(font);
        setFixedSize(pixels(0, 0, tpl.cx, tpl.cy).size());

        QWidget* previousTabStop = nullptr;
        QLabel* labelAwaitingBuddy = nullptr;
        for (int i = 0; i < tpl.itemCount; ++i) {
            const DLGITEM& item = tpl.items[i];
            QWidget* control = CreateControl(item, pixels(item.x, item.y, item.cx, item.cy), this);
            if (!control) {
                continue;
            }
            m_items.emplace_back(item.id, control);
            control->installEventFilter(this);
            if (item.style & WS_TABSTOP) {
                // A label's mnemonic moves the focus to the next control the user can tab to.
                if (labelAwaitingBuddy) {
                    labelAwaitingBuddy->setBuddy(control);
                    labelAwaitingBuddy = nullptr;
                }
                if (previousTabStop) {
                    setTabOrder(previousTabStop, control);
                }
                previousTabStop = control;
            }
            if (auto* label = qobject_cast<QLabel*>(control);
                label && label->text().contains(QLatin1Char('&'))) {
                labelAwaitingBuddy = label;
            }
            if (auto* button = qobject_cast<QPushButton*>(control)) {
                connect(button, &QPushButton::clicked, this,
                        [this, id = item.id] { Command(id, BN_CLICKED); });
            }
        }
        installEventFilter(this);  // Alt keys while no control has the focus
    }

    QWidget* Item(int nID) const {
        for (const auto& [id, control] : m_items) {
            if (id == nID) {
                return control;
            }
        }
        return nullptr;
    }

    void FocusFirstTabStop() {
        for (const auto& item : m_items) {
            QWidget* control = item.second;
            if (control->focusPolicy() != Qt::NoFocus && control->isEnabled()) {
                control->setFocus(Qt::TabFocusReason);
                return;
            }
        }
    }

    // The window is centred on the screen with its frame. The frame is the window manager's,
    // known only once the window is shown and framed, so the window is centred again as the frame
    // becomes known, for a short while after it opens (not to fight a user who moves it).
    void Place() {
        m_centring = true;
        Centre();
    }

protected:
    void paintEvent(QPaintEvent* event) override {
        Dispatch(m_dialog, WM_PAINT, 0, 0, [&] {
            QDialog::paintEvent(event);
            return LRESULT{0};
        });
    }

    void showEvent(QShowEvent* event) override {
        Dispatch(m_dialog, WM_SHOWWINDOW, TRUE, 0, [&] {
            QDialog::showEvent(event);
            return LRESULT{0};
        });
        if (m_centring) {
            QTimer::singleShot(0, this, [this] { Centre(); });
            QTimer::singleShot(kCentringMs, this, [this] { m_centring = false; });
        }
    }

    void moveEvent(QMoveEvent* event) override {
        QDialog::moveEvent(event);
        if (m_centring) {
            Centre();
        }
    }

    void hideEvent(QHideEvent* event) override {
        Dispatch(m_dialog, WM_SHOWWINDOW, FALSE, 0, [&] {
            QDialog::hideEvent(event);
            return LRESULT{0};
        });
    }

    // Alt with a character key is the dialog's alone, whichever control has the focus: a
    // mnemonic acts at once, any other such key is dropped. Left to the controls, a list would
    // take it for its type-ahead search (Alt+C choosing COM2), and a button's own mnemonic
    // would click only after Qt's animated click of about 100 ms, so that a key pressed meanwhile
    // could still change the settings that click goes on to use. Alt with a key that types no
    // character (Alt+Down opening a list) goes to the control as usual.
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::ShortcutOverride && event->type() != QEvent::KeyPress) {
            return QDialog::eventFilter(watched, event);
        }
        auto* key = static_cast<QKeyEvent*>(event);
        const Qt::KeyboardModifiers modifiers = key->modifiers();
        const bool altCharacter = (modifiers & Qt::AltModifier) &&
                                  !(modifiers & (Qt::ControlModifier | Qt::MetaModifier)) &&
                                  !key->text().isEmpty() && key->text().at(0).isPrint();
        if (!altCharacter) {
            return QDialog::eventFilter(watched, event);
        }
        if (event->type() == QEvent::ShortcutOverride) {
            // Taken as a key press instead, which comes next: Qt's shortcuts stay out of it.
            event->accept();
            return true;
        }
        Mnemonic(key->key());
        return true;
    }

    // Reaches here only when the focused control did not take the key: the text area takes
    // Enter, an open drop-down takes Enter and Esc, a list passes both on.
    void keyPressEvent(QKeyEvent* event) override {
        const bool plain =
            event->modifiers() == Qt::NoModifier ||
            (event->key() == Qt::Key_Enter && event->modifiers() == Qt::KeypadModifier);
        if (plain && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
            if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
                button->click();
            } else {
                Command(IDOK, BN_CLICKED);
            }
            return;
        }
        if (plain && event->key() == Qt::Key_F1) {
            Command(ID_HELP, BN_CLICKED);
            return;
        }
        QDialog::keyPressEvent(event);  // Esc: reject()
    }

    // Esc and the close box. The dialog ends only if its IDCANCEL handler ends it.
    void reject() override { Command(IDCANCEL, BN_CLICKED); }

private:
    // The first control, in template order, whose caption marks key as its mnemonic: a button
    // is clicked, a label gives the focus to the control it names. A disabled or hidden control
    // takes no mnemonic.
    void Mnemonic(int key) {
        for (const auto& item : m_items) {
            QWidget* control = item.second;
            if (!control->isVisible() || !control->isEnabled()) {
                continue;
            }
            auto* button = qobject_cast<QAbstractButton*>(control);
            auto* label = qobject_cast<QLabel*>(control);
            const QString caption = button ? button->text() : label ? label->text() : QString();
            const QKeySequence mnemonic = QKeySequence::mnemonic(caption);
            if (mnemonic.isEmpty() || mnemonic[0].key() != key) {
                continue;
            }
            if (button) {
                button->click();
            } else if (QWidget* buddy = label->buddy(); buddy && buddy->isEnabled()) {
                buddy->setFocus(Qt::ShortcutFocusReason);
            }
            return;
        }
    }

    void Centre() {
        const QRect area = AvailableArea(nullptr);
        const QRect withFrame = frameGeometry();
        const QPoint target = area.topLeft() + QPoint((area.width() - withFrame.width()) / 2,
                                                      (area.height() - withFrame.height()) / 2);
        if (withFrame.topLeft() != target) {
            move(pos() + target - withFrame.topLeft());
        }
    }

    void Command(UINT nID, UINT nCode) {
        m_dialog->SendMessage(WM_COMMAND, CommandWParam(nID, nCode), 0);
    }

    CDialog* m_dialog;
    bool m_centring = false;
    std::vector<std::pair<int, QWidget*>> m_items;  // in template order
};

DialogWidget* DialogOf(HWND hWnd) {
    return dynamic_cast<DialogWidget*>(WidgetOf(hWnd));
}

}  // namespace

BEGIN_MESSAGE_MAP(CDialog, CWnd)
ON_COMMAND(IDOK, &CDialog::OnOK)
ON_COMMAND(IDCANCEL, &CDialog::OnCancel)
END_MESSAGE_MAP()

CDialog::CDialog(UINT nIDTemplate, CWnd*) : m_nIDTemplate(nIDTemplate) {}

CDialog::~CDialog() {
    delete WidgetOf(m_hWnd);
    m_hWnd = nullptr;
}

INT_PTR CDialog::DoModal() {
    if (!m_hWnd) {
        const DLGTEMPLATE* tpl = FindDialogResource(m_nIDTemplate);
        if (!tpl) {
            return -1;
        }
        m_hWnd = HandleOf(new DialogWidget(this, *tpl));
    }
    DialogWidget* window = DialogOf(m_hWnd);
    if (OnInitDialog()) {
        window->FocusFirstTabStop();
    }
    window->Place();
    return window->exec();
}

void CDialog::EndDialog(int nResult) {
    SendCall([&] {
        if (DialogWidget* window = DialogOf(m_hWnd)) {
            window->done(nResult);
        }
    });
}

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK() {
    EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

// Commands the dialog does not handle go on to the application.
BOOL CDialog::OnCmdMsg(UINT nID, UINT nCode) {
    if (CWnd::OnCmdMsg(nID, nCode)) {
        return TRUE;
    }
    CWinApp* app = AfxGetApp();
    return app && app->OnCmdMsg(nID, nCode);
}

void CDialog::DoDataExchange(CDataExchange*) {}

BOOL CDialog::UpdateData(BOOL bSaveAndValidate) {
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl) {
    if (rControl.m_hWnd) {
        return;
    }
    if (DialogWidget* window = DialogOf(pDX->m_pDlgWnd->m_hWnd)) {
        rControl.m_hWnd = HandleOf(window->Item(nIDC));
    }
}
