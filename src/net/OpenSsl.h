// OpenSSL, loaded when the first TLS session starts rather than with the
// program: a check of plain-text accounts never pays for loading libssl and
// libcrypto (some 3 ms of every process start here), and a machine without
// them still checks its plain-text accounts.
//
// The functions the TLS layer calls, with OpenSSL's own types; they are
// looked up in libssl.so.3 (and the libcrypto it loads) on first use.
#pragma once

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <string>

#define VESK_OPENSSL_FUNCTIONS(F)                                                                           \
    F(ASN1_TIME_to_tm) F(BIO_ctrl) F(BIO_ctrl_pending) F(BIO_free) F(BIO_new) F(BIO_read) F(BIO_s_mem)      \
    F(BIO_write) F(ERR_clear_error) F(ERR_peek_error) F(ERR_reason_error_string) F(EVP_sha256)              \
    F(SSL_CTX_ctrl) F(SSL_CTX_free) F(SSL_CTX_new) F(SSL_CTX_set_cipher_list)                               \
    F(SSL_CTX_set_default_verify_paths) F(SSL_CTX_set_options) F(SSL_CTX_set_verify)                        \
    F(SSL_ctrl) F(SSL_do_handshake) F(SSL_free) F(SSL_get0_param) F(SSL_get0_peer_certificate)              \
    F(SSL_get_error) F(SSL_get_verify_result) F(SSL_get_version) F(SSL_new) F(SSL_read) F(SSL_set1_host)    \
    F(SSL_set_bio) F(SSL_set_connect_state) F(SSL_set_verify) F(SSL_shutdown) F(SSL_write)                  \
    F(TLS_client_method) F(X509_NAME_print_ex) F(X509_VERIFY_PARAM_set1_ip_asc)                             \
    F(X509_VERIFY_PARAM_set_hostflags) F(X509_digest)                                                       \
    F(X509_get0_notAfter) F(X509_get0_notBefore) F(X509_get_issuer_name) F(X509_get_subject_name)          \
    F(X509_verify_cert_error_string)

struct TOpenSsl {
#define VESK_OPENSSL_MEMBER(name) decltype(&::name) name = nullptr;
    VESK_OPENSSL_FUNCTIONS(VESK_OPENSSL_MEMBER)
#undef VESK_OPENSSL_MEMBER
};

// The loaded library, or nullptr when it cannot be loaded (then `Error`, if
// given, says why). Loads it on the first call; GUI thread.
const TOpenSsl* LoadOpenSsl(std::string* Error = nullptr);
