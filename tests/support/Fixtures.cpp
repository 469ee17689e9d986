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
    imapPort = env["VESK_IMAP_PORT"];
    imapsPort = env["VESK_IMAPS_PORT"];
    ca = env["VESK_POP3_CA"];
    fingerprint = env["VESK_POP3_FINGERPRINT"];
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

namespace {

// Runs `program` with `arguments` to its end and gives its output; raises
// std::runtime_error naming `what` when it fails.
std::string RunTool(const char* what, const QString& program, const QStringList& arguments,
                    const std::vector<std::string>& environment = {}) {
    QProcess p;
    QProcessEnvironment vars = QProcessEnvironment::systemEnvironment();
    for (const std::string& entry : environment) {
        const QString text = QString::fromStdString(entry);
        vars.insert(text.section('=', 0, 0), text.section('=', 1));
    }
    p.setProcessEnvironment(vars);
    p.start(program, arguments);
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        throw std::runtime_error(std::string(what) + " failed: " + p.readAllStandardError().toStdString());
    return p.readAllStandardOutput().toStdString();
}

}  // namespace

void TDovecotFixture::Add(const std::string& user, int count) const {
    RunDovecotScript({"add", dir, user, std::to_string(count)});
}

void RunDovecotScript(const std::vector<std::string>& arguments, const std::vector<std::string>& environment) {
    QStringList list;
    for (const std::string& word : arguments) list << QString::fromStdString(word);
    RunTool("dovecot.sh", VESK_SOURCE_DIR "/scripts/fixtures/dovecot.sh", list, environment);
}

std::string TDovecotFixture::ImapClient(const std::string& user, const std::vector<std::string>& command) const {
    QStringList arguments{VESK_SOURCE_DIR "/tests/support/imap_client.py", QString::fromStdString(imapPort),
                          QString::fromStdString(user), QString::fromStdString(users.at(user).password)};
    for (const std::string& word : command) arguments << QString::fromStdString(word);
    return RunTool("imap_client.py", "python3", arguments);
}

}  // namespace TestSupport
