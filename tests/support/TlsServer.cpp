#include "tests/support/TlsServer.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifndef QUILLBOX_SOURCE_DIR
#error "QUILLBOX_SOURCE_DIR must name the source tree (it holds scripts/make-pki)"
#endif

namespace testsupport {

namespace {

constexpr int DeadlineMs = 5000;

struct PkiHolder {
    TestPki Pki;
    PkiHolder()
    {
        std::string dir = (std::filesystem::temp_directory_path() / "quillbox-pki-XXXXXX").string();
        if (!::mkdtemp(dir.data()))
            throw std::runtime_error("TestPki: cannot create a folder");
        Pki.Dir = dir;
        const std::string command =
            "/bin/bash '" + std::string(QUILLBOX_SOURCE_DIR) + "/scripts/make-pki' '" + dir + "'";
        if (std::system(command.c_str()) != 0)
            throw std::runtime_error("TestPki: scripts/make-pki failed");
    }
    ~PkiHolder()
    {
        std::error_code ec;
        std::filesystem::remove_all(Pki.Dir, ec);
    }
};

bool WaitReadable(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}

} // namespace

const TestPki& TestPki::Get()
{
    static PkiHolder holder;
    return holder.Pki;
}

std::string TestPki::Fingerprint(const std::string& name) const
{
    std::ifstream in(Dir + "/" + name + ".fp");
    std::string text;
    std::getline(in, text);
    return text;
}

TlsServer::TlsServer(const std::string& name, int maxVersion)
{
    const TestPki& pki = TestPki::Get();
    FContext = SSL_CTX_new(TLS_server_method());
    if (!FContext || SSL_CTX_use_certificate_file(FContext, pki.Cert(name).c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(FContext, pki.Key(name).c_str(), SSL_FILETYPE_PEM) != 1)
        throw std::runtime_error("TlsServer: cannot load " + name);
    if (maxVersion)
        SSL_CTX_set_max_proto_version(FContext, maxVersion);
    FSession = SSL_new(FContext);
    FIn = BIO_new(BIO_s_mem());
    FOut = BIO_new(BIO_s_mem());
    SSL_set_bio(FSession, FIn, FOut);
    SSL_set_accept_state(FSession);
}

TlsServer::~TlsServer()
{
    SSL_free(FSession);
    SSL_CTX_free(FContext);
}

std::string TlsServer::ServerName() const
{
    const char* name = SSL_get_servername(FSession, TLSEXT_NAMETYPE_host_name);
    return name ? name : "";
}

bool TlsServer::Flush(int fd)
{
    char buf[4096];
    std::string out;
    for (int n; (n = BIO_read(FOut, buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<size_t>(n));
    const size_t chunk = FChunk == 0 ? out.size() : FChunk;
    for (size_t off = 0; off < out.size(); off += chunk) {
        const size_t n = std::min(chunk, out.size() - off);
        if (::send(fd, out.data() + off, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n))
            return false;
        // Gives the client a chance to read each piece on its own.
        if (FChunk != 0 && n < out.size())
            ::usleep(100);
    }
    return true;
}

bool TlsServer::Fill(int fd, int waitMs)
{
    if (!WaitReadable(fd, waitMs))
        return true;
    char buf[4096];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0)
        return false;
    BIO_write(FIn, buf, static_cast<int>(n));
    return true;
}

bool TlsServer::Accept(int fd)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(DeadlineMs);
    while (std::chrono::steady_clock::now() < deadline) {
        ERR_clear_error();
        const int r = SSL_do_handshake(FSession);
        if (!Flush(fd))
            return false;
        if (r == 1)
            return true;
        if (SSL_get_error(FSession, r) != SSL_ERROR_WANT_READ || !Fill(fd, 50))
            return false;
    }
    return false;
}

bool TlsServer::Send(int fd, const std::string& bytes)
{
    if (!bytes.empty() && SSL_write(FSession, bytes.data(), static_cast<int>(bytes.size())) <= 0)
        return false;
    return Flush(fd);
}

bool TlsServer::Decrypt(int fd)
{
    char buf[4096];
    int n;
    while ((n = SSL_read(FSession, buf, sizeof buf)) > 0)
        FPlain.append(buf, static_cast<size_t>(n));
    const int error = SSL_get_error(FSession, n);
    Flush(fd); // a key update's answer, an alert
    return error == SSL_ERROR_WANT_READ;
}

int TlsServer::ReadByte(int fd, char& ch, int waitMs)
{
    if (FPlain.empty()) {
        const bool open = Decrypt(fd) && Fill(fd, waitMs) && Decrypt(fd);
        if (FPlain.empty())
            return open ? 0 : -1;
    }
    ch = FPlain[0];
    FPlain.erase(0, 1);
    return 1;
}

void TlsServer::SendCut(int fd, const std::string& bytes, size_t keep)
{
    SSL_write(FSession, bytes.data(), static_cast<int>(bytes.size()));
    std::string records(BIO_ctrl_pending(FOut), '\0');
    BIO_read(FOut, records.data(), static_cast<int>(records.size()));
    ::send(fd, records.data(), std::min(keep, records.size()), MSG_NOSIGNAL);
}

bool TlsServer::ClientClosed() const
{
    return (SSL_get_shutdown(FSession) & SSL_RECEIVED_SHUTDOWN) != 0;
}

void TlsServer::SendCloseNotify(int fd)
{
    SSL_shutdown(FSession);
    Flush(fd);
}

} // namespace testsupport
