// The controls of a dialog: each class of a template control is one Qt widget, and the control
// messages and operations work on that widget.
//
//   STATIC    QLabel, top-left aligned; "&" marks the mnemonic of the control after it
//   COMBOBOX  a drop-down list (a QComboBox the user cannot type into), as wide as its longest
//             entry needs; its entries' tooltips come from SetListToolTips
//   BUTTON    a push button, clicked by its mnemonic; never a default button
//   EDIT      the text area (TextArea.h): read-only, multi-line, scrolling vertically
#include <QAbstractItemView>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <algorithm>
#include <string>
#include <vector>

#include "platform/framework/TextArea.h"
#include "platform/framework/Widgets.h"

namespace {

// Set once at start-up, before any window opens, and only read afterwards.
ListToolTips g_listToolTips = nullptr;

// A template gives a list the height of its opened drop-down: the closed box keeps its natural
// height, and the drop-down shows as many rows as fit in the rest.
class DropDownList : public QComboBox {
public:
    DropDownList(const QRect& rect, QWidget* parent)
        : QComboBox(parent), m_width(rect.width()), m_dropDownHeight(rect.height()) {
        // A menu-like popup, which some styles use for lists, ignores the number of rows.
        setStyleSheet(QStringLiteral("QComboBox { combobox-popup: 0; }"));
        setSizeAdjustPolicy(QComboBox::AdjustToContents);
        connect(model(), &QAbstractItemModel::rowsInserted, this,
                [this] { resize(std::max(m_width, sizeHint().width()), height()); });
    }

    // Tooltips are asked for afresh at each opening, so that what they tell (which device a
    // port is) is true now.
    void showPopup() override {
        if (g_listToolTips) {
            std::vector<std::string> entries;
            for (int i = 0; i < count(); ++i) {
                entries.push_back(itemText(i).toLocal8Bit().toStdString());
            }
            const std::vector<std::string> tips = g_listToolTips(entries);
            for (int i = 0; i < count() && static_cast<size_t>(i) < tips.size(); ++i) {
                const std::string& tip = tips[static_cast<size_t>(i)];
                setItemData(i,
                            tip.empty()
                                ? QVariant()
                                : QVariant(QString::fromLocal8Bit(QByteArray::fromStdString(tip))),
                            Qt::ToolTipRole);
            }
        }
        if (count() > 0) {
            const int row = std::max(1, view()->sizeHintForRow(0));
            setMaxVisibleItems(std::max(1, (m_dropDownHeight - height()) / row));
        }
        QComboBox::showPopup();
    }

private:
    int m_width;
    int m_dropDownHeight;
};

LPCSTR TextParam(LPARAM lParam) {
    const auto* text = reinterpret_cast<LPCSTR>(lParam);
    return text ? text : "";
}

}  // namespace

void SetListToolTips(ListToolTips tips) {
    g_listToolTips = tips;
}

QWidget* CreateControl(const DLGITEM& item, const QRect& rect, QWidget* dialog) {
    const QString text = QString::fromUtf8(item.text ? item.text : "");
    QRect geometry = rect;
    QWidget* control = nullptr;
    if (qstricmp(item.className, "STATIC") == 0) {
        // The dialog's units are wide enough for every label's caption (Dialog.cpp).
        auto* label = new QLabel(text, dialog);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        control = label;
    } else if (qstricmp(item.className, "COMBOBOX") == 0) {
        auto* list = new DropDownList(rect, dialog);
        geometry.setHeight(list->sizeHint().height());
        control = list;
    } else if (qstricmp(item.className, "BUTTON") == 0) {
        auto* button = new QPushButton(text, dialog);
        button->setAutoDefault(false);
        control = button;
    } else if (qstricmp(item.className, "EDIT") == 0) {
        auto* area = new TextArea(dialog);
        area->setText(text.toLocal8Bit());
        if (!(item.style & WS_BORDER)) {
            area->setFrameShape(QFrame::NoFrame);
        }
        control = area;
    } else {
        return nullptr;
    }
    control->setGeometry(geometry);
    control->setFocusPolicy(item.style & WS_TABSTOP ? Qt::StrongFocus : Qt::NoFocus);
    return control;
}

QByteArray WidgetText(QWidget* widget) {
    if (auto* area = qobject_cast<TextArea*>(widget)) {
        return area->text();
    }
    if (auto* list = qobject_cast<QComboBox*>(widget)) {
        return list->currentText().toLocal8Bit();
    }
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        return button->text().toLocal8Bit();
    }
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        return label->text().toLocal8Bit();
    }
    return widget->windowTitle().toLocal8Bit();
}

void SetWidgetText(QWidget* widget, const QByteArray& text) {
    if (auto* area = qobject_cast<TextArea*>(widget)) {
        area->setText(text);
    } else if (qobject_cast<QComboBox*>(widget)) {
        // A drop-down list shows its selection and has no text of its own.
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        button->setText(QString::fromLocal8Bit(text));
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
        label->setText(QString::fromLocal8Bit(text));
    } else {
        widget->setWindowTitle(QString::fromLocal8Bit(text));
    }
}

bool ControlMessage(QWidget* widget, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    if (auto* area = qobject_cast<TextArea*>(widget); area && message == EM_REPLACESEL) {
        // Nothing in a read-only text area can be undone, so the undo flag changes nothing.
        area->replaceSelection(QByteArray(TextParam(lParam)));
        *result = 0;
        return true;
    }
    auto* list = qobject_cast<QComboBox*>(widget);
    if (list && message == CB_ADDSTRING) {
        list->addItem(QString::fromLocal8Bit(TextParam(lParam)));
        *result = list->count() - 1;
        return true;
    }
    if (list && message == CB_SETCURSEL) {
        // An index out of range clears the selection, as -1 does.
        const int index = static_cast<int>(wParam);
        list->setCurrentIndex(index);
        *result = index >= 0 && list->currentIndex() == index ? index : CB_ERR;
        return true;
    }
    return false;
}

void CEdit::ReplaceSel(LPCSTR text, BOOL bCanUndo) {
    SendMessage(EM_REPLACESEL, bCanUndo, reinterpret_cast<LPARAM>(text));
}

int CComboBox::AddString(LPCSTR text) {
    return static_cast<int>(SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text)));
}

int CComboBox::SetCurSel(int nSelect) {
    return static_cast<int>(SendMessage(CB_SETCURSEL, static_cast<WPARAM>(nSelect)));
}
