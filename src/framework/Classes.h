// The base classes, event type and exception type shared by the forms and
// components.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

class TObject {
public:
    virtual ~TObject() = default;
};

// A component may have an owner; the owner does not free it (ownership is
// held by the C++ member that creates it).
class TComponent : public TObject {
public:
    explicit TComponent(TComponent* owner = nullptr) : Owner(owner) {}
    TComponent* Owner;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;

// Base of every exception the units raise: it carries the message text.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

// Formats like the C library's snprintf, into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
