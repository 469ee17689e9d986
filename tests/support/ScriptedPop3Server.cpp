#include "support/ScriptedPop3Server.h"

#include <QHostAddress>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace TestSupport {

TScriptedPop3Server::TScriptedPop3Server(const QHostAddress& address) {
    if (!server_.listen(address, 0)) throw std::runtime_error("scripted server cannot listen");
    QObject::connect(&server_, &QTcpServer::newConnection, [this] { Accept(); });
}

TScriptedPop3Server::~TScriptedPop3Server() {
    if (client_) {
        client_->disconnect();
        client_->abort();
        delete client_;
    }
}

int TScriptedPop3Server::Port() const { return server_.serverPort(); }

void TScriptedPop3Server::On(const std::string& command, const std::string& reply, Then then) {
    bool word = command.find(' ') == std::string::npos;
    (word ? byWord_ : exact_)[command] = Rule{reply, then};
}

void TScriptedPop3Server::Accept() {
    while (QTcpSocket* next = server_.nextPendingConnection()) {
        if (client_) {
            client_->disconnect();
            client_->abort();
            client_->deleteLater();
        }
        client_ = next;
        ++accepted_;
        pending_.clear();
        QObject::connect(client_, &QTcpSocket::readyRead, [this] { Read(); });
        if (scripted_) {
            playing_ = true;
            finished_ = false;
            step_ = 0;
            unplayed_.clear();
            Advance();
        } else if (!Greeting.empty()) {
            Send(Greeting);
        }
    }
}

void TScriptedPop3Server::Read() {
    if (!client_) return;
    QByteArray data = client_->readAll();
    received_.append(data.constData(), static_cast<std::size_t>(data.size()));
    pending_.append(data.constData(), static_cast<std::size_t>(data.size()));
    std::size_t pos;
    while (client_ && (pos = pending_.find("\r\n")) != std::string::npos) {
        std::string line = pending_.substr(0, pos);
        pending_.erase(0, pos + 2);
        lines_.push_back(line);
        if (playing_) {
            unplayed_.push_back(line);
            Advance();
        } else {
            Dispatch(line);
        }
    }
}

void TScriptedPop3Server::Play(TScript script) {
    script_ = std::move(script);
    scripted_ = true;
}

void TScriptedPop3Server::Open(int gate) {
    openGates_.insert(gate);
    Advance();
}

void TScriptedPop3Server::Advance() {
    while (playing_) {
        if (step_ == script_.steps.size()) return EndScript();
        const TScript::Step& step = script_.steps[step_];
        switch (step.kind) {
            case TScript::Step::kSend:
                Send(step.bytes);
                break;
            case TScript::Step::kExpectLine:
                if (unplayed_.empty()) return;
                if (unplayed_.front() != step.bytes) {
                    failure_ = "expected \"" + step.bytes + "\", got \"" + unplayed_.front() + "\"";
                    playing_ = false;
                    return AbortClient();
                }
                unplayed_.pop_front();
                break;
            case TScript::Step::kGate:
                if (openGates_.count(step.gate) == 0) return;
                break;
            case TScript::Step::kDrain:
                return EndScript();
            case TScript::Step::kClose:
                CloseClient();
                break;
            case TScript::Step::kReset:
                AbortClient();
                break;
            default:
                failure_ = "a step the POP3 server does not play (Expect, ExpectText)";
                playing_ = false;
                return AbortClient();
        }
        ++step_;
    }
}

// The rules answer the lines the script left.
void TScriptedPop3Server::EndScript() {
    playing_ = false;
    finished_ = true;
    std::deque<std::string> rest;
    rest.swap(unplayed_);
    for (const std::string& line : rest)
        if (client_) Dispatch(line);
}

void TScriptedPop3Server::Dispatch(const std::string& line) {
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

void TScriptedPop3Server::Send(const std::string& bytes) {
    if (!client_) return;
    client_->write(bytes.data(), static_cast<qint64>(bytes.size()));
    client_->flush();
}

void TScriptedPop3Server::CloseClient() {
    if (!client_) return;
    QTcpSocket* c = client_;
    client_ = nullptr;
    c->disconnect();
    c->flush();
    c->disconnectFromHost();
    c->deleteLater();
}

void TScriptedPop3Server::AbortClient() {
    if (!client_) return;
    QTcpSocket* c = client_;
    client_ = nullptr;
    c->disconnect();
    c->abort();
    c->deleteLater();
}

bool TScriptedPop3Server::ClientConnected() const {
    return client_ && client_->state() == QAbstractSocket::ConnectedState;
}

bool TScriptedPop3Server::Got(const std::string& line) const {
    return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
}

}  // namespace TestSupport
