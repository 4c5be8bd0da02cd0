// The folder browser titled "请选择一个目录:". Tests install a chooser that answers at once, with no
// native dialog.
#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace tw::admin {

// Answers the browser instead of the administrator: the chosen directory, empty for cancel.
using DirectoryChooser = std::function<QString(const QString& title, const QString& start)>;

// The chosen directory, or empty when cancelled.
QString ChooseDirectory(QWidget* parent, const QString& start);

// Installs `chooser` for the life of the object (GUI thread only); the previous one comes back after.
class CDirectoryChooserScope {
public:
    explicit CDirectoryChooserScope(DirectoryChooser chooser);
    ~CDirectoryChooserScope();
    CDirectoryChooserScope(const CDirectoryChooserScope&) = delete;
    CDirectoryChooserScope& operator=(const CDirectoryChooserScope&) = delete;

private:
    DirectoryChooser previous_;
};

}  // namespace tw::admin
