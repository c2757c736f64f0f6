// The Logix client over TCP against logix-sim on loopback: connection and PLC type, browsing the
// demo controller as its file declares it, reads of every kind, batching on the wire (seen
// through a recording relay), routed requests, transport faults, and block accounting.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "logix_internal.h"
#include "logixsim/server.h"
#include "zelkc_logix.h"

#ifndef LOGIX_DEMO_JSON
#error "LOGIX_DEMO_JSON must name the demo controller file"
#endif

namespace {

using json = nlohmann::json;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kTimeoutMs = 5000;

// ---- a relay between client and simulator that records every encapsulation request ----------

struct Exchange {
    uint16_t command = 0;
    uint8_t service = 0; // the CIP service, inside an Unconnected Send when routed
    bool routed = false; // wrapped in an Unconnected Send
    Bytes route;
    uint16_t services = 0; // for a Multiple Service Packet: the number of embedded services
    Bytes embedded;        // and their service codes
    uint16_t sequence = 0; // SendUnitData: the sequence count
};

// How many requests of `service` went out, alone or inside Multiple Service Packets.
size_t count_service(const std::vector<Exchange>& wire, uint8_t service) {
    size_t n = 0;
    for (const auto& e : wire) {
        n += e.service == service;
        n += size_t(std::count(e.embedded.begin(), e.embedded.end(), service));
    }
    return n;
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
}

uint16_t le16(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}

class RecordingRelay {
public:
    explicit RecordingRelay(uint16_t upstream_port) : upstream_port_(upstream_port) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = loopback(0);
        socklen_t len = sizeof addr;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            throw std::runtime_error("relay: cannot listen");
        }
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~RecordingRelay() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    uint16_t port() const { return port_; }
    // Waits (at most 5 s) until `n` requests were recorded since the last take.
    void wait_for(size_t n) {
        for (int i = 0; i < 500; ++i) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (exchanges_.size() >= n) {
                    return;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    // Unconnected requests of these services are answered with 0x08 by the relay itself.
    void refuse(std::set<uint8_t> services) {
        std::lock_guard<std::mutex> lock(mutex_);
        refuse_ = std::move(services);
    }
    std::vector<Exchange> take() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(exchanges_, {});
    }

private:
    void run() {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            int fds[2] = {::poll(&p, 1, 20) > 0 ? ::accept(listener_, nullptr, nullptr) : -1, -1};
            if (fds[0] < 0) {
                continue;
            }
            fds[1] = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in addr = loopback(upstream_port_);
            if (::connect(fds[1], reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
                forward(fds);
            }
            ::close(fds[1]);
            ::close(fds[0]);
        }
    }
    // Copies bytes both ways until either side closes; records the client's requests, which go
    // on frame by frame (a refused one is answered here instead).
    void forward(const int fds[2]) {
        Bytes pending;
        uint8_t buf[65536];
        while (!stop_) {
            pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
            if (::poll(p, 2, 20) <= 0) {
                continue;
            }
            for (int from = 0; from < 2; ++from) {
                if (p[from].revents == 0) {
                    continue;
                }
                const ssize_t n = ::recv(fds[from], buf, sizeof buf, 0);
                if (n <= 0) {
                    return;
                }
                if (from == 1) {
                    if (::send(fds[0], buf, size_t(n), MSG_NOSIGNAL) != n) {
                        return;
                    }
                    continue;
                }
                pending.insert(pending.end(), buf, buf + n);
                while (pending.size() >= 24 && pending.size() >= 24u + le16(&pending[2])) {
                    const Bytes frame(pending.begin(), pending.begin() + long(24 + le16(&pending[2])));
                    pending.erase(pending.begin(), pending.begin() + long(frame.size()));
                    const Exchange e = record(frame);
                    const Bytes out = refused(e) ? refusal(frame, e.service) : frame;
                    if (::send(fds[refused(e) ? 0 : 1], out.data(), out.size(), MSG_NOSIGNAL) !=
                        ssize_t(out.size())) {
                        return;
                    }
                }
            }
        }
    }
    bool refused(const Exchange& e) {
        std::lock_guard<std::mutex> lock(mutex_);
        return e.command == 0x6F && refuse_.count(e.service) != 0;
    }
    // A SendRRData reply to `frame` carrying a CIP reply with status 0x08 (service not supported).
    static Bytes refusal(const Bytes& frame, uint8_t service) {
        Bytes out(frame.begin(), frame.begin() + 24);
        out[2] = 20;
        out[3] = 0;
        const Bytes data = {0, 0,    0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0xB2, 0, 4, 0, uint8_t(service | 0x80),
                            0, 0x08, 0};
        out.insert(out.end(), data.begin(), data.end());
        return out;
    }
    // Describes one complete encapsulation frame and records it.
    Exchange record(const Bytes& frame) {
        const size_t length = frame.size() - 24;
        Exchange e;
        e.command = le16(&frame[0]);
        if (e.command == 0x6F && length >= 18) {
            describe(&frame[24 + 16], length - 16, &e);
        } else if (e.command == 0x70 && length >= 24) { // address item 8 bytes, data item header 4
            e.sequence = le16(&frame[24 + 20]);
            describe(&frame[24 + 22], length - 22, &e);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        exchanges_.push_back(e);
        return e;
    }
    static void describe(const uint8_t* cip, size_t size, Exchange* e) {
        const size_t data_at = size < 2 ? size + 1 : 2 + size_t(cip[1]) * 2;
        if (data_at > size) {
            return;
        }
        e->service = cip[0];
        const uint8_t* data = cip + data_at;
        const size_t data_size = size - data_at;
        if (cip[0] == 0x52 && !e->routed && data_size >= 4) {
            e->routed = true;
            const size_t inner = le16(data + 2);
            const size_t route_at = 4 + inner + (inner & 1);
            if (route_at + 2 <= data_size && route_at + 2 + data[route_at] * 2u <= data_size) {
                e->route.assign(data + route_at + 2, data + route_at + 2 + data[route_at] * 2);
            }
            if (4 + inner <= data_size) {
                describe(data + 4, inner, e);
            }
        } else if (cip[0] == 0x0A && data_size >= 2) {
            e->services = le16(data);
            for (size_t i = 0; i < e->services && 2 + 2 * i + 2 <= data_size; ++i) {
                const size_t at = le16(data + 2 + 2 * i);
                if (at < data_size) {
                    e->embedded.push_back(data[at]);
                }
            }
        }
    }

    uint16_t upstream_port_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Exchange> exchanges_;
    std::set<uint8_t> refuse_;
};

// ---- fixture --------------------------------------------------------------------------------

const json& demo_file() {
    static const json file = json::parse(std::ifstream(LOGIX_DEMO_JSON));
    return file;
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
        zelkc_logix_client_destroy(client_);
        options.host = "127.0.0.1";
        options.port = 0;
        options.live_interval_ms = 0;
        server_ = std::make_unique<logixsim::Server>(logixsim::demo_controller(), options);
        server_->start();
        client_ = zelkc_logix_client_create();
        ASSERT_NE(client_, nullptr);
    }
    uint8_t connect(uint32_t timeout_ms = kTimeoutMs) {
        return zelkc_logix_client_connect(client_, "127.0.0.1", server_->port(), timeout_ms);
    }
    // Connects through the recording relay and forgets the connect's own exchanges.
    void connect_recorded() {
        relay_ = std::make_unique<RecordingRelay>(server_->port());
        ASSERT_EQ(zelkc_logix_client_connect(client_, "127.0.0.1", relay_->port(), kTimeoutMs),
                  ZELKC_LOGIX_OK);
        relay_->take();
    }
    void set_faults(const logixsim::Faults& f) { server_->set_faults(f); }

    std::unique_ptr<logixsim::Server> server_;
    std::unique_ptr<RecordingRelay> relay_;
    zelkc_logix_client* client_ = nullptr;
};

TEST_F(LogixClientTest, ConnectPlcTypeDisconnectAndConnectFailures) {
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
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
    EXPECT_EQ(zelkc_logix_client_read_atomic_value(client_, "DintTag", &v), ZELKC_LOGIX_OK);

    // A port that refuses: the simulator's port after it stopped.
    server_->stop();
    EXPECT_EQ(connect(), ZELKC_LOGIX_ERR_CONNECT_FAILED);
    EXPECT_FALSE(zelkc_logix_client_is_connected(client_));

    logixsim::Options options;
    options.faults.refuse_sessions = true;
    start(options);
    EXPECT_EQ(connect(), ZELKC_LOGIX_ERR_SESSION_REFUSED);
    EXPECT_FALSE(zelkc_logix_client_is_connected(client_));
    EXPECT_EQ(zelkc_logix_client_plc_type(client_), nullptr);
}

// ---- browsing -------------------------------------------------------------------------------

const std::map<std::string, uint8_t> kAtomicCodes = {
    {"BOOL", 0xC1},  {"SINT", 0xC2}, {"INT", 0xC3},   {"DINT", 0xC4},  {"LINT", 0xC5},
    {"USINT", 0xC6}, {"UINT", 0xC7}, {"UDINT", 0xC8}, {"ULINT", 0xC9}, {"REAL", 0xCA},
    {"LREAL", 0xCB}, {"BYTE", 0xD1}, {"WORD", 0xD2},  {"DWORD", 0xD3}, {"LWORD", 0xD4}};

// Checks a tag (`member` false) or member against its declaration, structures all the way down.
void check_declared(const zelkc_logix_tag_info& info, const json& decl, const std::string& where,
                    bool member) {
    SCOPED_TRACE(where);
    const std::string type = decl["type"];
    std::vector<uint32_t> dims;
    if (decl.contains("dims")) {
        dims = decl["dims"].get<std::vector<uint32_t>>();
    } else if (decl.contains("dim")) {
        dims.push_back(decl["dim"]);
    }
    EXPECT_EQ(zelkc_logix_tag_array_rank(info.symbol_type), dims.size());
    for (size_t i = 0; i < (member ? 1 : 3); ++i) {
        EXPECT_EQ(info.dims[i], i < dims.size() ? dims[i] : 0u) << "dimension " << i;
    }
    if (kAtomicCodes.count(type) != 0) {
        EXPECT_FALSE(zelkc_logix_tag_is_struct(info.symbol_type));
        EXPECT_EQ(zelkc_logix_tag_atomic_type(info.symbol_type), kAtomicCodes.at(type));
        EXPECT_EQ(info.type_name, nullptr);
        EXPECT_EQ(info.child_count, 0u);
        return;
    }
    ASSERT_TRUE(zelkc_logix_tag_is_struct(info.symbol_type));
    ASSERT_NE(info.type_name, nullptr);
    EXPECT_EQ(std::string(info.type_name), type);
    json members =
        json::array({{{"name", "LEN"}, {"type", "DINT"}}, {{"name", "DATA"}, {"type", "SINT"}, {"dim", 82}}});
    for (const auto& t : demo_file()["types"]) {
        if (t["name"] == type) {
            members = t["members"];
        }
    }
    EXPECT_EQ(zelkc_logix_tag_is_string(&info), type == "STRING");
    ASSERT_EQ(info.child_count, members.size());
    for (size_t i = 0; i < members.size(); ++i) {
        const std::string name = members[i]["name"];
        EXPECT_EQ(std::string(info.children[i].name), name);
        check_declared(info.children[i], members[i], where + "." + name, true);
    }
}

const zelkc_logix_tag_info* find(const zelkc_logix_tag_info_list& list, const std::string& name) {
    for (uint32_t i = 0; i < list.count; ++i) {
        if (name == list.items[i].name) {
            return &list.items[i];
        }
    }
    return nullptr;
}

// Checks a browse result against the declared tags; both in any order.
void check_listed(const zelkc_logix_tag_info_list& list, const json& tags, const std::string& prefix) {
    for (const auto& tag : tags) {
        const zelkc_logix_tag_info* info = find(list, tag["name"]);
        ASSERT_NE(info, nullptr) << prefix << tag["name"];
        check_declared(*info, tag, prefix + tag["name"].get<std::string>(), false);
    }
}

TEST_F(LogixClientTest, BrowseInSmallPagesMatchesTheControllerFile) {
    const json& file = demo_file();
    logixsim::Faults faults;
    faults.reply_limit = 120; // many pages, templates in several fragments
    set_faults(faults);
    connect_recorded();
    std::vector<std::pair<uint32_t, uint32_t>> progress; // told after every page: pages, tags so far
    zelkc_logix_client_set_browse_progress(
        client_,
        [](void* context, uint32_t pages, uint32_t tags) {
            static_cast<std::vector<std::pair<uint32_t, uint32_t>>*>(context)->emplace_back(pages, tags);
        },
        &progress);
    zelkc_logix_tag_info_list list{};
    ASSERT_EQ(zelkc_logix_client_browse_global_tags(client_, &list), ZELKC_LOGIX_OK);
    zelkc_logix_client_set_browse_progress(client_, nullptr, nullptr);
    EXPECT_EQ(list.count, file["tags"].size() + file["programs"].size());
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), std::make_pair(uint32_t(progress.size()), list.count));
    for (size_t i = 1; i < progress.size(); ++i) {
        EXPECT_LT(progress[i - 1].second, progress[i].second) << "each page lists more tags";
    }
    check_listed(list, file["tags"], "");
    for (uint32_t i = 1; i < list.count; ++i) {
        EXPECT_LT(list.items[i - 1].id, list.items[i].id); // instance order
    }
    // One attribute request per template met: MotorStatus, Motor, Ingredient, Recipe, STRING.
    const std::vector<Exchange> wire = relay_->take();
    EXPECT_EQ(count_service(wire, 0x03), 5u);
    EXPECT_GT(count_service(wire, 0x55), 3u);
    EXPECT_EQ(count_service(wire, 0x55), progress.size());

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
        check_listed(tags, program["tags"], "Program:" + name + ".");
        zelkc_logix_tag_info_list_free(&tags);
    }
    zelkc_logix_tag_info_list_free(&list);

    EXPECT_EQ(zelkc_logix_client_browse_program_tags(client_, &list, "NoSuchProgram"),
              ZELKC_LOGIX_ERR_DEVICE);
    EXPECT_EQ(list.count, 0u);
    EXPECT_EQ(list.items, nullptr);
    EXPECT_EQ(zelkc_logix_client_browse_program_tags(client_, &list, std::string(248, 'P').c_str()),
              ZELKC_LOGIX_ERR_LIMIT);
}

// Every field of every tag info, children included, as text: two browse results are the same
// exactly when their texts are.
void dump(const zelkc_logix_tag_info& info, std::string* out, int depth) {
    *out += std::string(size_t(depth), ' ') + std::to_string(info.id) + " " +
            std::to_string(info.symbol_type) + " " + (info.name != nullptr ? info.name : "<null>") + " [" +
            std::to_string(info.dims[0]) + "," + std::to_string(info.dims[1]) + "," +
            std::to_string(info.dims[2]) + "] " + (info.type_name != nullptr ? info.type_name : "<null>") +
            " " + std::to_string(info.child_count) + "\n";
    for (uint32_t i = 0; i < info.child_count; ++i) {
        dump(info.children[i], out, depth + 1);
    }
}

// The controller scope and every program, browsed in that order, as one text; empty on failure.
std::string full_browse(zelkc_logix_client* client) {
    std::string text;
    zelkc_logix_tag_info_list list{};
    if (zelkc_logix_client_browse_global_tags(client, &list) != ZELKC_LOGIX_OK) {
        return {};
    }
    for (uint32_t i = 0; i < list.count; ++i) {
        dump(list.items[i], &text, 0);
    }
    for (uint32_t i = 0; i < list.count; ++i) {
        if (!zelkc_logix_tag_is_program(list.items[i].symbol_type)) {
            continue;
        }
        zelkc_logix_tag_info_list tags{};
        if (zelkc_logix_client_browse_program_tags(client, &tags, list.items[i].name) != ZELKC_LOGIX_OK) {
            zelkc_logix_tag_info_list_free(&list);
            return {};
        }
        text += std::string("Program:") + list.items[i].name + "\n";
        for (uint32_t j = 0; j < tags.count; ++j) {
            dump(tags.items[j], &text, 1);
        }
        zelkc_logix_tag_info_list_free(&tags);
    }
    zelkc_logix_tag_info_list_free(&list);
    return text;
}

// `text` (a dump) as a browse shows it when the controller refuses the templates named in
// `refused`: their tags keep id, type word and dimensions, lose the type name and every member.
std::string without_types(const std::string& text, const std::set<std::string>& refused) {
    std::istringstream in(text);
    std::string out, line;
    size_t cut = std::string::npos; // the depth of a refused tag whose members are being dropped
    while (std::getline(in, line)) {
        const size_t depth = line.find_first_not_of(' ');
        if (cut != std::string::npos && depth > cut) {
            continue;
        }
        cut = std::string::npos;
        const size_t count_at = line.rfind(' ');
        const size_t type_at = line.rfind(' ', count_at - 1);
        if (refused.count(line.substr(type_at + 1, count_at - type_at - 1)) != 0) {
            line = line.substr(0, type_at) + " <null> 0";
            cut = depth;
        }
        out += line + "\n";
    }
    return out;
}

TEST_F(LogixClientTest, TypesTheControllerWillNotGiveAreSkippedAndCounted) {
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
    const std::string normal = full_browse(client_);
    EXPECT_EQ(zelkc_logix_client_last_browse_skipped_templates(client_), 0u);
    logixsim::Faults faults;
    faults.refused_templates = {"MotorStatus", "Ingredient"};
    set_faults(faults);
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK); // a new connection: nothing cached
    zelkc_logix_tag_info_list list{};
    ASSERT_EQ(zelkc_logix_client_browse_global_tags(client_, &list), ZELKC_LOGIX_OK);
    EXPECT_EQ(zelkc_logix_client_last_browse_skipped_templates(client_), 2u);
    zelkc_logix_tag_info_list_free(&list);
    EXPECT_EQ(full_browse(client_), without_types(normal, {"MotorStatus", "Ingredient"}));
    EXPECT_EQ(zelkc_logix_client_last_browse_skipped_templates(client_), 1u) << "the last program: Mixer";

    // A connection that drops during the template requests still ends the browse with its code.
    set_faults({});
    connect_recorded();
    ASSERT_FALSE(full_browse(client_).empty());
    const auto wire = relay_->take();
    size_t first = 0;
    while (first < wire.size() && wire[first].service == 0x55) {
        ++first;
    }
    ASSERT_LT(first, wire.size());
    faults = {};
    faults.close_after_requests = int(first) + 3; // session, identity, the pages, then cut
    set_faults(faults);
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
    EXPECT_EQ(zelkc_logix_client_browse_global_tags(client_, &list), ZELKC_LOGIX_ERR_IO);
    EXPECT_EQ(list.count, 0u);
}

TEST_F(LogixClientTest, AControllerOfMoreThan100000InfosBrowsesCompletely) {
    logixsim::GeneratorOptions g; // 10,000 tags of types of up to 10 members: about 114,000 infos
    logixsim::Options options;
    options.port = 0;
    server_ = std::make_unique<logixsim::Server>(
        logixsim::parse_controller(logixsim::generate_controller_json(g), "generated"), options);
    server_->start();
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
    zelkc_logix_tag_info_list list{};
    ASSERT_EQ(zelkc_logix_client_browse_global_tags(client_, &list), ZELKC_LOGIX_OK);
    std::function<size_t(const zelkc_logix_tag_info&)> infos = [&](const zelkc_logix_tag_info& t) {
        size_t n = 1;
        for (uint32_t i = 0; i < t.child_count; ++i) {
            n += infos(t.children[i]);
        }
        return n;
    };
    size_t total = 0;
    for (uint32_t i = 0; i < list.count; ++i) {
        total += infos(list.items[i]);
    }
    EXPECT_EQ(list.count, g.tags + g.programs);
    EXPECT_GT(total, 100000u);
    zelkc_logix_tag_info_list_free(&list);
}

size_t template_requests(const std::vector<Exchange>& wire) {
    return count_service(wire, 0x03) + count_service(wire, 0x4C);
}

TEST_F(LogixClientTest, TemplatesAreReadOncePerConnection) {
    connect_recorded();
    const std::string first = full_browse(client_);
    ASSERT_FALSE(first.empty());
    const std::vector<Exchange> first_wire = relay_->take();
    // Five templates (MotorStatus, Motor, Ingredient, Recipe, STRING), each asked once although
    // the programs use them again.
    EXPECT_EQ(count_service(first_wire, 0x03), 5u);

    // A second full browse on the same connection reads no template and gives the same result.
    EXPECT_EQ(full_browse(client_), first);
    const std::vector<Exchange> second_wire = relay_->take();
    EXPECT_EQ(template_requests(second_wire), 0u);
    EXPECT_EQ(second_wire.size(), count_service(first_wire, 0x55)); // the symbol pages alone

    // A reconnect empties the cache: every template is read again.
    zelkc_logix_client_disconnect(client_);
    EXPECT_EQ(client_->templates, nullptr);
    connect_recorded();
    EXPECT_EQ(full_browse(client_), first);
    EXPECT_EQ(template_requests(relay_->take()), template_requests(first_wire));

    // A connection cut at each request of a browse in turn: whatever the cache holds afterwards
    // is complete (a template that failed to read is not kept), until the browse gets through.
    bool through = false;
    for (uint32_t cut = 3; !through && cut < 60; ++cut) {
        logixsim::Faults faults;
        faults.close_after_requests = cut;
        set_faults(faults);
        ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
        zelkc_logix_tag_info_list list{};
        through = zelkc_logix_client_browse_global_tags(client_, &list) == ZELKC_LOGIX_OK;
        zelkc_logix_tag_info_list_free(&list);
        for (uint32_t id = 0; client_->templates != nullptr && id < ZELKC_LOGIX_TEMPLATE_SLOTS; ++id) {
            const zelkc_logix_template_entry* entry = client_->templates[id];
            EXPECT_TRUE(entry == nullptr || entry->info.type_name != nullptr)
                << "cut " << cut << ", id " << id;
        }
    }
    EXPECT_TRUE(through);
}

TEST_F(LogixClientTest, TemplateRequestsArePackedAndFallBackToSingleRequests) {
    connect_recorded();
    const std::string packed = full_browse(client_);
    ASSERT_FALSE(packed.empty());
    const std::vector<Exchange> wire = relay_->take();
    // Every template request goes in a packet: the attributes of the templates the tags name in
    // one, their definitions in as many as 500-byte replies need (two), then the same for the
    // one template met only inside another. The whole browse: 6 symbol pages and 5 packets.
    for (const auto& e : wire) {
        EXPECT_TRUE(e.service == 0x55 || e.service == 0x0A) << int(e.service);
    }
    EXPECT_EQ(count_service(wire, 0x03), 5u);
    EXPECT_EQ(count_service(wire, 0x4C), 5u);
    EXPECT_EQ(count_service(wire, 0x55), 6u);
    EXPECT_EQ(wire.size(), 11u);

    // A controller that refuses every packet: the same result from single requests, and after
    // the refusal no more packets in that browse.
    logixsim::Faults faults;
    faults.packet_limit = 10;
    set_faults(faults);
    zelkc_logix_client_disconnect(client_);
    connect_recorded();
    EXPECT_EQ(full_browse(client_), packed);
    const std::vector<Exchange> refused = relay_->take();
    size_t single_attributes = 0;
    bool packing = true;
    for (const auto& e : refused) {
        single_attributes += e.service == 0x03;
        if (e.service == 0x03) {
            packing = false;
        }
        EXPECT_FALSE(!packing && e.service == 0x0A) << "a packet after the fallback";
    }
    EXPECT_EQ(single_attributes, 5u);
}

// ---- reads ----------------------------------------------------------------------------------

// Checks that a read value holds exactly the declared value's bytes of its type.
void expect_value(const zelkc_logix_value& v, const json& tag) {
    const std::string type = tag["type"];
    const json& value = tag["value"];
    SCOPED_TRACE(tag["name"].get<std::string>());
    ASSERT_EQ(v.type, kAtomicCodes.at(type));
    zelkc_logix_value expected{};
    if (type == "REAL") {
        expected.value.f32 = value.get<float>();
    } else if (type == "LREAL") {
        expected.value.f64 = value.get<double>();
    } else if (type == "BOOL") {
        expected.value.u8 = value.get<bool>() ? 1 : 0;
    } else {
        expected.value.u64 =
            value.is_number_unsigned() ? value.get<uint64_t>() : uint64_t(value.get<int64_t>());
    }
    const int size =
        v.type >= 0xD1 ? 1 << (v.type - 0xD1) : std::max(1, zelkc_logix_tag_bit_size(v.type) / 8);
    for (int i = 0; i < size; ++i) {
        EXPECT_EQ(v.value.raw[i], expected.value.raw[i]) << "byte " << i;
    }
}

// Every scalar atomic tag of the demo file that declares a fixed value.
std::vector<json> atomic_tags() {
    std::vector<json> tags;
    for (const auto& tag : demo_file()["tags"]) {
        if (kAtomicCodes.count(tag["type"]) && !tag.contains("dims") && tag.contains("value") &&
            !tag.contains("behaviour")) {
            tags.push_back(tag);
        }
    }
    return tags;
}

std::vector<zelkc_logix_atomic_read> entries_for(const std::vector<std::string>& names) {
    static std::set<std::string> interned; // keeps every tag text alive for the entries
    std::vector<zelkc_logix_atomic_read> entries(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        entries[i].tag = interned.insert(names[i]).first->c_str();
        entries[i].result = 0xEE;
        std::memset(&entries[i].value, 0xEE, sizeof entries[i].value);
    }
    return entries;
}

TEST_F(LogixClientTest, SingleReadsOfEveryAtomicType) {
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
    const auto tags = atomic_tags();
    ASSERT_GE(tags.size(), 15u);
    for (const auto& tag : tags) {
        zelkc_logix_value v{};
        ASSERT_EQ(zelkc_logix_client_read_atomic_value(client_, tag["name"].get<std::string>().c_str(), &v),
                  ZELKC_LOGIX_OK);
        expect_value(v, tag);
    }
    // Members, elements and program tags through the path grammar.
    const struct {
        const char* path;
        uint8_t type;
        uint64_t raw;
    } cases[] = {
        {"Motor1.Status.RunHours", 0xC4, 1021},
        {"Motor1.Status.Running", 0xC1, 1}, // a set BOOL arrives as 0xFF and is stored as 1
        {"Recipe1.Ingredients[1].Code", 0xC8, 1002},
        {"DintArray[7]", 0xC4, 7},
        {"Matrix[2,1]", 0xC3, 21},
        {"Program:MainProgram.Step", 0xC3, 3},
    };
    for (const auto& c : cases) {
        zelkc_logix_value v{};
        ASSERT_EQ(zelkc_logix_client_read_atomic_value(client_, c.path, &v), ZELKC_LOGIX_OK) << c.path;
        EXPECT_EQ(v.type, c.type) << c.path;
        EXPECT_EQ(v.value.u64 & ((uint64_t(1) << std::max(8, int(zelkc_logix_tag_bit_size(c.type)))) - 1),
                  c.raw)
            << c.path;
    }
    zelkc_logix_value v{};
    EXPECT_EQ(zelkc_logix_client_read_atomic_value(client_, "NoSuchTag", &v), ZELKC_LOGIX_ERR_DEVICE);
    EXPECT_EQ(zelkc_logix_client_read_atomic_value(client_, "Motor1", &v), ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE);
    EXPECT_TRUE(zelkc_logix_client_is_connected(client_));
}

TEST_F(LogixClientTest, BatchOf31GoesOutAsAGroupOf30ThenASingleRead) {
    connect_recorded();
    const auto tags = atomic_tags();
    std::vector<std::string> names;
    for (size_t i = 0; i < 32; ++i) {
        names.push_back(tags[i % tags.size()]["name"]);
    }
    // Entries fail on their own; the bad path takes no request, so 31 requests go out.
    names[5] = "Bad..Path";
    names[9] = "NoSuchTag";
    names[12] = "Motor1";
    auto entries = entries_for(names);
    ASSERT_EQ(zelkc_logix_client_read_atomic_values(client_, entries.data(), 32), ZELKC_LOGIX_OK);
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i == 5) {
            EXPECT_EQ(entries[i].result, ZELKC_LOGIX_ERR_INVALID_ARGUMENT);
            EXPECT_EQ(entries[i].value.value.u64, 0u); // zeroed although never read
        } else if (i == 9 || i == 12) {
            EXPECT_EQ(entries[i].result, i == 9 ? ZELKC_LOGIX_ERR_DEVICE : ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE);
        } else {
            ASSERT_EQ(entries[i].result, ZELKC_LOGIX_OK) << names[i];
            expect_value(entries[i].value, tags[i % tags.size()]);
        }
    }
    // The group of 30 fills few 500-byte packets; the 31st request goes alone.
    const std::vector<Exchange> wire = relay_->take();
    ASSERT_GE(wire.size(), 2u);
    EXPECT_LE(wire.size(), 4u);
    uint32_t packed = 0;
    for (size_t i = 0; i + 1 < wire.size(); ++i) {
        EXPECT_EQ(wire[i].service, 0x0A);
        EXPECT_FALSE(wire[i].routed);
        packed += wire[i].services;
    }
    EXPECT_EQ(packed, 30u);
    EXPECT_EQ(wire.back().service, 0x4C);
}

TEST_F(LogixClientTest, RefusedGroupsAreHalvedDownToSingleReads) {
    logixsim::Faults faults;
    faults.packet_limit = 10; // every Multiple Service Packet is refused as too large
    set_faults(faults);
    connect_recorded();
    const std::vector<std::string> names = {"DintTag", "IntTag", "RealTag"};
    auto entries = entries_for(names);
    ASSERT_EQ(zelkc_logix_client_read_atomic_values(client_, entries.data(), 3), ZELKC_LOGIX_OK);
    for (const auto& e : entries) {
        EXPECT_EQ(e.result, ZELKC_LOGIX_OK) << e.tag;
    }
    EXPECT_EQ(entries[1].value.value.i16, 1234);
    // The packet layer splits 3 into 1 + 2 and fails on the single packet; the group is then
    // halved: 1 read alone, then the group of 2, refused the same way, as two single reads.
    std::vector<std::pair<uint8_t, uint16_t>> wire;
    for (const auto& e : relay_->take()) {
        wire.emplace_back(e.service, e.services);
    }
    const std::vector<std::pair<uint8_t, uint16_t>> expected = {{0x0A, 3}, {0x0A, 1}, {0x4C, 0}, {0x0A, 2},
                                                                {0x0A, 1}, {0x4C, 0}, {0x4C, 0}};
    EXPECT_EQ(wire, expected);
    EXPECT_TRUE(zelkc_logix_client_is_connected(client_));
}

TEST_F(LogixClientTest, ArraysStringsAndBytesInFragments) {
    logixsim::Faults faults;
    faults.reply_limit = 64;
    set_faults(faults);
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
    const struct {
        const char* tag;
        uint16_t count, type;
        uint32_t index;    // an element checked
        uint32_t expected; // its bytes
    } arrays[] = {
        {"DintArray", 10, 0xC4, 7, 7},
        {"LargeArray", 300, 0xC4, 0, 0},
        {"RealArray", 5, 0xCA, 2, 0x40200000}, // 2.5f
        {"Motor1.History", 3, 0xC4, 2, 3},     // fewer elements than the tag holds, from its start
    };
    for (const auto& a : arrays) {
        zelkc_logix_value_array array{};
        ASSERT_EQ(zelkc_logix_client_read_atomic_array(client_, a.tag, a.count, &array), ZELKC_LOGIX_OK)
            << a.tag;
        EXPECT_EQ(array.type, a.type);
        ASSERT_EQ(array.count, a.count);
        uint32_t element;
        std::memcpy(&element, array.data + 4 * a.index, 4);
        EXPECT_EQ(element, a.expected) << a.tag;
        zelkc_logix_value_array_free(&array);
    }
    zelkc_logix_value_array array{};
    EXPECT_NE(zelkc_logix_client_read_atomic_array(client_, "Greeting", 1, &array), ZELKC_LOGIX_OK);
    EXPECT_EQ(array.data, nullptr);
    EXPECT_EQ(array.count, 0u);

    const std::string greeting = "Hello, Orvane";
    const std::pair<const char*, std::string> strings[] = {{"Greeting", greeting},
                                                           {"EmptyString", ""},
                                                           {"Motor1.Name", "Feed pump"},
                                                           {"Names[1]", "Bravo"},
                                                           {"Program:MainProgram.State", "Auto"}};
    char buf[96];
    uint32_t length = 0;
    for (const auto& [tag, text] : strings) {
        ASSERT_EQ(zelkc_logix_client_read_string_value(client_, tag, buf, sizeof buf, &length),
                  ZELKC_LOGIX_OK)
            << tag;
        EXPECT_EQ(std::string(buf), text);
        EXPECT_EQ(length, text.size());
    }
    char small[5];
    EXPECT_EQ(zelkc_logix_client_read_string_value(client_, "Greeting", small, sizeof small, &length),
              ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, greeting.size());
    EXPECT_STREQ(small, "");
    EXPECT_EQ(zelkc_logix_client_read_string_value(client_, "DintTag", buf, sizeof buf, &length),
              ZELKC_LOGIX_ERR_TYPE_MISMATCH);

    uint8_t bytes[21];
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
    relay_ = std::make_unique<RecordingRelay>(server_->port());
    ASSERT_EQ(zelkc_logix_client_connect_to_slot(client_, "127.0.0.1", relay_->port(), kTimeoutMs, 0),
              ZELKC_LOGIX_OK);
    EXPECT_EQ(std::string(zelkc_logix_client_plc_type(client_)), demo_file()["identity"]["product_name"]);
    zelkc_logix_tag_info_list list{};
    ASSERT_EQ(zelkc_logix_client_browse_program_tags(client_, &list, "MainProgram"), ZELKC_LOGIX_OK);
    check_listed(list, demo_file()["programs"][0]["tags"], "");
    zelkc_logix_tag_info_list_free(&list);
    auto entries = entries_for({"DintTag", "IntTag", "RealTag", "BoolTag"});
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

    const std::vector<Exchange> wire = relay_->take();
    size_t rr = 0;
    for (const auto& e : wire) {
        if (e.command == 0x6F) {
            ++rr;
            EXPECT_TRUE(e.routed) << "service 0x" << std::hex << int(e.service);
            EXPECT_EQ(e.route, (Bytes{0x01, 0x00}));
        }
    }
    EXPECT_GE(rr, 6u);
    EXPECT_EQ(wire.front().command, 0x65);
    EXPECT_EQ(wire[1].service, 0x01); // the Identity request, routed as well

    // A controller in another slot: the routed connect fails.
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
    std::vector<std::pair<logixsim::Faults, uint8_t>> cases(3, {{}, ZELKC_LOGIX_ERR_TIMEOUT});
    cases[0].first.reply_delay_ms = 2000;
    cases[1] = {{}, ZELKC_LOGIX_ERR_IO};
    cases[1].first.close_mid_reply = true;
    cases[2] = {{}, ZELKC_LOGIX_ERR_BAD_REPLY};
    cases[2].first.wrong_sender_context = true;
    const std::vector<std::string> names(40, "DintTag");
    for (const auto& [faults, expected] : cases) {
        SCOPED_TRACE(int(expected));
        // The fault hits a single read, a browse and a batch, each on a fresh connection.
        for (int operation = 0; operation < 3; ++operation) {
            set_faults({});
            ASSERT_EQ(connect(300), ZELKC_LOGIX_OK);
            set_faults(faults);
            zelkc_logix_tag_info_list list{};
            zelkc_logix_value v{};
            auto entries = entries_for(names);
            if (operation == 0) {
                EXPECT_EQ(zelkc_logix_client_read_atomic_value(client_, "DintTag", &v), expected);
                EXPECT_EQ(zelkc_logix_client_browse_global_tags(client_, &list),
                          ZELKC_LOGIX_ERR_NOT_CONNECTED);
            } else if (operation == 1) {
                EXPECT_EQ(zelkc_logix_client_browse_global_tags(client_, &list), expected);
            } else {
                EXPECT_EQ(zelkc_logix_client_read_atomic_values(client_, entries.data(), 40), expected);
                for (const auto& e : entries) {
                    EXPECT_EQ(e.result, expected); // the failed group and the unsent one
                }
            }
            EXPECT_EQ(list.count, 0u);
            EXPECT_EQ(list.items, nullptr);
            EXPECT_FALSE(zelkc_logix_client_is_connected(client_));
        }
    }
    // A fault at connect time leaves the client disconnected.
    set_faults(cases[1].first);
    EXPECT_EQ(connect(), ZELKC_LOGIX_ERR_IO);
    EXPECT_FALSE(zelkc_logix_client_is_connected(client_));

    // The connection closes on its 4th request unanswered: RegisterSession, the Identity and the
    // first group (one packet of 30 reads) are answered, the second group is not.
    logixsim::Faults closing;
    closing.close_after_requests = 4;
    set_faults(closing);
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
    auto entries = entries_for(std::vector<std::string>(70, "IntTag"));
    EXPECT_EQ(zelkc_logix_client_read_atomic_values(client_, entries.data(), 70), ZELKC_LOGIX_ERR_IO);
    for (size_t i = 0; i < 70; ++i) {
        EXPECT_EQ(entries[i].result, i < 30 ? ZELKC_LOGIX_OK : ZELKC_LOGIX_ERR_IO) << i;
    }
}

// ---- connected messaging --------------------------------------------------------------------

// A batch read of every tag in `names` (repeated to `count` entries) as comparable text.
std::string batch_text(zelkc_logix_client* client, const std::vector<std::string>& names, size_t count) {
    std::vector<std::string> all;
    for (size_t i = 0; i < count; ++i) {
        all.push_back(names[i % names.size()]);
    }
    auto entries = entries_for(all);
    if (zelkc_logix_client_read_atomic_values(client, entries.data(), uint32_t(entries.size())) !=
        ZELKC_LOGIX_OK) {
        return {};
    }
    std::string text;
    for (const auto& e : entries) {
        text += std::string(e.tag) + "=" + std::to_string(e.result) + ":" + std::to_string(e.value.type) +
                ":" + std::to_string(e.value.value.u64) + "\n";
    }
    return text;
}

std::vector<std::string> demo_read_names() {
    std::vector<std::string> names;
    for (const auto& tag : atomic_tags()) {
        names.push_back(tag["name"]);
    }
    names.push_back("Motor1.Status.Speed");
    names.push_back("NoSuchTag");
    names.push_back("Motor1"); // a structure: refused as unsupported
    return names;
}

struct ModeCase {
    const char* what;
    uint8_t mode;
    std::set<uint8_t> refused; // Forward Open services the controller refuses
    uint32_t packet_size;
};

const std::vector<ModeCase> kModeCases = {
    {"unconnected", ZELKC_LOGIX_MODE_UNCONNECTED, {}, 500},
    {"auto: 4002", ZELKC_LOGIX_MODE_AUTO, {}, 4000},
    {"small: 504", ZELKC_LOGIX_MODE_SMALL, {}, 502},
    {"auto, large refused: 504", ZELKC_LOGIX_MODE_AUTO, {0x5B}, 502},
    {"auto, both refused: unconnected", ZELKC_LOGIX_MODE_AUTO, {0x5B, 0x54}, 500},
    {"small refused: unconnected", ZELKC_LOGIX_MODE_SMALL, {0x54}, 500},
};

class LogixConnectedTest : public LogixClientTest {
protected:
    // A controller that takes Multiple Service Packets as large as its connections carry.
    void SetUp() override {
        logixsim::Options options;
        options.faults.packet_limit = 4002;
        start(options);
    }
    // Connects in `c`'s mode through a relay that refuses what `c` says; forgets the connect's
    // exchanges but checks the Forward Opens tried.
    void connect_mode(const ModeCase& c) {
        relay_ = std::make_unique<RecordingRelay>(server_->port());
        relay_->refuse(c.refused);
        ASSERT_EQ(zelkc_logix_client_connect_mode(client_, "127.0.0.1", relay_->port(), kTimeoutMs, c.mode),
                  ZELKC_LOGIX_OK);
        EXPECT_EQ(zelkc_logix_client_packet_size(client_), c.packet_size);
        std::vector<uint8_t> opens;
        for (const auto& e : relay_->take()) {
            if (e.service == 0x54 || e.service == 0x5B) {
                opens.push_back(e.service);
            }
        }
        std::vector<uint8_t> expected;
        if (c.mode == ZELKC_LOGIX_MODE_AUTO) {
            expected.push_back(0x5B);
        }
        if (c.mode != ZELKC_LOGIX_MODE_UNCONNECTED && (expected.empty() || c.refused.count(0x5B) != 0)) {
            expected.push_back(0x54);
        }
        EXPECT_EQ(opens, expected);
    }
    // Every exchange since the connect went the way the mode says: SendUnitData with sequence
    // counts rising by one from `first`, or SendRRData.
    static uint16_t check_carried(const std::vector<Exchange>& wire, bool connected, uint16_t first) {
        uint16_t next = first;
        for (const auto& e : wire) {
            EXPECT_EQ(e.command, connected ? 0x70 : 0x6F);
            EXPECT_FALSE(e.routed);
            if (connected) {
                EXPECT_EQ(e.sequence, next);
                ++next;
            }
        }
        return next;
    }
};

TEST_F(LogixConnectedTest, EveryModeGivesTheSameBrowseAndReadsOnTheDemoController) {
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
    const std::string browse = full_browse(client_);
    const std::vector<std::string> names = demo_read_names();
    std::vector<std::string> atomic_names;
    for (const auto& tag : atomic_tags()) {
        atomic_names.push_back(tag["name"]);
    }
    const std::string reads = batch_text(client_, names, 200);
    ASSERT_FALSE(browse.empty());
    ASSERT_FALSE(reads.empty());
    zelkc_logix_client_disconnect(client_);

    for (const auto& c : kModeCases) {
        SCOPED_TRACE(c.what);
        connect_mode(c);
        const bool connected = c.packet_size > 500;
        EXPECT_EQ(full_browse(client_), browse);
        const std::vector<Exchange> browse_wire = relay_->take();
        const uint16_t next = check_carried(browse_wire, connected, 1);
        // The full browse of the demo controller: 11 exchanges in 500-byte packets, fewer in 4002.
        EXPECT_LE(browse_wire.size(), 11u);
        if (c.packet_size == 4000) {
            EXPECT_LE(browse_wire.size(), 8u);
        }
        EXPECT_EQ(batch_text(client_, names, 200), reads);
        const uint16_t after = check_carried(relay_->take(), connected, next);
        // A refresh of 200 atomic tags: at most two packets over a 4002 connection.
        EXPECT_FALSE(batch_text(client_, atomic_names, 200).empty());
        const std::vector<Exchange> refresh = relay_->take();
        check_carried(refresh, connected, after);
        if (c.packet_size == 4000) {
            EXPECT_LE(refresh.size(), 2u);
        }
        // A disconnect closes the connection, then the session.
        zelkc_logix_client_disconnect(client_);
        relay_->wait_for(connected ? 2 : 1); // UnRegisterSession is not answered
        std::vector<uint8_t> closing;
        for (const auto& e : relay_->take()) {
            closing.push_back(e.command == 0x6F ? e.service : uint8_t(e.command));
        }
        const std::vector<uint8_t> expected_closing =
            connected ? std::vector<uint8_t>{0x4E, 0x66} : std::vector<uint8_t>{0x66};
        EXPECT_EQ(closing, expected_closing);
    }
}

TEST_F(LogixConnectedTest, EveryModeGivesTheSameBrowseOnAGeneratedController) {
    logixsim::GeneratorOptions g;
    g.tags = 600;
    g.programs = 3;
    g.program_tags = 150;
    g.types = 40;
    g.max_members = 8;
    const auto controller = logixsim::parse_controller(logixsim::generate_controller_json(g), "generated");
    logixsim::Options options;
    options.host = "127.0.0.1";
    options.port = 0;
    options.live_interval_ms = 0;
    options.faults.packet_limit = 4002;
    server_ = std::make_unique<logixsim::Server>(controller, options);
    server_->start();

    std::string reference;
    size_t previous = 0;
    for (const auto& c : {kModeCases[0], kModeCases[2], kModeCases[1]}) {
        SCOPED_TRACE(c.what);
        connect_mode(c);
        const std::string browse = full_browse(client_);
        ASSERT_FALSE(browse.empty());
        if (reference.empty()) {
            reference = browse;
        }
        EXPECT_EQ(browse, reference);
        const auto wire = relay_->take();
        const size_t exchanges = wire.size();
        if (previous != 0) { // larger packets, fewer exchanges (504 pages hold as much as 500)
            EXPECT_TRUE(c.packet_size == 4000 ? exchanges < previous / 3 : exchanges <= previous)
                << exchanges;
        }
        previous = exchanges;
        zelkc_logix_client_disconnect(client_);
    }
}

TEST_F(LogixConnectedTest, TheRoutePathGoesIntoTheConnectionPath) {
    ASSERT_EQ(zelkc_cip_route_path_add_backplane_slot(&client_->route, 0), ZELKC_CIP_OK);
    connect_mode(kModeCases[1]);
    zelkc_logix_value v{};
    EXPECT_EQ(zelkc_logix_client_read_atomic_value(client_, "DintTag", &v), ZELKC_LOGIX_OK);
    EXPECT_EQ(v.value.i32, 123456);
    check_carried(relay_->take(), true, 1); // connected requests are not wrapped again
    zelkc_logix_client_disconnect(client_);
    const std::vector<Exchange> closing = relay_->take();
    ASSERT_FALSE(closing.empty());
    EXPECT_EQ(closing[0].service, 0x4E);
    EXPECT_FALSE(closing[0].routed);
}

TEST_F(LogixConnectedTest, AConnectionDroppedByTheControllerEndsTheSession) {
    // The controller drops a connection idle for rpi x 4 x 2^multiplier: 40 ms here.
    client_->cip->connection.rpi_us = 10000;
    client_->cip->connection.timeout_multiplier = 0;
    connect_mode(kModeCases[1]);
    zelkc_logix_value v{};
    EXPECT_EQ(zelkc_logix_client_read_atomic_value(client_, "DintTag", &v), ZELKC_LOGIX_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(zelkc_logix_client_read_atomic_value(client_, "DintTag", &v), ZELKC_LOGIX_ERR_IO);
    EXPECT_FALSE(zelkc_logix_client_is_connected(client_));
    EXPECT_EQ(client_->cip->connection.size, 0u);
    EXPECT_EQ(zelkc_logix_client_read_atomic_value(client_, "DintTag", &v), ZELKC_LOGIX_ERR_NOT_CONNECTED);
    // A connection cut mid-reply ends the session too.
    connect_mode(kModeCases[1]);
    logixsim::Faults faults;
    faults.close_mid_reply = true;
    set_faults(faults);
    zelkc_logix_tag_info_list list{};
    EXPECT_EQ(zelkc_logix_client_browse_global_tags(client_, &list), ZELKC_LOGIX_ERR_IO);
    EXPECT_FALSE(zelkc_logix_client_is_connected(client_));
    EXPECT_EQ(client_->cip->connection.size, 0u);
}

// ---- block accounting -----------------------------------------------------------------------

// Counts live blocks; fails the allocation `countdown` calls ahead (never when negative).
struct CountingAllocator {
    static inline std::atomic<long> live{0};
    static inline std::atomic<long> countdown{-1};
    static bool fail() { return countdown >= 0 && countdown-- == 0; }
    static void* alloc(void*, uint64_t size) {
        void* p = fail() ? nullptr : std::malloc(size);
        live += p != nullptr;
        return p;
    }
    static void* realloc(void*, void* block, uint64_t size) {
        void* p = fail() ? nullptr : std::realloc(block, size);
        live += p != nullptr && block == nullptr;
        return p;
    }
    static void free(void*, void* block) {
        live -= block != nullptr;
        std::free(block);
    }
};

// Blocks held by the client's template cache: the table, and for each entry the entry, its type
// name, its member array and each member's name.
long cache_blocks(const zelkc_logix_client* client) {
    if (client->templates == nullptr) {
        return 0;
    }
    long n = 1;
    for (uint32_t id = 0; id < ZELKC_LOGIX_TEMPLATE_SLOTS; ++id) {
        const zelkc_logix_template_entry* entry = client->templates[id];
        if (entry != nullptr) {
            n += 1 + (entry->info.type_name != nullptr) + (entry->members.items != nullptr);
            for (uint32_t i = 0; i < entry->members.count; ++i) {
                n += entry->members.items[i].name != nullptr;
            }
        }
    }
    return n;
}

class LogixBlockTest : public LogixClientTest {
protected:
    void SetUp() override {
        static const zelkc_cip_allocator counting{CountingAllocator::alloc, CountingAllocator::realloc,
                                                  CountingAllocator::free, nullptr};
        zelkc_cip_allocator_set_default(&counting);
        LogixClientTest::SetUp();
        ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
        connected_ = CountingAllocator::live;
    }
    void TearDown() override {
        zelkc_logix_client_destroy(client_);
        client_ = nullptr;
        EXPECT_EQ(CountingAllocator::live, 0);
        zelkc_cip_allocator_set_default(nullptr);
        LogixClientTest::TearDown();
    }
    long connected_ = 0;
};

TEST_F(LogixBlockTest, EveryBlockIsReleasedAfterEveryBrowseAndRead) {
    auto settled = [&](const char* what) {
        EXPECT_EQ(CountingAllocator::live, connected_ + cache_blocks(client_)) << what;
    };
    zelkc_logix_tag_info_list list{};
    ASSERT_EQ(zelkc_logix_client_browse_global_tags(client_, &list), ZELKC_LOGIX_OK);
    EXPECT_GT(CountingAllocator::live, connected_);
    zelkc_logix_tag_info_list_free(&list);
    zelkc_logix_tag_info_list_free(&list); // a second release finds nothing left
    settled("global browse");
    ASSERT_EQ(zelkc_logix_client_browse_program_tags(client_, &list, "Mixer"), ZELKC_LOGIX_OK);
    zelkc_logix_tag_info_list_free(&list);
    EXPECT_NE(zelkc_logix_client_browse_program_tags(client_, &list, "Nope"), ZELKC_LOGIX_OK);
    settled("program browses");

    zelkc_logix_value v{};
    EXPECT_EQ(zelkc_logix_client_read_atomic_value(client_, "LrealTag", &v), ZELKC_LOGIX_OK);
    EXPECT_NE(zelkc_logix_client_read_atomic_value(client_, "Nope[1]", &v), ZELKC_LOGIX_OK);
    EXPECT_NE(zelkc_logix_client_read_atomic_value(client_, "A[", &v), ZELKC_LOGIX_OK);
    auto entries = entries_for({"DintTag", "Nope", "x..y", "Motor1", "RealTag"});
    EXPECT_EQ(zelkc_logix_client_read_atomic_values(client_, entries.data(), 5), ZELKC_LOGIX_OK);
    settled("single and batch reads");
    zelkc_logix_value_array array{};
    EXPECT_EQ(zelkc_logix_client_read_atomic_array(client_, "LargeArray", 300, &array), ZELKC_LOGIX_OK);
    zelkc_logix_value_array_free(&array);
    EXPECT_NE(zelkc_logix_client_read_atomic_array(client_, "LargeArray", 301, &array), ZELKC_LOGIX_OK);
    EXPECT_NE(zelkc_logix_client_read_atomic_array(client_, "BoolTag", 1, &array), ZELKC_LOGIX_OK);
    char buf[8];
    uint32_t length = 0;
    EXPECT_EQ(zelkc_logix_client_read_string_value(client_, "Greeting", buf, sizeof buf, &length),
              ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL);
    uint8_t bytes[20];
    EXPECT_EQ(zelkc_logix_client_read_bytes(client_, "Bytes", bytes, 20, &length), ZELKC_LOGIX_OK);
    settled("array, string and byte reads");
    EXPECT_GT(cache_blocks(client_), 0);

    // Failures in mid-exchange leave the client disconnected: only its session's blocks go.
    zelkc_logix_client_disconnect(client_);
    EXPECT_EQ(CountingAllocator::live, connected_ - 1); // the transport and the whole cache went
    const long disconnected = CountingAllocator::live;
    logixsim::Faults faults;
    faults.close_mid_reply = true;
    const std::vector<std::pair<const char*, std::function<uint8_t()>>> cut_off = {
        {"browse", [&] { return zelkc_logix_client_browse_global_tags(client_, &list); }},
        {"batch", [&] { return zelkc_logix_client_read_atomic_values(client_, entries.data(), 5); }},
        {"string",
         [&] { return zelkc_logix_client_read_string_value(client_, "Greeting", buf, 8, &length); }},
    };
    for (const auto& [what, operation] : cut_off) {
        set_faults({});
        ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
        set_faults(faults);
        EXPECT_NE(operation(), ZELKC_LOGIX_OK) << what;
        EXPECT_EQ(CountingAllocator::live, disconnected) << what;
    }
}

// Fails the n-th allocation of an operation, for every n until the operation succeeds: each
// failure must come back as a result code with every block released.
TEST_F(LogixBlockTest, AllocationFailuresAreReportedAndLeaveNothingBehind) {
    zelkc_logix_client_disconnect(client_);
    const long disconnected = CountingAllocator::live;
    auto entries = entries_for({"DintTag", "Motor1.Status.Speed", "Nope", "Greeting"});
    char buf[96];
    uint32_t length = 0;
    const std::vector<std::pair<const char*, std::function<uint8_t()>>> operations = {
        {"program browse",
         [&] {
             zelkc_logix_tag_info_list list{};
             const uint8_t rc = zelkc_logix_client_browse_program_tags(client_, &list, "MainProgram");
             EXPECT_TRUE(rc == ZELKC_LOGIX_OK || (list.count == 0 && list.items == nullptr));
             zelkc_logix_tag_info_list_free(&list);
             return rc;
         }},
        {"batch read", [&] { return zelkc_logix_client_read_atomic_values(client_, entries.data(), 4); }},
        {"string read",
         [&] { return zelkc_logix_client_read_string_value(client_, "Greeting", buf, sizeof buf, &length); }},
        {"array read",
         [&] {
             zelkc_logix_value_array array{};
             const uint8_t rc = zelkc_logix_client_read_atomic_array(client_, "LargeArray", 300, &array);
             zelkc_logix_value_array_free(&array);
             return rc;
         }},
        {"connect in auto mode",
         [&] {
             return zelkc_logix_client_connect_mode(client_, "127.0.0.1", server_->port(), kTimeoutMs,
                                                    ZELKC_LOGIX_MODE_AUTO);
         }},
    };
    // Each operation over unconnected messaging and over a 4002-byte connection.
    for (const uint8_t mode : {ZELKC_LOGIX_MODE_UNCONNECTED, ZELKC_LOGIX_MODE_AUTO})
        for (const auto& [what, operation] : operations) {
            bool succeeded = false;
            for (long n = 0; !succeeded && n < 2000; ++n) {
                if (!zelkc_logix_client_is_connected(client_) ||
                    (mode == ZELKC_LOGIX_MODE_AUTO) != (zelkc_logix_client_packet_size(client_) == 4000)) {
                    ASSERT_EQ(zelkc_logix_client_connect_mode(client_, "127.0.0.1", server_->port(),
                                                              kTimeoutMs, mode),
                              ZELKC_LOGIX_OK);
                }
                logix_templates_release(client_); // every template is read under the failing allocator
                CountingAllocator::countdown = n;
                const uint8_t rc = operation();
                CountingAllocator::countdown = -1;
                succeeded = rc == ZELKC_LOGIX_OK;
                if (!succeeded) {
                    EXPECT_EQ(rc, ZELKC_LOGIX_ERR_NO_MEMORY)
                        << what << ", mode " << int(mode) << ", allocation " << n;
                }
                // A session the library dropped keeps the cache until the next connect releases it.
                const long expected = (zelkc_logix_client_is_connected(client_) ? connected_ : disconnected) +
                                      cache_blocks(client_);
                ASSERT_EQ(CountingAllocator::live, expected)
                    << what << ", mode " << int(mode) << ", allocation " << n;
            }
            EXPECT_TRUE(succeeded) << what;
        }
}

} // namespace
