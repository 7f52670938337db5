// SPDX-License-Identifier: MIT
// OpenSSL 3 server contexts and per-connection sessions for the listeners; see tlscontext.h.
#include "tlscontext.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A key file larger than this is not a PEM key.
constexpr std::size_t kMaxKeyFileBytes = 1024 * 1024;
// Decrypted bytes taken per SSL_read.
constexpr int kReadChunk = 16 * 1024;
// The first byte of a TLS handshake record (RFC 8446, 5.1: ContentType handshake).
constexpr unsigned char kHandshakeRecord = 0x16;

// TLS 1.2 suites we offer: forward secret key exchange with an AEAD cipher only.
struct TSuiteName
{
    const char *Go;
    const char *OpenSsl;
};
constexpr std::array<TSuiteName, 6> kSuites{{
    {"TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256", "ECDHE-ECDSA-AES128-GCM-SHA256"},
    {"TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256", "ECDHE-RSA-AES128-GCM-SHA256"},
    {"TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384", "ECDHE-ECDSA-AES256-GCM-SHA384"},
    {"TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384", "ECDHE-RSA-AES256-GCM-SHA384"},
    {"TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256", "ECDHE-ECDSA-CHACHA20-POLY1305"},
    {"TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256", "ECDHE-RSA-CHACHA20-POLY1305"},
}};

// OpenSSL's reason for the last failure on this thread, emptying its error queue.
std::string OpenSslReason()
{
    std::string text;
    while (const unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        if (!text.empty())
            text += "; ";
        text += buffer;
    }
    return text.empty() ? std::string("unknown TLS error") : text;
}

bool ParseVersion(const std::string &Text, int Default, int &Version)
{
    if (Text.empty())
        Version = Default;
    else if (Text == "TLS12")
        Version = TLS1_2_VERSION;
    else if (Text == "TLS13")
        Version = TLS1_3_VERSION;
    else
        return false;
    return true;
}

// Reads the key through one descriptor, so the file whose mode was checked is the file read
// (a key swapped for a symlink meanwhile is followed once, at the open).
bool ReadKeyFile(const std::string &Path, std::string &Text, std::string &Error)
{
    const int handle = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (handle < 0) {
        Error = "cannot read the private key " + Path + ": " + std::strerror(errno);
        return false;
    }
    struct stat info
    {
    };
    bool ok = ::fstat(handle, &info) == 0;
    if (!ok)
        Error = "cannot read the private key " + Path + ": " + std::strerror(errno);
    else if (!S_ISREG(info.st_mode) || static_cast<std::size_t>(info.st_size) > kMaxKeyFileBytes) {
        Error = "the private key " + Path + " is not a key file";
        ok = false;
    } else if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        Error = "the private key " + Path + " is readable by others; chmod 600 it";
        ok = false;
    }
    while (ok) {
        char buffer[4096];
        const ssize_t n = ::read(handle, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            Error = "cannot read the private key " + Path + ": " + std::strerror(errno);
            ok = false;
        }
        if (n <= 0)
            break;
        Text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(handle);
    return ok;
}

// Accepts any client certificate: for the two types that ask for one without checking it.
int AcceptAnyCertificate(int, X509_STORE_CTX *)
{
    return 1;
}

} // namespace

// The session's BIO: reads take from the bytes Feed was given, writes append to the session's
// output string. OpenSSL's memory BIO would do the same with a buffer that grows by copying and
// wiping itself, twice per connection and direction, which costs more than the handshake's hashing.
struct TTlsSessionBio
{
    static TTlsSession *Session(BIO *Bio) { return static_cast<TTlsSession *>(BIO_get_data(Bio)); }

    static int Read(BIO *Bio, char *Data, size_t Size, size_t *Done)
    {
        BIO_clear_retry_flags(Bio);
        TTlsSession *session = Session(Bio);
        if (!session || session->m_inSize == 0) {
            BIO_set_retry_read(Bio);
            *Done = 0;
            return 0;
        }
        const std::size_t n = std::min(Size, session->m_inSize);
        std::memcpy(Data, session->m_inData, n);
        session->m_inData += n;
        session->m_inSize -= n;
        *Done = n;
        return 1;
    }

    static int Write(BIO *Bio, const char *Data, size_t Size, size_t *Done)
    {
        BIO_clear_retry_flags(Bio);
        TTlsSession *session = Session(Bio);
        if (!session)
            return 0;
        session->m_out.append(Data, Size);
        *Done = Size;
        return 1;
    }

    static long Control(BIO *Bio, int Command, long, void *)
    {
        switch (Command) {
        case BIO_CTRL_FLUSH:
            return 1;
        case BIO_CTRL_PENDING: {
            const TTlsSession *session = Session(Bio);
            return session ? static_cast<long>(session->m_inSize) : 0;
        }
        case BIO_CTRL_WPENDING: {
            const TTlsSession *session = Session(Bio);
            return session ? static_cast<long>(session->m_out.size()) : 0;
        }
        default:
            return 0;
        }
    }

    static int Create(BIO *Bio)
    {
        BIO_set_init(Bio, 1);
        return 1;
    }

    // Made once; lives as long as the program.
    static BIO_METHOD *Method()
    {
        static BIO_METHOD *const method = [] {
            BIO_METHOD *made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "linewatch session");
            if (made) {
                BIO_meth_set_read_ex(made, Read);
                BIO_meth_set_write_ex(made, Write);
                BIO_meth_set_ctrl(made, Control);
                BIO_meth_set_create(made, Create);
            }
            return made;
        }();
        return method;
    }
};

TTlsServerContext::~TTlsServerContext()
{
    SSL_CTX_free(m_ctx);
}

std::shared_ptr<TTlsServerContext> TTlsServerContext::Make(const TTlsSettings &Settings, std::string &Error)
{
    ERR_clear_error();
    std::shared_ptr<TTlsServerContext> context(new TTlsServerContext);
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx) {
        Error = "cannot set up TLS: " + OpenSslReason();
        return nullptr;
    }
    context->m_ctx = ctx;

    int minVersion = 0;
    int maxVersion = 0;
    if (!ParseVersion(Settings.MinVersion, TLS1_2_VERSION, minVersion) ||
        !ParseVersion(Settings.MaxVersion, TLS1_3_VERSION, maxVersion) || minVersion > maxVersion) {
        Error = "unsupported TLS versions (min_version \"" + Settings.MinVersion + "\", max_version \"" +
                Settings.MaxVersion + "\"): use TLS12 or TLS13";
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, minVersion);
    SSL_CTX_set_max_proto_version(ctx, maxVersion);
    // No client-started renegotiation (a cheap way to make a server work hard), no compression.
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    // Idle connections give their read and write buffers back. The chain sent is the cert_file's,
    // as the exporter toolkit sends it; without NO_AUTO_CHAIN OpenSSL would try to build one from
    // the context's store at every handshake.
    SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_NO_AUTO_CHAIN);
    // One TLS 1.3 session ticket per connection, as the exporter toolkit's server sends: a client
    // resumes with it, and each further ticket is a session encoded and encrypted for nothing
    // (a page is one request per connection).
    SSL_CTX_set_num_tickets(ctx, 1);

    std::string suites;
    for (const std::string &name : Settings.CipherSuites) {
        const TSuiteName *found = nullptr;
        for (const TSuiteName &suite : kSuites)
            if (name == suite.Go || name == suite.OpenSsl)
                found = &suite;
        if (!found) {
            Error = "unsupported TLS cipher suite " + name + " (ECDHE with AES-GCM or ChaCha20-Poly1305 only)";
            return nullptr;
        }
        suites += (suites.empty() ? "" : ":") + std::string(found->OpenSsl);
    }
    if (suites.empty())
        for (const TSuiteName &suite : kSuites)
            suites += (suites.empty() ? "" : ":") + std::string(suite.OpenSsl);
    if (SSL_CTX_set_cipher_list(ctx, suites.c_str()) != 1) {
        Error = "cannot set the TLS cipher suites: " + OpenSslReason();
        return nullptr;
    }
    // TLS 1.3's suites are not configurable, as in the exporter toolkit, and in its order: AES-128
    // first. OpenSSL's own order puts AES-256 with SHA-384 first, whose key schedule costs more
    // per handshake for no strength a monitor's page needs.
    if (SSL_CTX_set_ciphersuites(ctx, "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384") !=
        1) {
        Error = "cannot set the TLS 1.3 cipher suites: " + OpenSslReason();
        return nullptr;
    }

    if (Settings.CertFile.empty() || Settings.KeyFile.empty()) {
        Error = "TLS needs both cert_file and key_file";
        return nullptr;
    }
    if (SSL_CTX_use_certificate_chain_file(ctx, Settings.CertFile.c_str()) != 1) {
        Error = "cannot load the certificate " + Settings.CertFile + ": " + OpenSslReason();
        return nullptr;
    }
    std::string keyText;
    if (!ReadKeyFile(Settings.KeyFile, keyText, Error))
        return nullptr;
    BIO *keyBio = BIO_new_mem_buf(keyText.data(), static_cast<int>(keyText.size()));
    EVP_PKEY *key = keyBio ? PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(keyBio);
    OPENSSL_cleanse(keyText.data(), keyText.size());
    if (!key) {
        Error = "cannot load the private key " + Settings.KeyFile + ": " + OpenSslReason();
        return nullptr;
    }
    const bool matches = X509_check_private_key(SSL_CTX_get0_certificate(ctx), key) == 1;
    const bool keyUsed = matches && SSL_CTX_use_PrivateKey(ctx, key) == 1;
    EVP_PKEY_free(key);
    if (!matches) {
        ERR_clear_error();
        Error = "the private key " + Settings.KeyFile + " does not match the certificate " + Settings.CertFile;
        return nullptr;
    }
    if (!keyUsed) {
        Error = "cannot load the private key " + Settings.KeyFile + ": " + OpenSslReason();
        return nullptr;
    }

    const std::string &auth = Settings.ClientAuthType;
    const bool verify = auth == "VerifyClientCertIfGiven" || auth == "RequireAndVerifyClientCert";
    if (auth.empty() || auth == "NoClientCert") {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    } else if (auth == "RequestClientCert") {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, AcceptAnyCertificate);
    } else if (auth == "RequireAnyClientCert") {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, AcceptAnyCertificate);
    } else if (auth == "VerifyClientCertIfGiven") {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    } else if (auth == "RequireAndVerifyClientCert") {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    } else {
        Error = "unknown client_auth_type \"" + auth + "\"";
        return nullptr;
    }
    if (verify && Settings.ClientCaFile.empty()) {
        Error = "client_auth_type " + auth + " needs client_ca_file";
        return nullptr;
    }
    if (!Settings.ClientCaFile.empty()) {
        STACK_OF(X509_NAME) *names = SSL_load_client_CA_file(Settings.ClientCaFile.c_str());
        if (!names || SSL_CTX_load_verify_locations(ctx, Settings.ClientCaFile.c_str(), nullptr) != 1) {
            sk_X509_NAME_pop_free(names, X509_NAME_free);
            Error = "cannot load the client CA file " + Settings.ClientCaFile + ": " + OpenSslReason();
            return nullptr;
        }
        SSL_CTX_set_client_CA_list(ctx, names);
    }
    return context;
}

TTlsSession::TTlsSession(std::shared_ptr<TTlsServerContext> Context) : m_context(std::move(Context))
{
    BIO_METHOD *method = TTlsSessionBio::Method();
    m_ssl = SSL_new(m_context->Native());
    BIO *bio = method ? BIO_new(method) : nullptr;
    if (!m_ssl || !bio) {
        // Out of memory: the session fails at its first byte.
        SSL_free(m_ssl);
        BIO_free(bio);
        m_ssl = nullptr;
        return;
    }
    BIO_set_data(bio, this);
    // One BIO both ways; SSL_free frees it.
    SSL_set_bio(m_ssl, bio, bio);
    SSL_set_accept_state(m_ssl);
}

TTlsSession::~TTlsSession()
{
    SSL_free(m_ssl);
}

TTlsSession::TResult TTlsSession::Feed(const char *Data, std::size_t Size, std::string &Plain)
{
    if (!m_ssl) {
        m_error = "out of memory for a TLS session";
        return TResult::Failed;
    }
    if (Size > 0 && !m_sawFirstByte) {
        m_sawFirstByte = true;
        if (static_cast<unsigned char>(Data[0]) != kHandshakeRecord) {
            m_notTls = true;
            m_error = "not a TLS handshake";
            return TResult::Failed;
        }
    }
    if (Size == 0)
        return Advance(Plain);
    // Read straight from the caller's bytes; keep only what OpenSSL leaves.
    const bool fresh = m_inSize == 0;
    if (!fresh) {
        m_inLeft.erase(0, static_cast<std::size_t>(m_inData - m_inLeft.data()));
        m_inLeft.append(Data, Size);
        m_inData = m_inLeft.data();
        m_inSize = m_inLeft.size();
    } else {
        m_inData = Data;
        m_inSize = Size;
    }
    const TResult result = Advance(Plain);
    if (fresh && m_inSize > 0) {
        m_inLeft.assign(m_inData, m_inSize);
        m_inData = m_inLeft.data();
    } else if (m_inSize == 0) {
        m_inLeft.clear();
        m_inData = nullptr;
    }
    return result;
}

TTlsSession::TResult TTlsSession::Advance(std::string &Plain)
{
    ERR_clear_error();
    if (!m_handshakeDone) {
        const int result = SSL_do_handshake(m_ssl);
        if (result != 1) {
            const int error = SSL_get_error(m_ssl, result);
            if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
                return TResult::Ok;
            return Fail();
        }
        m_handshakeDone = true;
        std::string held;
        held.swap(m_held);
        if (!held.empty() && !Write(held))
            return TResult::Failed;
    }
    for (;;) {
        // Into a buffer of our own, not a grown string: growing one zero-fills it at every read.
        char chunk[kReadChunk];
        const int n = SSL_read(m_ssl, chunk, kReadChunk);
        if (n > 0) {
            Plain.append(chunk, static_cast<std::size_t>(n));
            continue;
        }
        const int error = SSL_get_error(m_ssl, n);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
            return TResult::Ok;
        if (error == SSL_ERROR_ZERO_RETURN)
            return TResult::Closed;
        return Fail();
    }
}

TTlsSession::TResult TTlsSession::Fail()
{
    m_error = OpenSslReason();
    return TResult::Failed;
}

bool TTlsSession::Write(const std::string &Text)
{
    if (Text.empty())
        return true;
    if (!m_ssl)
        return false;
    if (!m_handshakeDone) {
        m_held += Text;
        return true;
    }
    ERR_clear_error();
    // The output string takes everything: SSL_write encrypts all of Text or fails.
    if (SSL_write(m_ssl, Text.data(), static_cast<int>(Text.size())) <= 0) {
        Fail();
        return false;
    }
    return true;
}

void TTlsSession::Shutdown()
{
    if (m_ssl && m_handshakeDone) {
        ERR_clear_error();
        SSL_shutdown(m_ssl);
        ERR_clear_error();
    }
}

std::size_t TTlsSession::PendingOutput() const
{
    return m_out.size();
}

void TTlsSession::TakeOutput(std::string &Out)
{
    if (Out.empty())
        Out.swap(m_out);
    else
        Out += m_out;
    m_out.clear();
}
