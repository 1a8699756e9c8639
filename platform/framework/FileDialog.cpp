// CFileDialog on Qt's own file dialog (never the desktop's native one, so the behaviour below
// is the same on every desktop).
//
// What the framework's dialog does and Qt's does not, and how it is made here:
// - The filter "text|patterns|text|patterns||" becomes Qt name filters. The text is shown as
//   given; the patterns (separated by ';') go into the parentheses Qt reads them from, with
//   "*.*" as "*": on Linux "*.*" would hide every name without a dot.
// - OFN_CREATEPROMPT asks before a file that does not exist is chosen, in the dialog's accept
//   step, after Qt has added the default extension; declining keeps the dialog open.
// - Without OFN_OVERWRITEPROMPT an existing file is chosen without asking.
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QStringList>
#include <QWidget>

#include "platform/framework/CodePage.h"
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

protected:
    void accept() override {
        if (m_createPrompt) {
            // The same list Qt's accept goes on with: the typed name with the default extension,
            // or the file selected in the list.
            const QStringList files = selectedFiles();
            if (!files.isEmpty()) {
                const QFileInfo info(files.first());
                if (!info.exists() && !AskToCreate(info)) {
                    return;
                }
            }
        }
        QFileDialog::accept();
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
};

}  // namespace

CFileDialog::CFileDialog(BOOL bOpenFileDialog, LPCSTR lpszDefExt, LPCSTR lpszFileName,
                         DWORD dwFlags, LPCSTR lpszFilter, CWnd* pParentWnd)
    : m_bOpenFileDialog(bOpenFileDialog),
      m_strDefExt(lpszDefExt),
      m_strFileName(lpszFileName),
      m_dwFlags(dwFlags),
      m_strFilter(lpszFilter),
      m_pParentWnd(pParentWnd) {}

INT_PTR CFileDialog::DoModal() {
    CWnd* owner = m_pParentWnd != nullptr ? m_pParentWnd : AfxGetMainWnd();
    QWidget* parent = nullptr;
    if (owner != nullptr && owner->GetSafeHwnd() != nullptr) {
        parent = WidgetOf(owner->GetSafeHwnd())->window();
    }

    FrameworkFileDialog dialog(parent, (m_dwFlags & OFN_CREATEPROMPT) != 0);
    // First, before anything that would set up a native dialog.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, (m_dwFlags & OFN_OVERWRITEPROMPT) == 0);
    if (m_bOpenFileDialog) {
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile);
    } else {
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
    }
    if (!m_strDefExt.IsEmpty()) {
        dialog.setDefaultSuffix(FromCodePage(QByteArray(m_strDefExt)));
    }
    const QStringList nameFilters = NameFilters(FromCodePage(QByteArray(m_strFilter)));
    if (!nameFilters.isEmpty()) {
        dialog.setNameFilters(nameFilters);  // the first is selected
    }
    if (!m_strFileName.IsEmpty()) {
        dialog.selectFile(FromCodePage(QByteArray(m_strFileName)));
    }

    QString chosen;
    QObject::connect(&dialog, &QFileDialog::fileSelected,
                     [&chosen](const QString& file) { chosen = file; });
    // exec() makes the dialog modal to the whole application, so the owner takes no input.
    if (dialog.exec() != QDialog::Accepted || chosen.isEmpty()) {
        return IDCANCEL;
    }
    m_strPathName = CString(ToCodePage(chosen).constData());
    return IDOK;
}

CString CFileDialog::GetPathName() const {
    return m_strPathName;
}
