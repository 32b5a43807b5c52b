#include "tls_context.h"

#include "private_file.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>

namespace ssl = boost::asio::ssl;
using ErrorCode = boost::system::error_code;

namespace {

std::string ReadWhole(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read " + path);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

// The key's bytes, wiped when they are no longer needed.
struct KeyText {
    std::string pem;
    ~KeyText() { OPENSSL_cleanse(pem.data(), pem.size()); }
};

std::string Utc(const ASN1_TIME *time) {
    std::tm fields{};
    if (ASN1_TIME_to_tm(time, &fields) != 1) return "an unreadable date";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &fields);
    return text;
}

bool CertificateNames(X509 *certificate, const std::string &name) {
    return X509_check_ip_asc(certificate, name.c_str(), 0) == 1 ||
           X509_check_host(certificate, name.data(), name.size(), 0, nullptr) == 1;
}

// Where a client that checks the certificate will refuse it.
std::vector<std::string> CertificateWarnings(X509 *certificate, const std::string &chainFile,
                                             const std::vector<std::string> &hostNames) {
    std::vector<std::string> warnings;
    if (X509_cmp_current_time(X509_get0_notAfter(certificate)) < 0) {
        warnings.push_back(chainFile + ": the certificate expired on " + Utc(X509_get0_notAfter(certificate)) +
                           "; clients that check it refuse it until it is renewed");
    }
    if (X509_cmp_current_time(X509_get0_notBefore(certificate)) > 0) {
        warnings.push_back(chainFile + ": the certificate is valid only from " +
                           Utc(X509_get0_notBefore(certificate)) +
                           " (is this machine's clock right?); clients that check it refuse it until then");
    }
    std::string names;
    for (const std::string &name : hostNames) {
        if (CertificateNames(certificate, name)) return warnings;
        names += (names.empty() ? "" : ", ") + name;
    }
    warnings.push_back(chainFile + ": the certificate names none of the names clients may reach the service by (" +
                       names + "); clients that check it refuse it");
    return warnings;
}

}  // namespace

LoadedTls LoadTls(const std::string &chainFile, const std::string &keyFile,
                  const std::vector<std::string> &hostNames) {
    auto context = std::make_shared<TlsContext>();
    SSL_CTX *native = context->ssl.native_handle();
    SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
    SSL_CTX_set_options(native, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_session_cache_mode(native, SSL_SESS_CACHE_OFF);
    // An idle connection gives its record buffers back.
    SSL_CTX_set_mode(native, SSL_MODE_RELEASE_BUFFERS);
    // Never a prompt on the terminal: a key with a passphrase is refused below.
    context->ssl.set_password_callback([](std::size_t, ssl::context::password_purpose) { return std::string(); });

    const std::string chain = ReadWhole(chainFile);
    ErrorCode error;
    context->ssl.use_certificate_chain(boost::asio::buffer(chain), error);
    if (error)
        throw std::runtime_error(chainFile + ": no usable certificate in PEM (OpenSSL: " + error.message() + ")");

    if (const std::optional<std::string> problem = PrivateFileProblem(keyFile)) throw std::runtime_error(*problem);
    const KeyText key{ReadWhole(keyFile)};
    if (key.pem.find("ENCRYPTED") != std::string::npos) {
        throw std::runtime_error(keyFile + " holds a key protected by a passphrase, which a service cannot type: "
                                           "give it the key without one (openssl pkey -in KEY -out PLAIN), "
                                           "readable by its owner only");
    }
    context->ssl.use_private_key(boost::asio::buffer(key.pem), ssl::context::pem, error);
    const bool mismatch = error ? ERR_GET_LIB(static_cast<unsigned long>(error.value())) == ERR_LIB_X509 &&
                                      ERR_GET_REASON(static_cast<unsigned long>(error.value())) ==
                                          X509_R_KEY_VALUES_MISMATCH
                                : SSL_CTX_check_private_key(native) != 1;
    if (mismatch)
        throw std::runtime_error("the key in " + keyFile + " does not belong to the certificate in " + chainFile);
    if (error) throw std::runtime_error(keyFile + ": no usable private key in PEM (OpenSSL: " + error.message() + ")");
    ERR_clear_error();  // what reading the PEM files left in this thread's queue misleads no later call

    X509 *certificate = SSL_CTX_get0_certificate(native);
    return {.context = context, .warnings = CertificateWarnings(certificate, chainFile, hostNames)};
}
