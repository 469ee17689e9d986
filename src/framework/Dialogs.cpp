#include "framework/Dialogs.h"

#include "framework/Application.h"

#include <QInputDialog>
#include <QMessageBox>

namespace {
TDialogHooks g_hooks;

QString Title() { return QString::fromLocal8Bit(Application ? Application->Title : std::string()); }
}  // namespace

TDialogHooks SetDialogHooks(TDialogHooks hooks) {
    std::swap(hooks, g_hooks);
    return hooks;
}

void ShowMessage(const std::string& text) {
    if (g_hooks.showMessage) return g_hooks.showMessage(text);
    QMessageBox box(QMessageBox::NoIcon, Title(), QString::fromLocal8Bit(text), QMessageBox::Ok);
    box.exec();
}

bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value) {
    if (g_hooks.inputQuery) return g_hooks.inputQuery(caption, prompt, value);
    QInputDialog dialog;
    dialog.setWindowTitle(QString::fromLocal8Bit(caption));
    dialog.setLabelText(QString::fromLocal8Bit(prompt));
    dialog.setTextValue(QString::fromLocal8Bit(value));
    dialog.setFont(FormFont());
    if (dialog.exec() != QDialog::Accepted) return false;
    value = dialog.textValue().toLocal8Bit().toStdString();
    return true;
}

bool ConfirmYesNo(const std::string& text) {
    if (g_hooks.confirm) return g_hooks.confirm(text);
    QMessageBox box(QMessageBox::Question, Title(), QString::fromLocal8Bit(text), QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}
