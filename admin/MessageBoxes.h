// The one way the administration program shows an error box or asks a question, captioned
// "TarnwickFTP服务器". Tests install an answerer and get the text at once, with no dialog and no polling.
#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace tw::admin {

enum class BoxKind { Error, Question };

// Answers a box instead of the user: returns true for "Yes" (ignored for errors).
using BoxAnswerer = std::function<bool(BoxKind kind, const QString& text)>;

// An error box with an OK button.
void ShowError(QWidget* parent, const QString& text);
// A Yes/No question; true for Yes.
bool AskYesNo(QWidget* parent, const QString& text);

// Installs `answerer` for the life of the object (GUI thread only); the previous one comes back after.
class CBoxAnswererScope {
public:
    explicit CBoxAnswererScope(BoxAnswerer answerer);
    ~CBoxAnswererScope();
    CBoxAnswererScope(const CBoxAnswererScope&) = delete;
    CBoxAnswererScope& operator=(const CBoxAnswererScope&) = delete;

private:
    BoxAnswerer previous_;
};

}  // namespace tw::admin
