// Helpers shared by the test binaries.
#pragma once

#include "framework/Application.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace TestSupport {

// Messages of exceptions that escaped event handlers during the tests.
std::vector<std::string>& EscapedExceptions();

// Runs the event loop until `done` is true or `timeoutMs` pass; returns done().
bool WaitFor(const std::function<bool()>& done, int timeoutMs = 5000);

// A fresh empty folder under the system's temporary folder, removed with the
// object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

// Copies the program (Vesk and the desktop program it starts) from `binDir`
// into `folder`, as a user makes a portable copy; answers the copied Vesk's
// path, or "" when a file could not be copied.
std::string CopyProgram(const std::string& binDir, const std::string& folder);

// The message of the `E` that `f` raises, or "(no exception)". Exceptions of
// other types pass through and fail the test.
template <class E>
std::string ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "(no exception)";
}

}  // namespace TestSupport
