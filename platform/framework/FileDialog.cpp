// CFileDialog on Qt's own file dialog (never the desktop's native one, so the behaviour below
// is the same on every desktop).
//
// What the framework's dialog does and Qt's does not, and how it is made here:
// - The filter "text|patterns|text|patterns||" becomes Qt name filters. The text is shown as
//   given; the patterns (separated by ';') go into the parentheses Qt reads them from, with
//   "*.*" as "*": on Linux "*.*" would hide every name without a dot.
// - The dialog names a file and leaves every check of it to opening it. Qt's own accept step
//   refuses, without a word, a new name longer than the file system allows; here the name is
//   chosen and its open fails, which the user is told. OFN_CREATEPROMPT asks before a file that
//   does not exist is chosen, after Qt has added the default extension; declining keeps the
//   dialog open. An existing file is chosen without asking.
// - The chosen name is handed over as the file system's bytes (QFile::encodeName: UTF-8 on
//   Linux), so that the file written is the one the user named.
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QStringList>
#include <QWidget>

#include "platform/framework/File.h"
#include "platform/framework/Messages.h"
#include "platform/framework/Widgets.h"
#include "platform/framework/WinApp.h"

namespace {

QStringList NameFilters(const QString& filter) {
    QStringList nameFilters;
    const QStringList parts = filter.split(u'|');
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        const QString& text = parts[i];
        if (text.isEmpty()) {
            break;  // the "||" that ends the list
        }
        QStringList patterns = parts[i + 1].split(u';', Qt::SkipEmptyParts);
        for (QString& pattern : patterns) {
            pattern = pattern.trimmed();
            if (pattern == QLatin1String("*.*")) {
                pattern = QStringLiteral("*");
            }
        }
        // Qt takes the patterns from the last parentheses; with HideNameFilterDetails it shows
        // only what stands before them, which is the text as given.
        nameFilters << text + QStringLiteral(" (") + patterns.join(u' ') + u')';
    }
    return nameFilters;
}

class FrameworkFileDialog : public QFileDialog {
public:
    FrameworkFileDialog(QWidget* parent, bool createPrompt)
        : QFileDialog(parent), m_createPrompt(createPrompt) {}

    const QString& chosen() const { return m_chosen; }

protected:
    void accept() override {
        // The typed name with the default extension, or the file selected in the list; the
        // folder shown when the name is empty.
        const QStringList files = selectedFiles();
        const QFileInfo info(files.isEmpty() ? QString() : files.first());
        if (files.isEmpty() || info.isDir()) {
            QFileDialog::accept();  // moves into the folder named
            return;
        }
        if (m_createPrompt && !info.exists() && !AskToCreate(info)) {
            return;
        }
        m_chosen = files.first();
        QDialog::accept();
    }

private:
    bool AskToCreate(const QFileInfo& info) {
        const QString text =
            info.absoluteFilePath() +
            QStringLiteral("\nThis file does not exist.\nDo you want to create it?");
        return QMessageBox::question(this, windowTitle(), text, QMessageBox::Yes | QMessageBox::No,
                                     QMessageBox::Yes) == QMessageBox::Yes;
    }

    bool m_createPrompt;
    QString m_chosen;
};

}  // namespace

CFileDialog::CFileDialog(BOOL, LPCSTR lpszDefExt, LPCSTR, DWORD dwFlags, LPCSTR lpszFilter)
    : m_strDefExt(lpszDefExt), m_dwFlags(dwFlags), m_strFilter(lpszFilter) {}

INT_PTR CFileDialog::DoModal() {
    CWnd* owner = AfxGetMainWnd();
    QWidget* parent = nullptr;
    if (owner != nullptr && owner->GetSafeHwnd() != nullptr) {
        parent = WidgetOf(owner->GetSafeHwnd())->window();
    }

    FrameworkFileDialog dialog(parent, (m_dwFlags & OFN_CREATEPROMPT) != 0);
    // First, before anything that would set up a native dialog.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    if (!m_strDefExt.IsEmpty()) {
        dialog.setDefaultSuffix(QString::fromLocal8Bit(QByteArray(m_strDefExt)));
    }
    const QStringList nameFilters = NameFilters(QString::fromLocal8Bit(QByteArray(m_strFilter)));
    if (!nameFilters.isEmpty()) {
        dialog.setNameFilters(nameFilters);  // the first is selected
    }

    // Qt's dialog asks for more room than a small screen at a large scale factor has (a 1366x768
    // laptop at 200%), which would put its buttons off the screen: it is fitted to the screen as
    // every window of the layer is.
    dialog.resize(dialog.sizeHint().boundedTo(RoomOnScreen(parent)));

    // exec() makes the dialog modal to the whole application, so the owner takes no input.
    if (dialog.exec() != QDialog::Accepted || dialog.chosen().isEmpty()) {
        return IDCANCEL;
    }
    m_strPathName = CString(QFile::encodeName(dialog.chosen()).constData());
    return IDOK;
}

CString CFileDialog::GetPathName() const {
    return m_strPathName;
}
