// Sets (or, with a null value, removes) one environment variable for the
// life of the object and puts the old state back afterwards.
#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace TestSupport {

class EnvScope {
public:
    EnvScope(const char* name, const char* value) : name_(name), had_(qEnvironmentVariableIsSet(name)), old_(qgetenv(name)) {
        if (value)
            qputenv(name, value);
        else
            qunsetenv(name);
    }
    ~EnvScope() {
        if (had_)
            qputenv(name_, old_);
        else
            qunsetenv(name_);
    }
    EnvScope(const EnvScope&) = delete;
    EnvScope& operator=(const EnvScope&) = delete;

private:
    const char* name_;
    bool had_;
    QByteArray old_;
};

}  // namespace TestSupport
