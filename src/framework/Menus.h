// A pop-up menu that opens at a screen position.
#pragma once

#include "framework/Classes.h"

#include <QMenu>

#include <memory>
#include <string>
#include <vector>

class TMenuItem : public TComponent {
public:
    TMenuItem(TComponent* owner, const std::string& caption);
    std::string Caption;  // "-" makes a separator
    TNotifyEvent OnClick;
    void Click();
};

class TPopupMenu : public TComponent {
public:
    explicit TPopupMenu(TComponent* owner = nullptr);
    ~TPopupMenu() override;

    // Appends an item; the menu keeps it.
    TMenuItem* Add(const std::string& caption);
    const std::vector<std::unique_ptr<TMenuItem>>& Items() const { return FItems; }

    // Opens the menu with its top-left corner at the screen position (x, y)
    // and returns at once; a chosen item fires its OnClick from the loop.
    void Popup(int x, int y);

    QMenu* Menu() { return FMenu.get(); }

private:
    std::unique_ptr<QMenu> FMenu;
    std::vector<std::unique_ptr<TMenuItem>> FItems;
};
