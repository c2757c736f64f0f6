// The Logix client over TCP against logix-sim on loopback: connection and PLC type, browsing the
// demo controller as its file declares it, reads of every kind, batching on the wire (seen
// through a recording relay), routed requests, transport faults, and block accounting.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "logixsim/server.h"
#include "zelkc_logix.h"

#ifndef LOGIX_DEMO_JSON
#error "LOGIX_DEMO_JSON must name the demo controller file"
#endif

namespace {

using json = nlohmann::json;

constexpr uint32_t kTimeoutMs = 5000;

// ---- a relay between client and simulator that records every encapsulation request ----------

struct Exchange {
    uint16_t command = 0;
    uint8_t service = 0; // the CIP service, inside an Unconnected Send when routed
    bool routed = false; // wrapped in an Unconnected Send (0x52 to the Connection Manager)
    std::vector<uint8_t> route;
    uint16_t services = 0; // for a Multiple Service Packet: the number of embedded services
};

class RecordingRelay {
public:
    explicit RecordingRelay(uint16_t upstream_port) : upstream_port_(upstream_port) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        int one = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listener_, 4) != 0) {
            throw std::runtime_error("relay: cannot listen");
        }
        socklen_t len = sizeof addr;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~RecordingRelay() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    uint16_t port() const { return port_; }
    std::vector<Exchange> take() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Exchange> out;
        out.swap(exchanges_);
        return out;
    }

private:
    void run() {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) {
                continue;
            }
            int client = ::accept(listener_, nullptr, nullptr);
            if (client < 0) {
                continue;
            }
            int upstream = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            addr.sin_port = htons(upstream_port_);
            if (::connect(upstream, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
                relay(client, upstream);
            }
            ::close(upstream);
            ::close(client);
        }
    }
    void relay(int client, int upstream) {
        std::vector<uint8_t> pending;
        uint8_t buf[65536];
        while (!stop_) {
            pollfd p[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
            if (::poll(p, 2, 20) <= 0) {
                continue;
            }
            if (p[0].revents != 0) {
                ssize_t n = ::recv(client, buf, sizeof buf, 0);
                if (n <= 0) {
                    return;
                }
                pending.insert(pending.end(), buf, buf + n);
                record(pending);
                if (::send(upstream, buf, size_t(n), MSG_NOSIGNAL) != n) {
                    return;
                }
            }
            if (p[1].revents != 0) {
                ssize_t n = ::recv(upstream, buf, sizeof buf, 0);
                if (n <= 0) {
                    return;
                }
                if (::send(client, buf, size_t(n), MSG_NOSIGNAL) != n) {
                    return;
                }
            }
        }
    }
    static uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
    // Parses complete encapsulation frames off the front of `pending`.
    void record(std::vector<uint8_t>& pending) {
        while (pending.size() >= 24) {
            size_t length = le16(&pending[2]);
            if (pending.size() < 24 + length) {
                return;
            }
            Exchange e;
            e.command = le16(&pending[0]);
            if (e.command == 0x6F && length >= 18) {
                const uint8_t* cip = &pending[24 + 16];
                size_t cip_size = length - 16;
                describe(cip, cip_size, &e);
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                exchanges_.push_back(e);
            }
            pending.erase(pending.begin(), pending.begin() + long(24 + length));
        }
    }
    static void describe(const uint8_t* cip, size_t size, Exchange* e) {
        if (size < 2) {
            return;
        }
        e->service = cip[0];
        const size_t data_at = 2 + size_t(cip[1]) * 2;
        if (data_at > size) {
            return;
        }
        const uint8_t* data = cip + data_at;
        const size_t data_size = size - data_at;
        if (cip[0] == 0x52 && !e->routed && data_size >= 4) {
            e->routed = true;
            const size_t inner = le16(data + 2);
            if (4 + inner <= data_size) {
                size_t route_at = 4 + inner + (inner & 1);
                if (route_at + 2 <= data_size) {
                    size_t words = data[route_at];
                    if (route_at + 2 + words * 2 <= data_size) {
                        e->route.assign(data + route_at + 2, data + route_at + 2 + words * 2);
                    }
                }
                describe(data + 4, inner, e);
            }
            return;
        }
        if (cip[0] == 0x0A && data_size >= 2) {
            e->services = le16(data);
        }
    }

    uint16_t upstream_port_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Exchange> exchanges_;
};

// ---- fixture --------------------------------------------------------------------------------

json demo_file() {
    std::ifstream in(LOGIX_DEMO_JSON);
    return json::parse(in);
}

class LogixClientTest : public ::testing::Test {
protected:
    void SetUp() override { start({}); }
    void TearDown() override {
        zelkc_logix_client_destroy(client_);
        relay_.reset();
        server_.reset();
    }
    void start(logixsim::Options options) {
        options.host = "127.0.0.1";
        options.port = 0;
        options.live_interval_ms = 0;
        server_ = std::make_unique<logixsim::Server>(logixsim::demo_controller(), options);
        server_->start();
        client_ = zelkc_logix_client_create();
        ASSERT_NE(client_, nullptr);
    }
    uint8_t connect() {
        return zelkc_logix_client_connect(client_, "127.0.0.1", server_->port(), kTimeoutMs);
    }
    void set_faults(const logixsim::Faults& f) { server_->set_faults(f); }
    RecordingRelay& relay() {
        if (!relay_) {
            relay_ = std::make_unique<RecordingRelay>(server_->port());
        }
        return *relay_;
    }

    std::unique_ptr<logixsim::Server> server_;
    std::unique_ptr<RecordingRelay> relay_;
    zelkc_logix_client* client_ = nullptr;
};

TEST_F(LogixClientTest, ConnectGivesPlcTypeAndDisconnectKeepsIt) {
    const std::string product = demo_file()["identity"]["product_name"];
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
    EXPECT_TRUE(zelkc_logix_client_is_connected(client_));
    ASSERT_NE(zelkc_logix_client_plc_type(client_), nullptr);
    EXPECT_EQ(std::string(zelkc_logix_client_plc_type(client_)), product);
    zelkc_logix_client_disconnect(client_);
    EXPECT_FALSE(zelkc_logix_client_is_connected(client_));
    EXPECT_EQ(std::string(zelkc_logix_client_plc_type(client_)), product);
    zelkc_logix_value v{};
    EXPECT_EQ(zelkc_logix_client_read_atomic_value(client_, "DintTag", &v), ZELKC_LOGIX_ERR_NOT_CONNECTED);
    // Reconnecting works and replaces the identity.
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
    EXPECT_EQ(zelkc_logix_client_read_atomic_value(client_, "DintTag", &v), ZELKC_LOGIX_OK);
}

TEST_F(LogixClientTest, ConnectFailures) {
    // A port that refuses: the simulator's port after it stopped.
    const uint16_t port = server_->port();
    server_->stop();
    EXPECT_EQ(zelkc_logix_client_connect(client_, "127.0.0.1", port, kTimeoutMs),
              ZELKC_LOGIX_ERR_CONNECT_FAILED);
    EXPECT_FALSE(zelkc_logix_client_is_connected(client_));
    EXPECT_EQ(zelkc_logix_client_plc_type(client_), nullptr);
    EXPECT_EQ(zelkc_logix_client_connect(client_, nullptr, port, kTimeoutMs),
              ZELKC_LOGIX_ERR_INVALID_ARGUMENT);

    logixsim::Options options;
    options.faults.refuse_sessions = true;
    zelkc_logix_client_destroy(client_);
    start(options);
    EXPECT_EQ(connect(), ZELKC_LOGIX_ERR_SESSION_REFUSED);
    EXPECT_FALSE(zelkc_logix_client_is_connected(client_));
}

// ---- browsing -------------------------------------------------------------------------------

const std::map<std::string, uint8_t> kAtomicCodes = {
    {"BOOL", 0xC1},  {"SINT", 0xC2}, {"INT", 0xC3},   {"DINT", 0xC4},  {"LINT", 0xC5},
    {"USINT", 0xC6}, {"UINT", 0xC7}, {"UDINT", 0xC8}, {"ULINT", 0xC9}, {"REAL", 0xCA},
    {"LREAL", 0xCB}, {"BYTE", 0xD1}, {"WORD", 0xD2},  {"DWORD", 0xD3}, {"LWORD", 0xD4}};

class Expectation {
public:
    explicit Expectation(const json& file) {
        for (const auto& t : file["types"]) {
            types_[t["name"]] = t["members"];
        }
    }
    // Checks one tag or member against its declaration; `dims` the declared dimensions.
    void check(const zelkc_logix_tag_info& info, const std::string& type, const std::vector<uint32_t>& dims,
               const std::string& where, bool member) const {
        SCOPED_TRACE(where);
        EXPECT_EQ(zelkc_logix_tag_array_rank(info.symbol_type), dims.size());
        if (member) {
            EXPECT_EQ(info.dims[0], dims.empty() ? 0u : dims[0]);
        } else {
            for (size_t i = 0; i < 3; ++i) {
                EXPECT_EQ(info.dims[i], i < dims.size() ? dims[i] : 0u) << "dimension " << i;
            }
        }
        auto atomic = kAtomicCodes.find(type);
        if (atomic != kAtomicCodes.end()) {
            EXPECT_FALSE(zelkc_logix_tag_is_struct(info.symbol_type));
            EXPECT_EQ(zelkc_logix_tag_atomic_type(info.symbol_type), atomic->second);
            EXPECT_EQ(info.type_name, nullptr);
            EXPECT_EQ(info.child_count, 0u);
            return;
        }
        ASSERT_TRUE(zelkc_logix_tag_is_struct(info.symbol_type));
        ASSERT_NE(info.type_name, nullptr);
        EXPECT_EQ(std::string(info.type_name), type);
        if (type == "STRING") {
            EXPECT_TRUE(zelkc_logix_tag_is_string(&info));
            ASSERT_EQ(info.child_count, 2u);
            EXPECT_STREQ(info.children[0].name, "LEN");
            EXPECT_EQ(info.children[0].symbol_type, 0xC4);
            EXPECT_STREQ(info.children[1].name, "DATA");
            EXPECT_EQ(zelkc_logix_tag_atomic_type(info.children[1].symbol_type), 0xC2);
            EXPECT_EQ(zelkc_logix_tag_array_rank(info.children[1].symbol_type), 1u);
            return;
        }
        auto declared = types_.find(type);
        ASSERT_NE(declared, types_.end()) << type;
        const json& members = declared->second;
        ASSERT_EQ(info.child_count, members.size());
        for (size_t i = 0; i < members.size(); ++i) {
            const json& m = members[i];
            const std::string name = m["name"];
            EXPECT_EQ(std::string(info.children[i].name), name);
            std::vector<uint32_t> member_dims;
            if (m.contains("dim")) {
                member_dims.push_back(m["dim"]);
            }
            check(info.children[i], m["type"], member_dims, where + "." + name, true);
        }
    }
    static std::vector<uint32_t> dims_of(const json& tag) {
        std::vector<uint32_t> dims;
        if (tag.contains("dims")) {
            for (const auto& d : tag["dims"]) {
                dims.push_back(d);
            }
        }
        return dims;
    }

private:
    std::map<std::string, json> types_;
};

const zelkc_logix_tag_info* find(const zelkc_logix_tag_info_list& list, const std::string& name) {
    for (uint32_t i = 0; i < list.count; ++i) {
        if (name == list.items[i].name) {
            return &list.items[i];
        }
    }
    return nullptr;
}

TEST_F(LogixClientTest, BrowseMatchesTheControllerFile) {
    const json file = demo_file();
    const Expectation expect(file);
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
    zelkc_logix_tag_info_list list{};
    ASSERT_EQ(zelkc_logix_client_browse_global_tags(client_, &list), ZELKC_LOGIX_OK);
    EXPECT_EQ(list.count, file["tags"].size() + file["programs"].size());
    for (const auto& tag : file["tags"]) {
        const std::string name = tag["name"];
        const zelkc_logix_tag_info* info = find(list, name);
        ASSERT_NE(info, nullptr) << name;
        expect.check(*info, tag["type"], Expectation::dims_of(tag), name, false);
    }
    for (uint32_t i = 1; i < list.count; ++i) {
        EXPECT_LT(list.items[i - 1].id, list.items[i].id); // instance order
    }
    for (const auto& program : file["programs"]) {
        const std::string name = program["name"];
        const zelkc_logix_tag_info* entry = find(list, name);
        ASSERT_NE(entry, nullptr) << name;
        EXPECT_TRUE(zelkc_logix_tag_is_program(entry->symbol_type));
        EXPECT_EQ(entry->child_count, 0u);

        zelkc_logix_tag_info_list tags{};
        ASSERT_EQ(zelkc_logix_client_browse_program_tags(client_, &tags, name.c_str()), ZELKC_LOGIX_OK)
            << name;
        EXPECT_EQ(tags.count, program["tags"].size());
        for (const auto& tag : program["tags"]) {
            const std::string tag_name = tag["name"];
            const zelkc_logix_tag_info* info = find(tags, tag_name);
            ASSERT_NE(info, nullptr) << name << "." << tag_name;
            expect.check(*info, tag["type"], Expectation::dims_of(tag), "Program:" + name + "." + tag_name,
                         false);
        }
        zelkc_logix_tag_info_list_free(&tags);
    }
    zelkc_logix_tag_info_list_free(&list);

    zelkc_logix_tag_info_list none{};
    EXPECT_EQ(zelkc_logix_client_browse_program_tags(client_, &none, "NoSuchProgram"),
              ZELKC_LOGIX_ERR_DEVICE);
    EXPECT_EQ(none.count, 0u);
    EXPECT_EQ(none.items, nullptr);
    EXPECT_EQ(zelkc_logix_client_browse_program_tags(client_, &none, std::string(248, 'P').c_str()),
              ZELKC_LOGIX_ERR_LIMIT);
}

TEST_F(LogixClientTest, BrowseInSmallPagesAndFragmentsReadsEachTemplateOnce) {
    logixsim::Faults faults;
    faults.reply_limit = 120; // many pages, templates in several fragments
    set_faults(faults);
    ASSERT_EQ(zelkc_logix_client_connect(client_, "127.0.0.1", relay().port(), kTimeoutMs), ZELKC_LOGIX_OK);
    relay().take();
    zelkc_logix_tag_info_list list{};
    ASSERT_EQ(zelkc_logix_client_browse_global_tags(client_, &list), ZELKC_LOGIX_OK);
    const json file = demo_file();
    EXPECT_EQ(list.count, file["tags"].size() + file["programs"].size());
    const Expectation expect(file);
    for (const auto& tag : file["tags"]) {
        const zelkc_logix_tag_info* info = find(list, tag["name"]);
        ASSERT_NE(info, nullptr);
        expect.check(*info, tag["type"], Expectation::dims_of(tag), tag["name"], false);
    }
    zelkc_logix_tag_info_list_free(&list);
    // One attribute request per template met: MotorStatus, Motor, Ingredient, Recipe, STRING.
    size_t attribute_requests = 0;
    size_t pages = 0;
    for (const auto& e : relay().take()) {
        attribute_requests += e.service == 0x03;
        pages += e.service == 0x55;
    }
    EXPECT_EQ(attribute_requests, 5u);
    EXPECT_GT(pages, 3u);
}

// ---- reads ----------------------------------------------------------------------------------

// The expected union bytes of a declared atomic value.
void expect_value(const zelkc_logix_value& v, const std::string& type, const json& value,
                  const std::string& tag) {
    SCOPED_TRACE(tag);
    ASSERT_EQ(v.type, kAtomicCodes.at(type));
    if (type == "BOOL") {
        EXPECT_EQ(v.value.u8, value.get<bool>() ? 1 : 0);
    } else if (type == "SINT") {
        EXPECT_EQ(v.value.i8, value.get<int64_t>());
    } else if (type == "INT") {
        EXPECT_EQ(v.value.i16, value.get<int64_t>());
    } else if (type == "DINT") {
        EXPECT_EQ(v.value.i32, value.get<int64_t>());
    } else if (type == "LINT") {
        EXPECT_EQ(v.value.i64, value.get<int64_t>());
    } else if (type == "USINT" || type == "BYTE") {
        EXPECT_EQ(v.value.u8, value.get<uint64_t>());
    } else if (type == "UINT" || type == "WORD") {
        EXPECT_EQ(v.value.u16, value.get<uint64_t>());
    } else if (type == "UDINT" || type == "DWORD") {
        EXPECT_EQ(v.value.u32, value.get<uint64_t>());
    } else if (type == "ULINT" || type == "LWORD") {
        EXPECT_EQ(v.value.u64, value.get<uint64_t>());
    } else if (type == "REAL") {
        EXPECT_EQ(v.value.f32, value.get<float>());
    } else if (type == "LREAL") {
        EXPECT_EQ(v.value.f64, value.get<double>());
    }
}

// Every scalar atomic tag of the demo file that declares a value.
std::vector<std::pair<std::string, json>> atomic_tags(const json& file) {
    std::vector<std::pair<std::string, json>> tags;
    for (const auto& tag : file["tags"]) {
        if (kAtomicCodes.count(tag["type"]) && !tag.contains("dims") && tag.contains("value") &&
            !tag.contains("behaviour")) {
            tags.emplace_back(tag["name"], tag);
        }
    }
    return tags;
}

TEST_F(LogixClientTest, ReadsEveryAtomicTypeSingly) {
    const json file = demo_file();
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
    const auto tags = atomic_tags(file);
    ASSERT_GE(tags.size(), 15u);
    for (const auto& [name, tag] : tags) {
        zelkc_logix_value v{};
        ASSERT_EQ(zelkc_logix_client_read_atomic_value(client_, name.c_str(), &v), ZELKC_LOGIX_OK) << name;
        expect_value(v, tag["type"], tag["value"], name);
    }
    // Members, elements and program tags through the path grammar.
    zelkc_logix_value v{};
    ASSERT_EQ(zelkc_logix_client_read_atomic_value(client_, "Motor1.Status.RunHours", &v), ZELKC_LOGIX_OK);
    EXPECT_EQ(v.value.i32, 1021);
    ASSERT_EQ(zelkc_logix_client_read_atomic_value(client_, "Motor1.Status.Running", &v), ZELKC_LOGIX_OK);
    EXPECT_EQ(v.type, 0xC1);
    EXPECT_EQ(v.value.u8, 1); // a set BOOL arrives as 0xFF and is stored as 1
    ASSERT_EQ(zelkc_logix_client_read_atomic_value(client_, "Recipe1.Ingredients[1].Code", &v),
              ZELKC_LOGIX_OK);
    EXPECT_EQ(v.value.u32, 1002u);
    ASSERT_EQ(zelkc_logix_client_read_atomic_value(client_, "DintArray[7]", &v), ZELKC_LOGIX_OK);
    EXPECT_EQ(v.value.i32, 7);
    ASSERT_EQ(zelkc_logix_client_read_atomic_value(client_, "Matrix[2,1]", &v), ZELKC_LOGIX_OK);
    EXPECT_EQ(v.value.i16, 21);
    ASSERT_EQ(zelkc_logix_client_read_atomic_value(client_, "Program:MainProgram.Step", &v), ZELKC_LOGIX_OK);
    EXPECT_EQ(v.value.i16, 3);
    EXPECT_EQ(zelkc_logix_client_read_atomic_value(client_, "NoSuchTag", &v), ZELKC_LOGIX_ERR_DEVICE);
    EXPECT_EQ(zelkc_logix_client_read_atomic_value(client_, "Motor1", &v), ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE);
    EXPECT_TRUE(zelkc_logix_client_is_connected(client_));
}

std::vector<zelkc_logix_atomic_read> entries_for(const std::vector<std::string>& names) {
    std::vector<zelkc_logix_atomic_read> entries(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        entries[i].tag = names[i].c_str();
        entries[i].result = 0xEE;
        std::memset(&entries[i].value, 0xEE, sizeof entries[i].value);
    }
    return entries;
}

struct Wire {
    uint8_t service;
    uint16_t services;
    bool operator==(const Wire&) const = default;
};

std::vector<Wire> wire_of(const std::vector<Exchange>& exchanges) {
    std::vector<Wire> w;
    for (const auto& e : exchanges) {
        w.push_back({e.service, e.services});
    }
    return w;
}

std::ostream& operator<<(std::ostream& os, const Wire& w) {
    return os << "{0x" << std::hex << int(w.service) << std::dec << " x" << w.services << "}";
}

TEST_F(LogixClientTest, BatchOf31GoesOutAsAGroupOf30ThenASingleRead) {
    const json file = demo_file();
    ASSERT_EQ(zelkc_logix_client_connect(client_, "127.0.0.1", relay().port(), kTimeoutMs), ZELKC_LOGIX_OK);
    const auto tags = atomic_tags(file);
    std::vector<std::string> names;
    std::vector<json> declared;
    while (names.size() < 31) {
        const auto& t = tags[names.size() % tags.size()];
        names.push_back(t.first);
        declared.push_back(t.second);
    }
    auto entries = entries_for(names);
    relay().take();
    ASSERT_EQ(zelkc_logix_client_read_atomic_values(client_, entries.data(), uint32_t(entries.size())),
              ZELKC_LOGIX_OK);
    for (size_t i = 0; i < entries.size(); ++i) {
        ASSERT_EQ(entries[i].result, ZELKC_LOGIX_OK) << names[i];
        expect_value(entries[i].value, declared[i]["type"], declared[i]["value"], names[i]);
    }
    const std::vector<Exchange> wire = relay().take();
    ASSERT_GE(wire.size(), 2u);
    uint32_t packed = 0;
    for (size_t i = 0; i + 1 < wire.size(); ++i) {
        EXPECT_EQ(wire[i].service, 0x0A);
        EXPECT_FALSE(wire[i].routed);
        packed += wire[i].services;
    }
    EXPECT_EQ(packed, 30u);
    EXPECT_LE(wire.size(), 4u); // 30 small reads fill few 500-byte packets
    EXPECT_EQ(wire.back().service, 0x4C);
}

TEST_F(LogixClientTest, BatchEntriesFailOnTheirOwn) {
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
    const std::vector<std::string> names = {"DintTag", "Bad..Path", "NoSuchTag", "Motor1", "RealTag"};
    auto entries = entries_for(names);
    ASSERT_EQ(zelkc_logix_client_read_atomic_values(client_, entries.data(), uint32_t(entries.size())),
              ZELKC_LOGIX_OK);
    EXPECT_EQ(entries[0].result, ZELKC_LOGIX_OK);
    EXPECT_EQ(entries[0].value.value.i32, 123456);
    EXPECT_EQ(entries[1].result, ZELKC_LOGIX_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(entries[1].value.value.u64, 0u); // zeroed although never read
    EXPECT_EQ(entries[2].result, ZELKC_LOGIX_ERR_DEVICE);
    EXPECT_EQ(entries[3].result, ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE);
    EXPECT_EQ(entries[4].result, ZELKC_LOGIX_OK);
    EXPECT_EQ(entries[4].value.value.f32, 3.25f);
}

TEST_F(LogixClientTest, RefusedGroupsAreHalvedDownToSingleReads) {
    logixsim::Faults faults;
    faults.packet_limit = 10; // every Multiple Service Packet is refused as too large
    set_faults(faults);
    ASSERT_EQ(zelkc_logix_client_connect(client_, "127.0.0.1", relay().port(), kTimeoutMs), ZELKC_LOGIX_OK);
    const std::vector<std::string> names = {"DintTag", "IntTag", "RealTag"};
    auto entries = entries_for(names);
    relay().take();
    ASSERT_EQ(zelkc_logix_client_read_atomic_values(client_, entries.data(), 3), ZELKC_LOGIX_OK);
    for (const auto& e : entries) {
        EXPECT_EQ(e.result, ZELKC_LOGIX_OK) << e.tag;
    }
    EXPECT_EQ(entries[1].value.value.i16, 1234);
    // The packet layer splits 3 into 1 + 2 and fails on the single packet; the group is then
    // halved: 1 read alone, then the group of 2, refused the same way, as two single reads.
    const std::vector<Wire> expected = {{0x0A, 3}, {0x0A, 1}, {0x4C, 0}, {0x0A, 2},
                                        {0x0A, 1}, {0x4C, 0}, {0x4C, 0}};
    EXPECT_EQ(wire_of(relay().take()), expected);
    EXPECT_TRUE(zelkc_logix_client_is_connected(client_));
}

TEST_F(LogixClientTest, ArraysStringsAndBytesInFragments) {
    logixsim::Faults faults;
    faults.reply_limit = 64;
    set_faults(faults);
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
    const json file = demo_file();

    zelkc_logix_value_array array{};
    ASSERT_EQ(zelkc_logix_client_read_atomic_array(client_, "DintArray", 10, &array), ZELKC_LOGIX_OK);
    EXPECT_EQ(array.type, 0xC4);
    ASSERT_EQ(array.count, 10u);
    for (int32_t i = 0; i < 10; ++i) {
        int32_t v;
        std::memcpy(&v, array.data + 4 * i, 4);
        EXPECT_EQ(v, i);
    }
    zelkc_logix_value_array_free(&array);
    ASSERT_EQ(zelkc_logix_client_read_atomic_array(client_, "LargeArray", 300, &array), ZELKC_LOGIX_OK);
    EXPECT_EQ(array.count, 300u);
    zelkc_logix_value_array_free(&array);
    ASSERT_EQ(zelkc_logix_client_read_atomic_array(client_, "RealArray", 5, &array), ZELKC_LOGIX_OK);
    float f;
    std::memcpy(&f, array.data + 8, 4);
    EXPECT_EQ(f, 2.5f);
    zelkc_logix_value_array_free(&array);
    // Fewer elements than the tag holds are read from its start.
    ASSERT_EQ(zelkc_logix_client_read_atomic_array(client_, "Motor1.History", 3, &array), ZELKC_LOGIX_OK);
    int32_t h;
    std::memcpy(&h, array.data + 8, 4);
    EXPECT_EQ(h, 3);
    zelkc_logix_value_array_free(&array);
    EXPECT_NE(zelkc_logix_client_read_atomic_array(client_, "Greeting", 1, &array), ZELKC_LOGIX_OK);
    EXPECT_EQ(array.data, nullptr);
    EXPECT_EQ(array.count, 0u);
    zelkc_logix_value_array_free(&array);

    char buf[96];
    uint32_t length = 0;
    const std::string greeting = [&] {
        for (const auto& t : file["tags"]) {
            if (t["name"] == "Greeting") {
                return t["value"].get<std::string>();
            }
        }
        return std::string();
    }();
    ASSERT_EQ(zelkc_logix_client_read_string_value(client_, "Greeting", buf, sizeof buf, &length),
              ZELKC_LOGIX_OK);
    EXPECT_EQ(std::string(buf), greeting);
    EXPECT_EQ(length, greeting.size());
    ASSERT_EQ(zelkc_logix_client_read_string_value(client_, "EmptyString", buf, sizeof buf, &length),
              ZELKC_LOGIX_OK);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(length, 0u);
    ASSERT_EQ(zelkc_logix_client_read_string_value(client_, "Motor1.Name", buf, sizeof buf, &length),
              ZELKC_LOGIX_OK);
    EXPECT_STREQ(buf, "Feed pump");
    ASSERT_EQ(zelkc_logix_client_read_string_value(client_, "Names[1]", buf, sizeof buf, &length),
              ZELKC_LOGIX_OK);
    EXPECT_STREQ(buf, "Bravo");
    ASSERT_EQ(
        zelkc_logix_client_read_string_value(client_, "Program:MainProgram.State", buf, sizeof buf, &length),
        ZELKC_LOGIX_OK);
    EXPECT_STREQ(buf, "Auto");
    char small[5];
    EXPECT_EQ(zelkc_logix_client_read_string_value(client_, "Greeting", small, sizeof small, &length),
              ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, greeting.size());
    EXPECT_STREQ(small, "");
    EXPECT_EQ(zelkc_logix_client_read_string_value(client_, "DintTag", buf, sizeof buf, &length),
              ZELKC_LOGIX_ERR_TYPE_MISMATCH);

    uint8_t bytes[20];
    ASSERT_EQ(zelkc_logix_client_read_bytes(client_, "Bytes", bytes, 20, &length), ZELKC_LOGIX_OK);
    EXPECT_EQ(length, 20u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 5), "Hello");
    EXPECT_EQ(zelkc_logix_client_read_bytes(client_, "DintArray", bytes, 10, &length),
              ZELKC_LOGIX_ERR_TYPE_MISMATCH);
    // More bytes than the tag holds: the controller refuses the request.
    EXPECT_EQ(zelkc_logix_client_read_bytes(client_, "Bytes", bytes, 21, &length), ZELKC_LOGIX_ERR_DEVICE);
    EXPECT_TRUE(zelkc_logix_client_is_connected(client_));
}

// ---- routing --------------------------------------------------------------------------------

TEST_F(LogixClientTest, ConnectToSlotRoutesEveryRequest) {
    ASSERT_EQ(zelkc_logix_client_connect_to_slot(client_, "127.0.0.1", relay().port(), kTimeoutMs, 0),
              ZELKC_LOGIX_OK);
    EXPECT_EQ(std::string(zelkc_logix_client_plc_type(client_)), demo_file()["identity"]["product_name"]);
    zelkc_logix_tag_info_list list{};
    ASSERT_EQ(zelkc_logix_client_browse_program_tags(client_, &list, "MainProgram"), ZELKC_LOGIX_OK);
    const zelkc_logix_tag_info* pump = find(list, "Pump");
    ASSERT_NE(pump, nullptr);
    EXPECT_STREQ(pump->type_name, "Motor");
    zelkc_logix_tag_info_list_free(&list);
    const std::vector<std::string> names = {"DintTag", "IntTag", "RealTag", "BoolTag"};
    auto entries = entries_for(names);
    ASSERT_EQ(zelkc_logix_client_read_atomic_values(client_, entries.data(), 4), ZELKC_LOGIX_OK);
    for (const auto& e : entries) {
        EXPECT_EQ(e.result, ZELKC_LOGIX_OK) << e.tag;
    }
    char buf[96];
    uint32_t length = 0;
    ASSERT_EQ(zelkc_logix_client_read_string_value(client_, "Greeting", buf, sizeof buf, &length),
              ZELKC_LOGIX_OK);
    zelkc_logix_value v{};
    EXPECT_EQ(zelkc_logix_client_read_atomic_value(client_, "NoSuchTag", &v), ZELKC_LOGIX_ERR_DEVICE);

    const std::vector<Exchange> wire = relay().take();
    size_t rr = 0;
    for (const auto& e : wire) {
        if (e.command != 0x6F) {
            continue;
        }
        ++rr;
        EXPECT_TRUE(e.routed) << "service 0x" << std::hex << int(e.service);
        EXPECT_EQ(e.route, (std::vector<uint8_t>{0x01, 0x00}));
    }
    EXPECT_GE(rr, 6u);
    EXPECT_EQ(wire.front().command, 0x65);
    EXPECT_EQ(wire[1].service, 0x01); // the Identity request, routed as well
}

TEST_F(LogixClientTest, RouteToAnotherSlotFailsTheConnect) {
    zelkc_logix_client_destroy(client_);
    logixsim::Options options;
    options.slot = 3;
    start(options);
    EXPECT_EQ(zelkc_logix_client_connect_to_slot(client_, "127.0.0.1", server_->port(), kTimeoutMs, 0),
              ZELKC_LOGIX_ERR_BAD_REPLY);
    EXPECT_FALSE(zelkc_logix_client_is_connected(client_));
    EXPECT_EQ(zelkc_logix_client_plc_type(client_), nullptr);
}

// ---- transport faults -----------------------------------------------------------------------

TEST_F(LogixClientTest, TransportFaultsGiveTheirCodesAndDisconnect) {
    struct Case {
        const char* what;
        logixsim::Faults faults;
        uint8_t expected;
    };
    std::vector<Case> cases(3);
    cases[0] = {"time-out", {}, ZELKC_LOGIX_ERR_TIMEOUT};
    cases[0].faults.reply_delay_ms = 2000;
    cases[1] = {"closed mid-reply", {}, ZELKC_LOGIX_ERR_IO};
    cases[1].faults.close_mid_reply = true;
    cases[2] = {"wrong sender context", {}, ZELKC_LOGIX_ERR_BAD_REPLY};
    cases[2].faults.wrong_sender_context = true;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        set_faults({});
        ASSERT_EQ(zelkc_logix_client_connect(client_, "127.0.0.1", server_->port(), 300), ZELKC_LOGIX_OK);
        set_faults(c.faults);
        zelkc_logix_value v{};
        EXPECT_EQ(zelkc_logix_client_read_atomic_value(client_, "DintTag", &v), c.expected);
        EXPECT_FALSE(zelkc_logix_client_is_connected(client_));
        zelkc_logix_tag_info_list list{};
        EXPECT_EQ(zelkc_logix_client_browse_global_tags(client_, &list), ZELKC_LOGIX_ERR_NOT_CONNECTED);
        EXPECT_EQ(list.items, nullptr);

        // The same fault in the middle of a browse and of a batch.
        set_faults({});
        ASSERT_EQ(zelkc_logix_client_connect(client_, "127.0.0.1", server_->port(), 300), ZELKC_LOGIX_OK);
        set_faults(c.faults);
        EXPECT_EQ(zelkc_logix_client_browse_global_tags(client_, &list), c.expected);
        EXPECT_EQ(list.count, 0u);
        EXPECT_EQ(list.items, nullptr);
        set_faults({});
        ASSERT_EQ(zelkc_logix_client_connect(client_, "127.0.0.1", server_->port(), 300), ZELKC_LOGIX_OK);
        set_faults(c.faults);
        const std::vector<std::string> names(40, "DintTag");
        auto entries = entries_for(names);
        EXPECT_EQ(zelkc_logix_client_read_atomic_values(client_, entries.data(), 40), c.expected);
        for (const auto& e : entries) {
            EXPECT_EQ(e.result, c.expected); // the failed group and the unsent one
        }
        EXPECT_FALSE(zelkc_logix_client_is_connected(client_));
    }
    // Faults at connect time leave the client disconnected.
    logixsim::Faults closing;
    closing.close_mid_reply = true;
    set_faults(closing);
    EXPECT_EQ(connect(), ZELKC_LOGIX_ERR_IO);
    EXPECT_FALSE(zelkc_logix_client_is_connected(client_));
}

TEST_F(LogixClientTest, SecondBatchGroupFailingKeepsTheFirstGroupsResults) {
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
    // The connection closes on its 4th encapsulation request unanswered: RegisterSession, the
    // Identity and the first group (one packet of 30 reads) are answered, the second group is not.
    zelkc_logix_client_disconnect(client_);
    logixsim::Faults faults;
    faults.close_after_requests = 4;
    set_faults(faults);
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
    const std::vector<std::string> names(70, "IntTag");
    auto entries = entries_for(names);
    EXPECT_EQ(zelkc_logix_client_read_atomic_values(client_, entries.data(), 70), ZELKC_LOGIX_ERR_IO);
    for (size_t i = 0; i < 70; ++i) {
        if (i < 30) {
            EXPECT_EQ(entries[i].result, ZELKC_LOGIX_OK) << i;
        } else {
            EXPECT_EQ(entries[i].result, ZELKC_LOGIX_ERR_IO) << i;
        }
    }
}

// ---- block accounting -----------------------------------------------------------------------

struct CountingAllocator {
    static inline std::atomic<long> live{0};
    static void* alloc(void*, uint64_t size) {
        void* p = std::malloc(size);
        if (p != nullptr) {
            ++live;
        }
        return p;
    }
    static void* realloc(void*, void* block, uint64_t size) {
        void* p = std::realloc(block, size);
        if (p != nullptr && block == nullptr) {
            ++live;
        }
        return p;
    }
    static void free(void*, void* block) {
        if (block != nullptr) {
            --live;
        }
        std::free(block);
    }
};

TEST_F(LogixClientTest, EveryBlockIsReleasedAfterEveryBrowseAndRead) {
    static const zelkc_cip_allocator counting{CountingAllocator::alloc, CountingAllocator::realloc,
                                              CountingAllocator::free, nullptr};
    zelkc_logix_client_destroy(client_);
    zelkc_cip_allocator_set_default(&counting);
    client_ = zelkc_logix_client_create();
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
    const long baseline = CountingAllocator::live;
    auto settled = [&](const char* what) { EXPECT_EQ(CountingAllocator::live, baseline) << what; };

    zelkc_logix_tag_info_list list{};
    ASSERT_EQ(zelkc_logix_client_browse_global_tags(client_, &list), ZELKC_LOGIX_OK);
    EXPECT_GT(CountingAllocator::live, baseline);
    zelkc_logix_tag_info_list_free(&list);
    settled("global browse");
    ASSERT_EQ(zelkc_logix_client_browse_program_tags(client_, &list, "Mixer"), ZELKC_LOGIX_OK);
    zelkc_logix_tag_info_list_free(&list);
    settled("program browse");
    EXPECT_NE(zelkc_logix_client_browse_program_tags(client_, &list, "Nope"), ZELKC_LOGIX_OK);
    settled("failed program browse");

    zelkc_logix_value v{};
    EXPECT_EQ(zelkc_logix_client_read_atomic_value(client_, "LrealTag", &v), ZELKC_LOGIX_OK);
    EXPECT_NE(zelkc_logix_client_read_atomic_value(client_, "Nope[1]", &v), ZELKC_LOGIX_OK);
    EXPECT_NE(zelkc_logix_client_read_atomic_value(client_, "A[", &v), ZELKC_LOGIX_OK);
    settled("single reads");
    const std::vector<std::string> names = {"DintTag", "Nope", "x..y", "Motor1", "RealTag"};
    auto entries = entries_for(names);
    EXPECT_EQ(zelkc_logix_client_read_atomic_values(client_, entries.data(), 5), ZELKC_LOGIX_OK);
    settled("batch read");
    zelkc_logix_value_array array{};
    EXPECT_EQ(zelkc_logix_client_read_atomic_array(client_, "LargeArray", 300, &array), ZELKC_LOGIX_OK);
    zelkc_logix_value_array_free(&array);
    EXPECT_NE(zelkc_logix_client_read_atomic_array(client_, "LargeArray", 301, &array), ZELKC_LOGIX_OK);
    EXPECT_NE(zelkc_logix_client_read_atomic_array(client_, "BoolTag", 1, &array), ZELKC_LOGIX_OK);
    settled("array reads");
    char buf[8];
    uint32_t length = 0;
    EXPECT_EQ(zelkc_logix_client_read_string_value(client_, "Greeting", buf, sizeof buf, &length),
              ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL);
    uint8_t bytes[20];
    EXPECT_EQ(zelkc_logix_client_read_bytes(client_, "Bytes", bytes, 20, &length), ZELKC_LOGIX_OK);
    settled("string and byte reads");

    // Failures in mid-exchange leave the client disconnected: only its session's blocks go.
    zelkc_logix_client_disconnect(client_);
    const long disconnected = CountingAllocator::live;
    logixsim::Faults faults;
    faults.close_mid_reply = true;
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
    set_faults(faults);
    EXPECT_NE(zelkc_logix_client_browse_global_tags(client_, &list), ZELKC_LOGIX_OK);
    EXPECT_EQ(CountingAllocator::live, disconnected) << "browse cut off";
    set_faults({});
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
    set_faults(faults);
    EXPECT_NE(zelkc_logix_client_read_atomic_values(client_, entries.data(), 5), ZELKC_LOGIX_OK);
    EXPECT_EQ(CountingAllocator::live, disconnected) << "batch cut off";
    set_faults({});
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
    set_faults(faults);
    EXPECT_NE(zelkc_logix_client_read_string_value(client_, "Greeting", buf, sizeof buf, &length),
              ZELKC_LOGIX_OK);
    EXPECT_EQ(CountingAllocator::live, disconnected) << "string read cut off";

    zelkc_logix_client_destroy(client_);
    client_ = nullptr;
    EXPECT_EQ(CountingAllocator::live, 0);
    zelkc_cip_allocator_set_default(nullptr);
}

// Fails the n-th allocation of an operation, for every n until the operation succeeds: each
// failure must come back as a result code with every block released.
struct FailingAllocator {
    static inline std::atomic<long> live{0};
    static inline std::atomic<long> countdown{-1};
    static bool fail() { return countdown >= 0 && countdown-- == 0; }
    static void* alloc(void*, uint64_t size) {
        if (fail()) {
            return nullptr;
        }
        ++live;
        return std::malloc(size);
    }
    static void* realloc(void*, void* block, uint64_t size) {
        if (fail()) {
            return nullptr;
        }
        void* p = std::realloc(block, size);
        if (p != nullptr && block == nullptr) {
            ++live;
        }
        return p;
    }
    static void free(void*, void* block) {
        if (block != nullptr) {
            --live;
        }
        std::free(block);
    }
};

TEST_F(LogixClientTest, AllocationFailuresAreReportedAndLeaveNothingBehind) {
    static const zelkc_cip_allocator failing{FailingAllocator::alloc, FailingAllocator::realloc,
                                             FailingAllocator::free, nullptr};
    zelkc_logix_client_destroy(client_);
    zelkc_cip_allocator_set_default(&failing);
    client_ = zelkc_logix_client_create();
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
    const long connected = FailingAllocator::live;
    zelkc_logix_client_disconnect(client_);
    const long disconnected = FailingAllocator::live;

    const std::vector<std::string> names = {"DintTag", "Motor1.Status.Speed", "Nope", "Greeting"};
    auto entries = entries_for(names);
    char buf[96];
    uint32_t length = 0;
    zelkc_logix_value_array array{};
    const std::vector<std::pair<const char*, std::function<uint8_t()>>> operations = {
        {"program browse",
         [&] {
             zelkc_logix_tag_info_list list{};
             uint8_t rc = zelkc_logix_client_browse_program_tags(client_, &list, "MainProgram");
             if (rc != ZELKC_LOGIX_OK && (list.count != 0 || list.items != nullptr)) {
                 ADD_FAILURE() << "a failed browse left a list";
             }
             zelkc_logix_tag_info_list_free(&list);
             return rc;
         }},
        {"batch read", [&] { return zelkc_logix_client_read_atomic_values(client_, entries.data(), 4); }},
        {"string read",
         [&] { return zelkc_logix_client_read_string_value(client_, "Greeting", buf, sizeof buf, &length); }},
        {"array read",
         [&] {
             uint8_t rc = zelkc_logix_client_read_atomic_array(client_, "LargeArray", 300, &array);
             zelkc_logix_value_array_free(&array);
             return rc;
         }},
    };
    for (const auto& [what, operation] : operations) {
        bool succeeded = false;
        for (long n = 0; !succeeded && n < 2000; ++n) {
            if (!zelkc_logix_client_is_connected(client_)) {
                ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
            }
            FailingAllocator::countdown = n;
            const uint8_t rc = operation();
            FailingAllocator::countdown = -1;
            succeeded = rc == ZELKC_LOGIX_OK;
            if (!succeeded) {
                EXPECT_EQ(rc, ZELKC_LOGIX_ERR_NO_MEMORY) << what << ", allocation " << n;
            }
            const long expected = zelkc_logix_client_is_connected(client_) ? connected : disconnected;
            ASSERT_EQ(FailingAllocator::live, expected) << what << ", allocation " << n;
        }
        EXPECT_TRUE(succeeded) << what;
    }
    zelkc_logix_client_destroy(client_);
    client_ = nullptr;
    EXPECT_EQ(FailingAllocator::live, 0);
    zelkc_cip_allocator_set_default(nullptr);
}

} // namespace
