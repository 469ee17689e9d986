#include "codec/OAuth2.h"

#include "codec/Base64.h"
#include "codec/ServerText.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

namespace {

// A challenge longer than this is not the short JSON object it should be.
constexpr std::size_t kChallengeLimit = 4096;
// Most of the status value shown.
constexpr std::size_t kStatusLimit = 40;

// The user as a GS2 authzid: ',' and '=' are the header's own characters.
std::string Gs2Name(const std::string& User) {
    std::string out;
    for (char c : User) {
        if (c == ',')
            out += "=2C";
        else if (c == '=')
            out += "=3D";
        else
            out += c;
    }
    return out;
}

}  // namespace

const char* SaslMechanismName(TAuthMechanism Mechanism) {
    switch (Mechanism) {
        case TAuthMechanism::XOAuth2: return "XOAUTH2";
        case TAuthMechanism::OAuthBearer: return "OAUTHBEARER";
        case TAuthMechanism::Password: break;
    }
    return "";
}

std::string OAuth2InitialResponse(TAuthMechanism Mechanism, const std::string& User, const std::string& Token,
                                  const std::string& Host, const std::string& Port) {
    std::string message;
    if (Mechanism == TAuthMechanism::OAuthBearer)
        message = "n,a=" + Gs2Name(User) + ",\x01host=" + Host + "\x01port=" + Port + "\x01" "auth=Bearer " + Token +
                  "\x01\x01";
    else
        message = "user=" + User + "\x01" "auth=Bearer " + Token + "\x01\x01";
    return TBase64().Encode(message);
}

const char* OAuth2ErrorAnswer(TAuthMechanism Mechanism) {
    return Mechanism == TAuthMechanism::OAuthBearer ? "AQ==" : "";
}

std::string OAuth2ErrorStatus(const std::string& Challenge) {
    if (Challenge.size() > kChallengeLimit) return "";
    const std::string json = CleanServerText(TBase64().Decode(Challenge), kChallengeLimit);
    const QJsonValue status = QJsonDocument::fromJson(QByteArray::fromStdString(json)).object().value("status");
    std::string text;
    if (status.isString())
        text = CleanServerText(status.toString().toStdString(), kStatusLimit);
    else if (status.isDouble())
        text = std::to_string(status.toInteger());
    if (text.empty()) return "";
    return " (status " + text + ")";
}
