#include "support/Fixtures.h"

#include "support/TestSupport.h"

#include <QDir>
#include <QProcess>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace TestSupport {

std::string FixtureDir(const char* variable, const std::string& builtIn) {
    const char* dir = std::getenv(variable);
    return dir && *dir ? dir : builtIn;
}

std::map<std::string, std::string> ReadEnvFile(const std::string& path) {
    std::map<std::string, std::string> env;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && (value.front() == '\'' || value.front() == '"') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        env[line.substr(0, eq)] = value;
    }
    return env;
}

std::string ReadTrimmed(const std::string& path) {
    std::string s = ReadFile(path);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

TDovecotFixture::TDovecotFixture(std::string folder) : dir(std::move(folder)) {
    auto env = ReadEnvFile(dir + "/server.env");
    host = env["VESK_POP3_HOST"];
    port = env["VESK_POP3_PORT"];
    std::ifstream in(dir + "/users.txt");
    for (std::string line; std::getline(in, line);) {
        std::istringstream s(line);
        std::string name, password, count;
        std::getline(s, name, ':');
        std::getline(s, password, ':');
        std::getline(s, count);
        users[name] = TUser{password, count.empty() ? 0 : std::stoi(count)};
    }
}

std::vector<std::pair<std::string, std::string>> TDovecotFixture::Manifest(const std::string& user) const {
    std::vector<std::pair<std::string, std::string>> out;
    std::ifstream in(dir + "/manifest/" + user);
    for (std::string line; std::getline(in, line);) {
        auto tab = line.find('\t');
        if (tab == std::string::npos)
            out.emplace_back(line, "");
        else
            out.emplace_back(line.substr(0, tab), line.substr(tab + 1));
    }
    return out;
}

void TDovecotFixture::Empty(const std::string& user) const {
    for (const char* sub : {"/new", "/cur"}) {
        QDir d(QString::fromStdString(dir + "/mail/" + user + "/Maildir" + sub));
        for (const QString& f : d.entryList(QDir::Files)) d.remove(f);
    }
}

void TDovecotFixture::Add(const std::string& user, int count) const {
    QProcess p;
    p.start(VESK_SOURCE_DIR "/scripts/fixtures/dovecot.sh",
            {"add", QString::fromStdString(dir), QString::fromStdString(user), QString::number(count)});
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        throw std::runtime_error("dovecot.sh add failed: " + p.readAllStandardError().toStdString());
}

void MarkSeen(const TDovecotFixture& server, const std::string& user, const std::string& set) {
    const auto env = ReadEnvFile(server.dir + "/server.env");
    const auto port = env.find("VESK_IMAP_PORT");
    const auto who = server.users.find(user);
    if (port == env.end() || who == server.users.end()) throw std::runtime_error("no IMAP user " + user);
    // The arguments reach the script as arguments, never as code.
    const char* const script =
        "import imaplib, sys\n"
        "c = imaplib.IMAP4(sys.argv[1], int(sys.argv[2]))\n"
        "c.login(sys.argv[3], sys.argv[4])\n"
        "c.select('INBOX')\n"
        "typ, _ = c.store(sys.argv[5], '+FLAGS', '\\\\Seen')\n"
        "c.logout()\n"
        "sys.exit(0 if typ == 'OK' else 1)\n";
    QProcess p;
    p.start("python3", {"-c", script, QString::fromStdString(server.host), QString::fromStdString(port->second),
                        QString::fromStdString(user), QString::fromStdString(who->second.password),
                        QString::fromStdString(set)});
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        throw std::runtime_error("marking messages seen failed: " + p.readAllStandardError().toStdString());
}

}  // namespace TestSupport
