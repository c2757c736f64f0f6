#include "cip_test_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace cip_test {

// Only guards against a hung test; no result depends on it.
static const int kSafetyMs = 20000;

void put16(Bytes& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put64(Bytes& out, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint16_t get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t get32(const uint8_t* p) {
    return get16(p) | static_cast<uint32_t>(get16(p + 2)) << 16;
}
uint64_t get64(const uint8_t* p) {
    return get32(p) | static_cast<uint64_t>(get32(p + 4)) << 32;
}
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

PeerConnection::~PeerConnection() {
    close();
}

void PeerConnection::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

Bytes PeerConnection::read(size_t n) {
    Bytes out(n);
    size_t done = 0;
    while (done < n && fd_ >= 0) {
        pollfd pfd = {fd_, POLLIN, 0};
        if (poll(&pfd, 1, kSafetyMs) <= 0)
            break;
        ssize_t r = ::recv(fd_, out.data() + done, n - done, 0);
        if (r == 0)
            eof_ = true;
        if (r <= 0)
            break;
        done += static_cast<size_t>(r);
    }
    out.resize(done);
    return out;
}

bool PeerConnection::write(const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size() && fd_ >= 0) {
        ssize_t r = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (r <= 0)
            return false;
        done += static_cast<size_t>(r);
    }
    return done == bytes.size();
}

Bytes PeerConnection::read_until_closed() {
    Bytes out;
    uint8_t chunk[512];
    while (fd_ >= 0) {
        pollfd pfd = {fd_, POLLIN, 0};
        if (poll(&pfd, 1, kSafetyMs) <= 0)
            break;
        ssize_t r = ::recv(fd_, chunk, sizeof chunk, 0);
        if (r == 0)
            eof_ = true;
        if (r <= 0)
            break;
        out.insert(out.end(), chunk, chunk + r);
    }
    return out;
}

bool read_message(PeerConnection& conn, EncapMessage* m) {
    Bytes header = conn.read(24);
    if (header.size() != 24)
        return false;
    m->command = get16(&header[0]);
    m->length = get16(&header[2]);
    m->session = get32(&header[4]);
    m->status = get32(&header[8]);
    m->context = get64(&header[12]);
    m->options = get32(&header[20]);
    m->data = conn.read(m->length);
    m->raw = cat({header, m->data});
    return m->data.size() == m->length;
}

Bytes encap(uint16_t command, uint32_t session, uint32_t status, uint64_t context, const Bytes& data,
            uint32_t options) {
    Bytes out;
    put16(out, command);
    put16(out, static_cast<uint16_t>(data.size()));
    put32(out, session);
    put32(out, status);
    put64(out, context);
    put32(out, options);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

Bytes cpf_reply(const Bytes& cip) {
    Bytes out;
    put32(out, 0); // interface handle
    put16(out, 0); // timeout
    put16(out, 2); // items
    put16(out, 0x0000);
    put16(out, 0);
    put16(out, 0x00B2);
    put16(out, static_cast<uint16_t>(cip.size()));
    out.insert(out.end(), cip.begin(), cip.end());
    return out;
}

Bytes cpf_payload(const Bytes& cpf) {
    if (cpf.size() < 8)
        return {};
    size_t count = get16(&cpf[6]);
    size_t at = 8;
    for (size_t i = 0; i < count && at + 4 <= cpf.size(); ++i) {
        uint16_t type = get16(&cpf[at]);
        size_t len = get16(&cpf[at + 2]);
        if (at + 4 + len > cpf.size())
            return {};
        if (type == 0x00B2)
            return Bytes(cpf.begin() + static_cast<long>(at + 4),
                         cpf.begin() + static_cast<long>(at + 4 + len));
        at += 4 + len;
    }
    return {};
}

ScriptedPeer::ScriptedPeer(Handler handler, int connections) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listener_ < 0)
        throw std::runtime_error("socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("listen");
    port_ = ntohs(addr.sin_port);
    // Listening before the thread starts: the client may connect as soon as the constructor returns.
    thread_ = std::thread([this, handler = std::move(handler), connections] {
        for (int i = 0; i < connections; ++i) {
            pollfd pfd = {listener_, POLLIN, 0};
            if (poll(&pfd, 1, kSafetyMs) <= 0)
                return;
            int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0)
                return;
            accepted_.fetch_add(1);
            PeerConnection conn(fd);
            handler(conn, i);
        }
    });
}

ScriptedPeer::~ScriptedPeer() {
    // Wakes a thread still waiting in accept (a client that never came) so the test cannot hang.
    if (listener_ >= 0)
        ::shutdown(listener_, SHUT_RDWR);
    join();
    if (listener_ >= 0)
        ::close(listener_);
}

void ScriptedPeer::join() {
    if (thread_.joinable())
        thread_.join();
}

ScriptedPeer::Handler Device::handler() {
    return [this](PeerConnection& conn, int) {
        EncapMessage m;
        while (read_message(conn, &m)) {
            if (m.command == 0x0065) {
                conn.write(encap(0x0065, session, 0, m.context, {0x01, 0x00, 0x00, 0x00}));
            } else if (m.command == 0x0066) {
                ++unregistered;
                conn.read_until_closed();
                return;
            } else if (m.command == 0x006F) {
                Bytes cip = cpf_payload(m.data);
                seen.push_back(cip);
                conn.write(encap(0x006F, session, 0, m.context, cpf_reply(on_cip(cip))));
            } else {
                return;
            }
        }
    };
}

} // namespace cip_test
