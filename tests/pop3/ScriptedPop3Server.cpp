#include "ScriptedPop3Server.h"

#include <QHostAddress>

#include <algorithm>
#include <cctype>
#include <stdexcept>

ScriptedPop3Server::ScriptedPop3Server() {
    if (!server_.listen(QHostAddress::LocalHost, 0)) throw std::runtime_error("scripted server cannot listen");
    QObject::connect(&server_, &QTcpServer::newConnection, [this] { Accept(); });
}

ScriptedPop3Server::~ScriptedPop3Server() {
    if (client_) {
        client_->disconnect();
        client_->abort();
        delete client_;
    }
}

std::string ScriptedPop3Server::Port() const { return std::to_string(server_.serverPort()); }

void ScriptedPop3Server::On(const std::string& command, const std::string& reply, Then then) {
    bool word = command.find(' ') == std::string::npos;
    (word ? byWord_ : exact_)[command] = Rule{reply, then};
}

void ScriptedPop3Server::Accept() {
    while (QTcpSocket* next = server_.nextPendingConnection()) {
        if (client_) {
            client_->disconnect();
            client_->abort();
            client_->deleteLater();
        }
        client_ = next;
        ++connections_;
        pending_.clear();
        QObject::connect(client_, &QTcpSocket::readyRead, [this] { Read(); });
        if (!Greeting.empty()) Send(Greeting);
    }
}

void ScriptedPop3Server::Read() {
    if (!client_) return;
    QByteArray data = client_->readAll();
    received_.append(data.constData(), static_cast<std::size_t>(data.size()));
    pending_.append(data.constData(), static_cast<std::size_t>(data.size()));
    std::size_t pos;
    while (client_ && (pos = pending_.find("\r\n")) != std::string::npos) {
        std::string line = pending_.substr(0, pos);
        pending_.erase(0, pos + 2);
        lines_.push_back(line);
        Dispatch(line);
    }
}

void ScriptedPop3Server::Dispatch(const std::string& line) {
    if (OnCommand && OnCommand(line)) return;
    const Rule* rule = nullptr;
    auto exact = exact_.find(line);
    if (exact != exact_.end()) {
        rule = &exact->second;
    } else {
        std::string word = line.substr(0, line.find(' '));
        std::transform(word.begin(), word.end(), word.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        auto w = byWord_.find(word);
        if (w != byWord_.end()) rule = &w->second;
    }
    if (!rule) {
        if (!Unmatched.empty()) Send(Unmatched);
        return;
    }
    Rule r = *rule;
    if (!r.reply.empty()) Send(r.reply);
    if (r.then == Then::Close) CloseClient();
    if (r.then == Then::Abort) AbortClient();
}

void ScriptedPop3Server::Send(const std::string& bytes) {
    if (!client_) return;
    client_->write(bytes.data(), static_cast<qint64>(bytes.size()));
    client_->flush();
}

void ScriptedPop3Server::CloseClient() {
    if (!client_) return;
    QTcpSocket* c = client_;
    client_ = nullptr;
    c->disconnect();
    c->flush();
    c->disconnectFromHost();
    c->deleteLater();
}

void ScriptedPop3Server::AbortClient() {
    if (!client_) return;
    QTcpSocket* c = client_;
    client_ = nullptr;
    c->disconnect();
    c->abort();
    c->deleteLater();
}

bool ScriptedPop3Server::ClientConnected() const {
    return client_ && client_->state() == QAbstractSocket::ConnectedState;
}

bool ScriptedPop3Server::Got(const std::string& line) const {
    return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
}
