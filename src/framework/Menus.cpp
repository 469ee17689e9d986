#include "framework/Menus.h"

#include "framework/Application.h"

TMenuItem::TMenuItem(TComponent* owner, const std::string& caption) : TComponent(owner), Caption(caption) {}

void TMenuItem::Click() {
    if (OnClick) OnClick(this);
}

TPopupMenu::TPopupMenu(TComponent* owner) : TComponent(owner), menu_(std::make_unique<QMenu>()) {
    menu_->setFont(FormFont());
}

TPopupMenu::~TPopupMenu() = default;

TMenuItem* TPopupMenu::Add(const std::string& caption) {
    items_.push_back(std::make_unique<TMenuItem>(this, caption));
    TMenuItem* item = items_.back().get();
    if (caption == "-") {
        menu_->addSeparator();
    } else {
        QAction* action = menu_->addAction(QString::fromLocal8Bit(caption));
        QObject::connect(action, &QAction::triggered, [item] { Guard([item] { item->Click(); }); });
    }
    return item;
}

void TPopupMenu::Popup(int x, int y) {
    // The menu needs a window of its own to be raised over the desktop.
    menu_->popup(QPoint(x, y));
    menu_->activateWindow();
}
