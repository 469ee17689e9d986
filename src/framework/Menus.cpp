#include "framework/Menus.h"

#include "framework/Application.h"

TMenuItem::TMenuItem(TComponent* owner, const std::string& caption) : TComponent(owner), Caption(caption) {}

void TMenuItem::Click() {
    if (OnClick) OnClick(this);
}

TPopupMenu::TPopupMenu(TComponent* owner) : TComponent(owner), FMenu(std::make_unique<QMenu>()) {
    FMenu->setFont(FormFont());
}

TPopupMenu::~TPopupMenu() = default;

TMenuItem* TPopupMenu::Add(const std::string& caption) {
    FItems.push_back(std::make_unique<TMenuItem>(this, caption));
    TMenuItem* item = FItems.back().get();
    if (caption == "-") {
        FMenu->addSeparator();
    } else {
        QAction* action = FMenu->addAction(QString::fromLocal8Bit(caption));
        QObject::connect(action, &QAction::triggered, [item] { Guard([item] { item->Click(); }); });
    }
    return item;
}

void TPopupMenu::Popup(int x, int y) {
    // The menu needs a window of its own to be raised over the desktop.
    FMenu->popup(QPoint(x, y));
    FMenu->activateWindow();
}
