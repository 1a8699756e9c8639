#include "tests/support/Window.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include "tests/support/Wait.h"

QWidget* Widget(const CWnd& wnd) {
    return reinterpret_cast<QWidget*>(wnd.m_hWnd);
}

std::string Text(const CWnd& wnd) {
    CString text;
    wnd.GetWindowText(text);
    return std::string(text);
}

void Press(CButton& button) {
    QTest::mouseClick(Widget(button), Qt::LeftButton);
}

bool Choose(CComboBox& list, const std::string& entry) {
    auto* combo = qobject_cast<QComboBox*>(Widget(list));
    const int index = combo ? combo->findText(QString::fromStdString(entry)) : -1;
    if (index >= 0) {
        combo->setCurrentIndex(index);
    }
    return index >= 0;
}

std::string Com(int n) {
    return "COM" + std::to_string(n);
}

bool Idle(const CCaptureDlg& dlg) {
    return dlg.m_bReceiving == 0 && Text(dlg.m_btnReceive) == "Receive(&R)" &&
           dlg.m_cmbPort.IsWindowEnabled() && dlg.m_cmbBaudrate.IsWindowEnabled();
}

bool Waiting(const CCaptureDlg& dlg) {
    return Text(dlg.m_editText) == "Getting data...\r\n";
}

std::string Stored(const CCaptureDlg& dlg) {
    return std::string(reinterpret_cast<const char*>(dlg.m_pBuffer),
                       static_cast<std::size_t>(dlg.m_nLength));
}

INT_PTR WithWindow(const std::function<void(CCaptureDlg&)>& body) {
    CCaptureDlg dlg;
    QTimer::singleShot(0, [&] {
        body(dlg);
        if (Widget(dlg)->isVisible()) {
            QTest::keyClick(Widget(dlg), Qt::Key_Escape);
        }
    });
    return dlg.DoModal();
}

bool StartCapture(CCaptureDlg& dlg, int n) {
    if (!Choose(dlg.m_cmbPort, Com(n))) {
        return false;
    }
    Press(dlg.m_btnReceive);
    // A port that fails to open leaves the window idle at once.
    return WaitUntil([&] { return Waiting(dlg) || Idle(dlg); }) && Waiting(dlg);
}

// Windows are answered by kind as they come up.
SaveRun Save(CCaptureDlg& dlg, const std::string& path) {
    SaveRun run;
    const std::shared_ptr<int> answering = AnswerEachModal(
        [&run, path](QWidget* modal) {
            if (auto* files = qobject_cast<QFileDialog*>(modal)) {
                ++run.fileDialogs;
                if (auto* name = files->findChild<QLineEdit*>("fileNameEdit")) {
                    name->setText(QString::fromStdString(path));
                }
                QTimer::singleShot(0, files, &QDialog::accept);
            } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                if (QAbstractButton* yes = box->button(QMessageBox::Yes)) {
                    ++run.createPrompts;
                    QTimer::singleShot(0, yes, &QAbstractButton::click);
                } else {
                    run.messages.push_back(box->text().toStdString());
                    QTimer::singleShot(0, box, &QDialog::accept);
                }
            } else if (!modal->findChild<QProgressBar*>()) {
                run.unexpected.push_back(modal->metaObject()->className());
                QTimer::singleShot(0, modal, &QWidget::close);
            }
        },
        Widget(dlg), 60000);
    Press(dlg.m_btnSave);
    return run;
}
