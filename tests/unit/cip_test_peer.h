// A scripted TCP peer on loopback for the zelkc_cip tests, written independently of the library:
// it frames EtherNet/IP messages itself so that a misreading in the library is not mirrored here.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

namespace cip_test {

using Bytes = std::vector<uint8_t>;

// Little-endian byte building for expected messages.
void put16(Bytes& out, uint16_t v);
void put32(Bytes& out, uint32_t v);
void put64(Bytes& out, uint64_t v);
uint16_t get16(const uint8_t* p);
uint32_t get32(const uint8_t* p);
uint64_t get64(const uint8_t* p);
Bytes cat(std::initializer_list<Bytes> parts);

// One accepted connection. Reads and writes block (with a generous safety limit so that a broken
// client fails the test instead of hanging it).
class PeerConnection {
public:
    explicit PeerConnection(int fd) : fd_(fd) {}
    ~PeerConnection();
    PeerConnection(const PeerConnection&) = delete;
    PeerConnection& operator=(const PeerConnection&) = delete;

    // Exactly n bytes, or fewer when the client closed first.
    Bytes read(size_t n);
    bool write(const Bytes& bytes);
    // Reads until the client closes; returns everything it sent meanwhile.
    Bytes read_until_closed();
    // True once a read saw the client's orderly close.
    bool saw_eof() const { return eof_; }
    void close();
    int fd() const { return fd_; }

private:
    int fd_;
    bool eof_ = false;
};

// One encapsulation message as the peer sees it.
struct EncapMessage {
    uint16_t command = 0;
    uint16_t length = 0;
    uint32_t session = 0;
    uint32_t status = 0;
    uint64_t context = 0;
    uint32_t options = 0;
    Bytes data;
    Bytes raw; // header and data as received
};

// Reads one header and its data; false when the client closed first.
bool read_message(PeerConnection& conn, EncapMessage* message);
// Builds a message: the 24-byte header and the data.
Bytes encap(uint16_t command, uint32_t session, uint32_t status, uint64_t context, const Bytes& data,
            uint32_t options = 0);
// A SendRRData CPF block: null address item and an unconnected data item holding `cip`.
Bytes cpf_reply(const Bytes& cip);
// The CIP request inside a SendRRData CPF block (empty when the block has no 0xB2 item).
Bytes cpf_payload(const Bytes& cpf);

// Listens on 127.0.0.1 (ephemeral port) and runs `handler` on each of `connections` accepted
// connections in turn, on one thread. join() waits for it; the destructor joins too.
class ScriptedPeer {
public:
    using Handler = std::function<void(PeerConnection&, int index)>;
    explicit ScriptedPeer(Handler handler, int connections = 1);
    ~ScriptedPeer();
    uint16_t port() const { return port_; }
    void join();
    // Connections accepted so far (complete after join()).
    int accepted() const { return accepted_.load(); }

private:
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

// A device on top of ScriptedPeer: registers sessions (handle `session`), answers each SendRRData
// with on_cip(CIP request) wrapped in a CPF block, and stops at UnRegisterSession or close. Every
// CIP request is appended to `seen` (read it after join()).
struct Device {
    uint32_t session = 0x01020304;
    std::function<Bytes(const Bytes& cip)> on_cip;
    std::vector<Bytes> seen;
    int unregistered = 0;
    ScriptedPeer::Handler handler();
};

} // namespace cip_test
