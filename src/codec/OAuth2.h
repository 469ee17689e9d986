// The SASL messages of an OAuth2 login (XOAUTH2, and OAUTHBEARER of RFC
// 7628), the same for POP3 and IMAP: the client's initial response, the
// answer to the server's error challenge, and what that challenge says.
#pragma once

#include <cstdint>
#include <string>

// How an account logs in: the Auth key's 0, 1 and 2. With an OAuth2
// mechanism the account's secret is a bearer token.
enum class TAuthMechanism : std::uint8_t { Password = 0, XOAuth2 = 1, OAuthBearer = 2 };

// The SASL name ("XOAUTH2", "OAUTHBEARER"); "" for Password.
const char* SaslMechanismName(TAuthMechanism Mechanism);

// The initial client response, Base64: XOAUTH2's "user=U^Aauth=Bearer
// T^A^A", or OAUTHBEARER's GS2 header with the user (',' and '=' escaped),
// then host, port and the bearer token.
std::string OAuth2InitialResponse(TAuthMechanism Mechanism, const std::string& User, const std::string& Token,
                                  const std::string& Host, const std::string& Port);

// What the client sends after a failure challenge, so that the server
// gives its final answer: an empty line for XOAUTH2, "AQ==" (a lone ^A)
// for OAUTHBEARER.
const char* OAuth2ErrorAnswer(TAuthMechanism Mechanism);

// The failure challenge (Base64 JSON, server text) read for its "status":
// " (status 401)", cleaned and short; "" when it names none.
std::string OAuth2ErrorStatus(const std::string& Challenge);
