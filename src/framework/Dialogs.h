// The small standard dialogs: a message box, a one-line input box and a
// Yes/No confirmation. Each can be replaced by a test double.
#pragma once

#include <functional>
#include <string>

void ShowMessage(const std::string& text);
// Shows `prompt` with `value` as initial text; true and the edited text on OK.
bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value);
// True when the user answers Yes.
bool ConfirmYesNo(const std::string& text);

struct TDialogHooks {
    std::function<void(const std::string& text)> showMessage;
    std::function<bool(const std::string& caption, const std::string& prompt, std::string& value)> inputQuery;
    std::function<bool(const std::string& text)> confirm;
};

// Installs the doubles (an empty member keeps the real dialog); returns the
// previous hooks.
TDialogHooks SetDialogHooks(TDialogHooks hooks);
