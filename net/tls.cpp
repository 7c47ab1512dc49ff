// TLS through OpenSSL's libssl, opened with dlopen on first use: linked, libssl and
// libcrypto would be mapped at every start, encrypted connection or not
// (bench/cgi_bench.sh prints the shared objects a hello request loads).

#include "net/tls.h"

#include <arpa/inet.h>
#include <errno.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>

#include "foundation/shared_library.h"
#include "net/network.h"

namespace {

// The library's functions, looked up once per process.
struct OpenSSL {
    bool loaded = false;
    String error;
    decltype(&OPENSSL_init_ssl) init;
    decltype(&TLS_client_method) client_method;
    decltype(&SSL_CTX_new) ctx_new;
    decltype(&SSL_CTX_free) ctx_free;
    decltype(&SSL_CTX_set_verify) ctx_set_verify;
    decltype(&SSL_CTX_set_default_verify_paths) ctx_default_paths;
    decltype(&SSL_CTX_load_verify_locations) ctx_load_locations;
    decltype(&SSL_new) ssl_new;
    decltype(&SSL_free) ssl_free;
    decltype(&SSL_set_fd) set_fd;
    decltype(&SSL_ctrl) ctrl;
    decltype(&SSL_set1_host) set1_host;
    decltype(&SSL_get0_param) get0_param;
    decltype(&X509_VERIFY_PARAM_set1_ip_asc) set1_ip;
    decltype(&SSL_connect) connect;
    decltype(&SSL_read) read;
    decltype(&SSL_write) write;
    decltype(&SSL_pending) pending;
    decltype(&SSL_get_error) get_error;
    decltype(&SSL_get_verify_result) verify_result;
    decltype(&SSL_shutdown) shutdown;
    decltype(&X509_verify_cert_error_string) verify_string;
    decltype(&ERR_get_error) err_get;
    decltype(&ERR_error_string_n) err_string;
    decltype(&ERR_clear_error) err_clear;
};

OpenSSL* Library(String* error) {
    static OpenSSL o;
    static bool tried = false;
    if (tried) {
        if (!o.loaded) *error = o.error;
        return o.loaded ? &o : nullptr;
    }
    tried = true;
    SharedLibrary lib("TLS is not available: ", "libssl", "libssl.so.3");
    if (!lib.Open()) {
        o.error = lib.error();
        *error = o.error;
        return nullptr;
    }
    bool ok =
        lib.Find("OPENSSL_init_ssl", &o.init) && lib.Find("TLS_client_method", &o.client_method) &&
        lib.Find("SSL_CTX_new", &o.ctx_new) && lib.Find("SSL_CTX_free", &o.ctx_free) &&
        lib.Find("SSL_CTX_set_verify", &o.ctx_set_verify) &&
        lib.Find("SSL_CTX_set_default_verify_paths", &o.ctx_default_paths) &&
        lib.Find("SSL_CTX_load_verify_locations", &o.ctx_load_locations) &&
        lib.Find("SSL_new", &o.ssl_new) && lib.Find("SSL_free", &o.ssl_free) &&
        lib.Find("SSL_set_fd", &o.set_fd) && lib.Find("SSL_ctrl", &o.ctrl) &&
        lib.Find("SSL_set1_host", &o.set1_host) && lib.Find("SSL_get0_param", &o.get0_param) &&
        lib.Find("X509_VERIFY_PARAM_set1_ip_asc", &o.set1_ip) &&
        lib.Find("SSL_connect", &o.connect) && lib.Find("SSL_read", &o.read) &&
        lib.Find("SSL_write", &o.write) && lib.Find("SSL_pending", &o.pending) &&
        lib.Find("SSL_get_error", &o.get_error) &&
        lib.Find("SSL_get_verify_result", &o.verify_result) &&
        lib.Find("SSL_shutdown", &o.shutdown) &&
        lib.Find("X509_verify_cert_error_string", &o.verify_string) &&
        lib.Find("ERR_get_error", &o.err_get) && lib.Find("ERR_error_string_n", &o.err_string) &&
        lib.Find("ERR_clear_error", &o.err_clear);
    if (!ok || o.init(0, nullptr) != 1) {
        o.error = ok ? String("TLS is not available: OpenSSL did not start") : lib.error();
        *error = o.error;
        return nullptr;
    }
    o.loaded = true;
    return &o;
}

// The reason of the last failure in OpenSSL's queue.
String QueuedError(OpenSSL* o) {
    unsigned long code = o->err_get();
    if (code == 0) return String();
    char text[256];
    o->err_string(code, text, sizeof text);
    return String(text);
}

// Waits for the socket until deadline: 1 ready, 0 time over.
int WaitFor(int socket, bool write, long long deadline) {
    for (;;) {
        long long left = deadline - NowMilliseconds();
        if (left <= 0) return 0;
        struct pollfd p = {socket, static_cast<short>(write ? POLLOUT : POLLIN), 0};
        int r = poll(&p, 1, static_cast<int>(left > 1000 ? 1000 : left));
        if (r > 0) return 1;
        if (r < 0 && errno != EINTR) return 0;
    }
}

}  // namespace

TLSSession::~TLSSession() {
    Close();
}

int TLSSession::Start(int socket, const String& host, const String& cafile, long long deadline) {
    OpenSSL* o = Library(&error_);
    if (o == nullptr) return 0;
    Close();
    o->err_clear();
    SSL_CTX* ctx = o->ctx_new(o->client_method());
    if (ctx == nullptr) {
        error_ = "TLS: " + QueuedError(o);
        return 0;
    }
    ctx_ = ctx;
    o->ctx_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    bool trusted = cafile.empty() ? o->ctx_default_paths(ctx) == 1
                                  : o->ctx_load_locations(ctx, cafile.chars(), nullptr) == 1;
    if (!trusted) {
        error_ = cafile.empty() ? String("TLS: the system's certificate store cannot be read")
                                : "TLS: the CA file '" + cafile + "' cannot be read";
        return 0;
    }
    SSL* ssl = o->ssl_new(ctx);
    if (ssl == nullptr) {
        error_ = "TLS: " + QueuedError(o);
        return 0;
    }
    ssl_ = ssl;
    o->set_fd(ssl, socket);
    unsigned char raw[16];
    bool address =
        inet_pton(AF_INET, host.chars(), raw) == 1 || inet_pton(AF_INET6, host.chars(), raw) == 1;
    // The certificate must name what the page asked for: the address itself, or the
    // host name (sent to the server too, to pick the certificate).
    bool named = address ? o->set1_ip(o->get0_param(ssl), host.chars()) == 1
                         : o->set1_host(ssl, host.chars()) == 1 &&
                               o->ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                                       const_cast<char*>(host.chars())) == 1;
    if (!named) {
        error_ = "TLS: '" + host + "' cannot be checked against a certificate";
        return 0;
    }
    for (;;) {
        int r = o->connect(ssl);
        if (r == 1) return 1;
        int e = o->get_error(ssl, r);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
            if (WaitFor(socket, e == SSL_ERROR_WANT_WRITE, deadline)) continue;
            error_ = "TLS handshake timed out";
            return 0;
        }
        long verify = o->verify_result(ssl);
        if (verify != X509_V_OK) {
            error_ = String("certificate verification failed: ") + o->verify_string(verify);
        } else {
            String reason = QueuedError(o);
            error_ = "TLS handshake failed" + (reason.empty() ? String() : ": " + reason);
        }
        return 0;
    }
}

long TLSSession::Read(char* buffer, long size, bool* wantwrite) {
    String ignored;
    OpenSSL* o = Library(&ignored);
    *wantwrite = false;
    if (o == nullptr || ssl_ == nullptr) return -1;
    SSL* ssl = static_cast<SSL*>(ssl_);
    int r = o->read(ssl, buffer, static_cast<int>(size > 1 << 30 ? 1 << 30 : size));
    if (r > 0) return r;
    int e = o->get_error(ssl, r);
    if (e == SSL_ERROR_ZERO_RETURN) return 0;
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        *wantwrite = e == SSL_ERROR_WANT_WRITE;
        errno = EAGAIN;
        return -1;
    }
    // A peer that closes without the TLS goodbye ends the stream like a plain close.
    if (e == SSL_ERROR_SYSCALL && o->err_get() == 0) return 0;
    error_ = "TLS read failed: " + QueuedError(o);
    errno = EIO;
    return -1;
}

long TLSSession::Write(const char* data, long size, bool* wantwrite) {
    String ignored;
    OpenSSL* o = Library(&ignored);
    *wantwrite = false;
    if (o == nullptr || ssl_ == nullptr) return -1;
    SSL* ssl = static_cast<SSL*>(ssl_);
    int r = o->write(ssl, data, static_cast<int>(size > 1 << 30 ? 1 << 30 : size));
    if (r > 0) return r;
    int e = o->get_error(ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        *wantwrite = e == SSL_ERROR_WANT_WRITE;
        errno = EAGAIN;
        return -1;
    }
    error_ = "TLS write failed: " + QueuedError(o);
    errno = EIO;
    return -1;
}

bool TLSSession::Pending() const {
    String ignored;
    OpenSSL* o = Library(&ignored);
    return o != nullptr && ssl_ != nullptr && o->pending(static_cast<SSL*>(ssl_)) > 0;
}

void TLSSession::Close() {
    String ignored;
    OpenSSL* o = (ssl_ != nullptr || ctx_ != nullptr) ? Library(&ignored) : nullptr;
    if (o != nullptr && ssl_ != nullptr) {
        o->shutdown(static_cast<SSL*>(ssl_));
        o->ssl_free(static_cast<SSL*>(ssl_));
    }
    if (o != nullptr && ctx_ != nullptr) o->ctx_free(static_cast<SSL_CTX*>(ctx_));
    ssl_ = nullptr;
    ctx_ = nullptr;
}
