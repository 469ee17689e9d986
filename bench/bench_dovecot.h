// What the bench programs that drive the main window against a private
// Dovecot (scripts/fixtures/dovecot.sh) share: the server's settings and
// users as the fixture writes them, the INI section of one account, and the
// Qt application the main window needs (offscreen, no display).
#pragma once

#include "codec/Base64.h"
#include "framework/Application.h"

#include <QApplication>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace bench {

// The value of KEY in the fixture folder's server.env (quotes removed);
// empty when it is not there.
inline std::string ServerEnvValue(const std::string& dir, const std::string& key) {
    std::ifstream in(dir + "/server.env");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key + "=", 0) != 0) continue;
        std::string v = line.substr(key.size() + 1);
        if (!v.empty() && (v.front() == '\'' || v.front() == '"')) v = v.substr(1, v.size() - 2);
        return v;
    }
    return {};
}

struct TUser {
    std::string Name;
    std::string Password;
    int Count = 0;  // as delivered by the fixture's start and add
};

// The users of the fixture folder (users.txt: NAME:PASSWORD:COUNT), in order.
inline std::vector<TUser> Users(const std::string& dir) {
    std::ifstream in(dir + "/users.txt");
    std::vector<TUser> users;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream s(line);
        TUser user;
        std::string count;
        std::getline(s, user.Name, ':');
        std::getline(s, user.Password, ':');
        std::getline(s, count, ':');
        user.Count = count.empty() ? 0 : std::stoi(count);
        users.push_back(user);
    }
    return users;
}

// Section [Account<n>] for USER on HOST:PORT; `extra` is appended as it is
// (lines ended by a line feed: Protocol, Security, Fingerprint...).
inline std::string AccountSection(int n, const std::string& host, const std::string& port, const TUser& user,
                                  const std::string& extra = {}) {
    TBase64 b64;
    return "[Account" + std::to_string(n) + "]\nPOPServer=" + host + "\nUserName=" + user.Name +
           "\nPassword=" + b64.Encode(user.Password) + "\nPortNumber=" + port + "\n" + extra;
}

// The Qt application and the program's own application object, as the
// main window expects them, on the offscreen platform.
class TApp {
public:
    TApp(int& argc, char** argv) : FQt(Offscreen(argc), argv) {
        FApp.Initialize();
        FApp.Title = "Vesk";
    }

private:
    // Chooses the platform before Qt starts.
    static int& Offscreen(int& argc) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return argc;
    }


    QApplication FQt;
    TApplication FApp;
};

}  // namespace bench
