// Desktop notifications (the freedesktop notification service on the
// session bus).
//
// ShowDesktopNotification hands a summary and a body to the current
// notification host and returns at once. The real host sends the request to
// org.freedesktop.Notifications without waiting for the answer: no session
// bus or no notification daemon means no notification, never an error or a
// delay. The body is text: for a service that renders markup in the body
// ("body-markup" among its capabilities, asked first) it is escaped.
// Tests install TFakeNotificationHost to read what would be shown.
#pragma once

#include <string>
#include <vector>

class TNotificationHost {
public:
    virtual ~TNotificationHost() = default;
    // False when the request could not even be sent.
    virtual bool Show(const std::string& summary, const std::string& body) = 0;
};

// Installs `host` (nullptr: the real one) and returns the one it replaces.
TNotificationHost* SetNotificationHost(TNotificationHost* host);
TNotificationHost* CurrentNotificationHost();

// Summary and body are UTF-8 text; the body may hold several lines.
bool ShowDesktopNotification(const std::string& summary, const std::string& body);

// Records every notification instead of showing it.
class TFakeNotificationHost : public TNotificationHost {
public:
    struct Shown {
        std::string summary;
        std::string body;
    };
    bool Show(const std::string& summary, const std::string& body) override;
    std::vector<Shown> shown;
};
