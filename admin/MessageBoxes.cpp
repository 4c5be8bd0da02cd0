#include "admin/MessageBoxes.h"

#include <QMessageBox>

#include "admin/AdminTexts.h"

namespace tw::admin {

namespace {
BoxAnswerer gAnswerer;
}  // namespace

void ShowError(QWidget* parent, const QString& text) {
    if (gAnswerer) {
        gAnswerer(BoxKind::Error, text);
        return;
    }
    QMessageBox::critical(parent, kCaption, text);
}

bool AskYesNo(QWidget* parent, const QString& text) {
    if (gAnswerer) return gAnswerer(BoxKind::Question, text);
    return QMessageBox::question(parent, kCaption, text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

CBoxAnswererScope::CBoxAnswererScope(BoxAnswerer answerer) : previous_(std::exchange(gAnswerer, std::move(answerer))) {}

CBoxAnswererScope::~CBoxAnswererScope() { gAnswerer = std::move(previous_); }

}  // namespace tw::admin
