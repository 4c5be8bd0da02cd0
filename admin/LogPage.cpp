#include "admin/LogPage.h"

#include <QAction>
#include <QColor>
#include <QListView>
#include <QMenu>
#include <QVBoxLayout>

#include "admin/AdminTexts.h"

namespace tw::admin {

void CLogListModel::Append(std::vector<CLogPageModel::Line> lines) {
    if (lines.empty()) return;
    beginResetModel();
    lines_.Append(std::move(lines));
    endResetModel();
}

void CLogListModel::Clear() {
    beginResetModel();
    lines_.Clear();
    endResetModel();
}

int CLogListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(lines_.Size());
}

QVariant CLogListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || static_cast<size_t>(index.row()) >= lines_.Size()) return {};
    const auto& line = lines_.At(static_cast<size_t>(index.row()));
    if (role == Qt::DisplayRole) return QString::fromStdString(line.text);
    if (role == Qt::ForegroundRole) {
        const Rgb c = LevelColour(line.level);
        return QColor(c.red, c.green, c.blue);
    }
    return {};
}

CLogPage::CLogPage(QWidget* parent) : QWidget(parent), view_(new QListView(this)) {
    view_->setModel(&model_);
    view_->setUniformItemSizes(true);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->setContextMenuPolicy(Qt::ActionsContextMenu);
    auto* clear = new QAction(kClearAll, view_);
    connect(clear, &QAction::triggered, this, [this] { Clear(); });
    view_->addAction(clear);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view_);
}

void CLogPage::Append(std::vector<CLogPageModel::Line> lines) {
    if (lines.empty()) return;
    model_.Append(std::move(lines));
    const QModelIndex newest = model_.index(model_.rowCount() - 1);
    view_->setCurrentIndex(newest);
    view_->scrollTo(newest);
}

}  // namespace tw::admin
