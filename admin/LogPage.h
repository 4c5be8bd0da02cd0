// CLogPage: the "日志" page, the event lines coloured by level, the newest selected.
#pragma once

#include <QAbstractListModel>
#include <QWidget>

#include "admin/LogPageModel.h"

class QListView;

namespace tw::admin {

// Shows a CLogPageModel; a batch of lines is one model reset, so a busy server costs one repaint per
// event-loop turn rather than one per line.
class CLogListModel : public QAbstractListModel {
public:
    void Append(std::vector<CLogPageModel::Line> lines);
    void Clear();
    const CLogPageModel& Lines() const { return lines_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

private:
    CLogPageModel lines_;
};

class CLogPage : public QWidget {
public:
    explicit CLogPage(QWidget* parent = nullptr);

    void Append(std::vector<CLogPageModel::Line> lines);
    void Clear() { model_.Clear(); }
    const CLogListModel& Model() const { return model_; }
    QListView* View() const { return view_; }

private:
    CLogListModel model_;
    QListView* view_;
};

}  // namespace tw::admin
