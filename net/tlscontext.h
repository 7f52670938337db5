// SPDX-License-Identifier: MIT
// TLS for the listeners (the web port): a server context made once from the web configuration's
// TLS settings, and the per-connection session that the socket layer runs over a BIO of our own
// (reads from the bytes just received, writes onto one string), so its own send queue, read watch
// and lingering close carry the encrypted bytes unchanged.
#pragma once

#include <memory>
#include <string>
#include <vector>

using SSL_CTX = struct ssl_ctx_st;
using SSL = struct ssl_st;
using BIO = struct bio_st;

// The server side of the web configuration file's tls_server_config, in the exporter toolkit's
// spelling.
struct TTlsSettings
{
    std::string CertFile;
    std::string KeyFile;
    // NoClientCert (also when empty), RequestClientCert, RequireAnyClientCert,
    // VerifyClientCertIfGiven, RequireAndVerifyClientCert.
    std::string ClientAuthType;
    // The CAs client certificates are verified against; needed by the two verifying types.
    std::string ClientCaFile;
    // "TLS12" or "TLS13"; empty means TLS12 for the minimum and TLS13 for the maximum.
    std::string MinVersion;
    std::string MaxVersion;
    // TLS 1.2 suites, Go spelling (TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256) or OpenSSL spelling
    // (ECDHE-RSA-AES128-GCM-SHA256); ECDHE with an AEAD only. Empty: all of those. TLS 1.3 keeps
    // OpenSSL's suites.
    std::vector<std::string> CipherSuites;
};

// Certificate chain, key and policy, loaded once. A reload makes a new context; connections keep
// the one they were accepted with.
class TTlsServerContext
{
public:
    ~TTlsServerContext();
    TTlsServerContext(const TTlsServerContext &) = delete;
    TTlsServerContext &operator=(const TTlsServerContext &) = delete;

    // Null with Error set ("the private key /etc/x.key is readable by others; chmod 600 it") when
    // a file cannot be read or the settings are not acceptable.
    static std::shared_ptr<TTlsServerContext> Make(const TTlsSettings &Settings, std::string &Error);

    SSL_CTX *Native() const { return m_ctx; }

private:
    TTlsServerContext() = default;
    SSL_CTX *m_ctx = nullptr;
};

// One accepted connection's TLS state. Ciphertext from the peer goes in with Feed; what the
// session wants sent comes out of TakeOutput. Never touches the descriptor.
class TTlsSession
{
public:
    explicit TTlsSession(std::shared_ptr<TTlsServerContext> Context);
    ~TTlsSession();
    TTlsSession(const TTlsSession &) = delete;
    TTlsSession &operator=(const TTlsSession &) = delete;

    enum class TResult { Ok, Closed, Failed };
    // Hands received ciphertext to the session, advances the handshake and appends any decrypted
    // application bytes to Plain. Closed: the peer sent close_notify. Failed: a protocol error,
    // described by Error().
    TResult Feed(const char *Data, std::size_t Size, std::string &Plain);
    // Encrypts Text (held back until the handshake is done); false on a protocol error.
    bool Write(const std::string &Text);
    // Queues close_notify once the handshake is done.
    void Shutdown();
    // Moves what the session wants sent onto the end of Out.
    void TakeOutput(std::string &Out);
    std::size_t PendingOutput() const;

    bool HandshakeDone() const { return m_handshakeDone; }
    // True once the first byte received was not a TLS handshake record (plain HTTP, garbage):
    // such a peer gets no alert and no answer at all.
    bool NotTls() const { return m_notTls; }
    const std::string &Error() const { return m_error; }

private:
    TResult Advance(std::string &Plain);
    TResult Fail();

    friend struct TTlsSessionBio;

    std::shared_ptr<TTlsServerContext> m_context;
    SSL *m_ssl = nullptr;
    // What Feed was given and OpenSSL has not read yet; m_inData points into the caller's buffer
    // during Feed, into m_inLeft after it.
    const char *m_inData = nullptr;
    std::size_t m_inSize = 0;
    std::string m_inLeft;
    // Ciphertext OpenSSL wrote, waiting for TakeOutput.
    std::string m_out;
    bool m_handshakeDone = false;
    bool m_sawFirstByte = false;
    bool m_notTls = false;
    std::string m_held;
    std::string m_error;
};
