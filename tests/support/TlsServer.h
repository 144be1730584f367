// The server side of TLS for scripted peers (ScriptedPeer, Pop3Peer): a
// handshake and records over the accepted socket, run on the peer's thread
// with blocking calls and deadlines. OpenSSL works on memory BIOs here too,
// so the test decides how the records reach the client: whole, or cut into
// pieces of any size, each its own segment. TestPki makes the certificates
// once per test program (scripts/make-pki, in a temporary folder removed at
// exit).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

struct ssl_st;
struct ssl_ctx_st;
struct bio_st;

namespace testsupport {

// The throwaway PKI of this test program.
struct TestPki {
    // Makes it on first use; throws std::runtime_error when openssl fails.
    static const TestPki& Get();
    std::string Dir;
    // Path of NAME.pem / NAME.key in Dir (ca, server, expired, othername,
    // selfsigned), and NAME's SHA-256 fingerprint as openssl prints it.
    std::string Cert(const std::string& name) const { return Dir + "/" + name + ".pem"; }
    std::string Key(const std::string& name) const { return Dir + "/" + name + ".key"; }
    std::string Fingerprint(const std::string& name) const;
};

class TlsServer {
public:
    // Serves the certificate NAME of the TestPki (TLS 1.2 and 1.3, or only
    // the given maximum version, e.g. TLS1_2_VERSION).
    explicit TlsServer(const std::string& name = "server", int maxVersion = 0);
    ~TlsServer();
    TlsServer(const TlsServer&) = delete;
    TlsServer& operator=(const TlsServer&) = delete;

    // Every record leaves in pieces of this many bytes (0: as written).
    void SetChunkSize(size_t bytes) { FChunk = bytes; }
    // The server handshake on fd; false when it fails or 5 s pass.
    bool Accept(int fd);
    // Encrypts bytes (one SSL_write) and sends the records.
    bool Send(int fd, const std::string& bytes);
    // One decrypted byte: 1, 0 when none came within waitMs, -1 at the end.
    int ReadByte(int fd, char& ch, int waitMs);
    // Sends close_notify (the TCP connection stays open).
    void SendCloseNotify(int fd);
    // Encrypts bytes but sends only the first keep bytes of the records.
    void SendCut(int fd, const std::string& bytes, size_t keep);
    // Whether the client's close_notify has arrived.
    bool ClientClosed() const;
    // The SNI name the client sent, empty when none.
    std::string ServerName() const;

private:
    bool Flush(int fd);
    // Reads what the socket holds into OpenSSL; false at the end.
    bool Fill(int fd, int waitMs);
    // Decrypts what OpenSSL holds; false once the client's data has ended.
    bool Decrypt(int fd);

    ssl_ctx_st* FContext = nullptr;
    ssl_st* FSession = nullptr;
    bio_st* FIn = nullptr;
    bio_st* FOut = nullptr;
    size_t FChunk = 0;
    std::string FPlain;
};

} // namespace testsupport
