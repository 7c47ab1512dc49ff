// The network layer over BSD sockets: name look-up with the system resolver (IPv4
// and IPv6), connects bounded by a time-out, and reads that wait with poll() for
// the time-out and never past the script's deadline.

#ifndef NET_CGI_NETWORK_H_
#define NET_CGI_NETWORK_H_

#include "net/network.h"

class TLSSession;

class CGINetworkConnection : public NetworkConnection {
  public:
    explicit CGINetworkConnection(Kelp* engine);
    ~CGINetworkConnection() override;

    int Connect(const String& address, int port, int timeout) override;
    long Read(char* buffer, long size, int timeout) override;
    int ReadLine(String* line, int timeout, int limit = kMaxNetworkLine) override;
    long Write(const char* data, long length) override;
    void Close() override;
    bool open() const override { return socket_ >= 0; }
    int StartTLS(const String& host, int timeout) override;
    bool secure() const override { return tls_ != nullptr; }
    int socket() const { return socket_; }

  private:
    // Waits until the socket is readable (events POLLIN) or writable (POLLOUT), at
    // most timeout seconds and never past the script's deadline. 1 when ready, 0
    // after the time, -1 on failure (error() set).
    int Wait(short events, int timeout);
    // Refills the read-ahead block: the count, 0 at the end, or a NetworkReadResult.
    long Fill(int timeout);

    int socket_;
    TLSSession* tls_;  // owned while the connection is encrypted
    int timeout_;      // seconds a write may wait: the connect's time-out
    char block_[4096];
    int position_;
    int count_;
};

class CGINetworkManager : public NetworkManager {
  public:
    explicit CGINetworkManager(Kelp* engine) : NetworkManager(engine) {}
    int GetHostAddress(const String& host, String* address) override;

  protected:
    NetworkConnection* NewConnection() override { return new CGINetworkConnection(engine()); }
};

#endif  // NET_CGI_NETWORK_H_
