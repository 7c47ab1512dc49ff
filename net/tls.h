// TLS for connections: OpenSSL, loaded when a page first makes an encrypted
// connection (a page that makes none pays nothing for it). The peer's certificate is
// always verified against the system's CA store, or the CA file the configuration
// names, and must hold the host name (or address) the page asked for.

#ifndef NET_TLS_H_
#define NET_TLS_H_

#include "foundation/string.h"

// One TLS session over a connected socket.
class TLSSession {
  public:
    TLSSession() {}
    ~TLSSession();
    TLSSession(const TLSSession&) = delete;
    TLSSession& operator=(const TLSSession&) = delete;

    // The handshake over socket (non-blocking) for host, verified with cafile (empty:
    // the system's store), finished before deadline (milliseconds, as
    // NowMilliseconds()). 1, or 0 with error().
    int Start(int socket, const String& host, const String& cafile, long long deadline);
    // As recv() and send() on a non-blocking socket: a count, 0 at the end, -1 with
    // *wantwrite telling what to wait for (errno EAGAIN), or -1 with error() set.
    long Read(char* buffer, long size, bool* wantwrite);
    long Write(const char* data, long size, bool* wantwrite);
    // Bytes already decrypted and waiting.
    bool Pending() const;
    void Close();
    const String& error() const { return error_; }

  private:
    void* ssl_ = nullptr;  // owned: the SSL object
    void* ctx_ = nullptr;  // owned: its SSL_CTX
    String error_;
};

#endif  // NET_TLS_H_
