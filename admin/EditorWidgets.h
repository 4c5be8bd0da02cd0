// Pieces the account editors' widgets share: labelled fields, buttons that never take Enter from the
// dialog's default button, the nine right boxes, and the way a check's outcome reaches the administrator.
#pragma once

#include <QString>
#include <QWidget>
#include <array>
#include <functional>
#include <string>

#include "admin/EditorChecks.h"

class QCheckBox;
class QDialog;
class QHBoxLayout;
class QLabel;
class QPushButton;

namespace tw::admin {

inline QString Q(const std::string& text) { return QString::fromStdString(text); }
inline std::string S(const QString& text) { return text.toStdString(); }

// A label for `field` (its buddy); the field carries the label's text as accessible name.
QLabel* LabelFor(const QString& text, QWidget* field, QWidget* parent);
// A push button that is never the default one (Enter stays with the dialog's default button).
QPushButton* MakeButton(const QString& text, QWidget* parent);
QCheckBox* MakeCheckBox(const QString& text, QWidget* parent);
// The row of a dialog's two buttons, right-aligned: `acceptText` ("保存" or "确定"), the default button
// (Enter), accepts; "取消" rejects.
QHBoxLayout* AcceptCancelRow(QDialog* dialog, const QString& acceptText);
// A narrow "..." button; `opens` (what it opens) is its accessible description.
QPushButton* MakeBrowseButton(const QString& opens, QWidget* parent);

// Runs `attempt(false)`; when it asks, asks the administrator and on Yes runs `attempt(true)`. A refusal is
// shown as an error box. Unless it went through, `focus` gets the field concerned. True when it went through.
bool Settle(QWidget* parent, const std::function<FormCheck(bool confirmed)>& attempt,
            const std::function<void(AccountField)>& focus);

// The nine right boxes: "文件权限" (读取 写入 删除 更名 追加) above "目录权限" (显示 创建 删除 更名).
class CRightsBoxes : public QWidget {
public:
    explicit CRightsBoxes(QWidget* parent = nullptr);
    RightsSet Rights() const;
    // Sets the boxes without calling the change callback.
    void SetRights(const RightsSet& rights);
    // Called when the administrator changes a box.
    void OnChanged(std::function<void()> changed) { changed_ = std::move(changed); }
    // In box order: read, write, delete, rename, append, list, create, remove, rename directories.
    QCheckBox* Box(int index) const { return boxes_[index]; }

private:
    std::array<QCheckBox*, 9> boxes_{};
    std::function<void()> changed_;
};

}  // namespace tw::admin
