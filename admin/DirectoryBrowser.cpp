#include "admin/DirectoryBrowser.h"

#include <QFileDialog>

#include "admin/AccountTexts.h"

namespace tw::admin {

namespace {
DirectoryChooser gChooser;
}  // namespace

QString ChooseDirectory(QWidget* parent, const QString& start) {
    if (gChooser) return gChooser(kBrowseTitle, start);
    return QFileDialog::getExistingDirectory(parent, kBrowseTitle, start);
}

CDirectoryChooserScope::CDirectoryChooserScope(DirectoryChooser chooser)
    : previous_(std::exchange(gChooser, std::move(chooser))) {}

CDirectoryChooserScope::~CDirectoryChooserScope() { gChooser = std::move(previous_); }

}  // namespace tw::admin
