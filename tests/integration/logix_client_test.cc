// The Logix client over TCP against logix-sim on loopback: connection and PLC type, browsing the
// demo controller as its file declares it, reads of every kind, batching and connected messaging
// on the wire (seen through a recording relay), routed requests and transport faults.
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
#include <string>
#include <thread>
#include <vector>

#include "logix_internal.h"
#include "logixsim/server.h"
#include "zelkc_logix.h"

namespace {

using json = nlohmann::json;
using Bytes = std::vector<uint8_t>;
constexpr uint32_t kTimeoutMs = 5000;

uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }

// One encapsulation request as the relay saw it: its command, the CIP service (0x52 when routed)
// and the services a Multiple Service Packet carries.
struct Exchange {
    uint16_t command = 0;
    uint8_t service = 0;
    Bytes embedded;
};

void describe(const uint8_t* cip, size_t size, Exchange* e) {
    const size_t at = 2 + size_t(cip[1]) * 2; // after service and path
    e->service = cip[0];
    for (size_t i = 0; cip[0] == 0x0A && at + 4 + 2 * i <= size && i < le16(cip + at); ++i) {
        const size_t offset = at + le16(cip + at + 2 + 2 * i);
        e->embedded.push_back(offset < size ? cip[offset] : 0);
    }
}

// How many requests of `service` went out, alone or packed.
size_t count(const std::vector<Exchange>& wire, uint8_t service) {
    size_t n = 0;
    for (const auto& e : wire) {
        n += (e.service == service) + size_t(std::count(e.embedded.begin(), e.embedded.end(), service));
    }
    return n;
}

// A relay between client and simulator on loopback that records every request; unconnected
// requests of the services in `refuse` it answers itself with status 0x08 (not supported).
class RecordingRelay {
public:
    explicit RecordingRelay(uint16_t upstream, std::set<uint8_t> refuse = {}) : refuse_(std::move(refuse)) {
        sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof addr;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            throw std::runtime_error("relay: cannot listen");
        }
        port_ = ntohs(addr.sin_port);
        addr.sin_port = htons(upstream);
        thread_ = std::thread([this, addr] {
            while (!stop_) {
                pollfd p{listener_, POLLIN, 0};
                const int fds[2] = {::poll(&p, 1, 20) > 0 ? ::accept(listener_, nullptr, nullptr) : -1,
                                    ::socket(AF_INET, SOCK_STREAM, 0)};
                if (fds[0] >= 0 && ::connect(fds[1], reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
                    forward(fds);
                }
                ::close(fds[1]);
                ::close(fds[0]);
            }
        });
    }
    ~RecordingRelay() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    uint16_t port() const { return port_; }
    // The requests recorded since the last take (a request is recorded before it goes on, so
    // every request that was answered is there).
    std::vector<Exchange> take() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(exchanges_, {});
    }

private:
    // Copies replies back as they come and requests on frame by frame, until either side closes.
    void forward(const int fds[2]) {
        Bytes pending;
        uint8_t buf[65536];
        while (!stop_) {
            pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
            const int ready = ::poll(p, 2, 20);
            const ssize_t n = ready <= 0 ? 0 : ::recv(fds[p[0].revents ? 0 : 1], buf, sizeof buf, 0);
            if (ready > 0 && (n <= 0 || (!p[0].revents && ::send(fds[0], buf, size_t(n), MSG_NOSIGNAL) != n))) {
                return;
            }
            pending.insert(pending.end(), buf, buf + (ready > 0 && p[0].revents ? n : 0));
            while (pending.size() >= 24 && pending.size() >= 24u + le16(&pending[2])) {
                Bytes frame(pending.begin(), pending.begin() + 24 + le16(&pending[2]));
                pending.erase(pending.begin(), pending.begin() + long(frame.size()));
                Exchange e;
                e.command = le16(&frame[0]);
                const size_t cip = e.command == 0x70 ? 46 : 40; // after the CPF items (and the sequence count)
                if ((e.command == 0x6F || e.command == 0x70) && frame.size() > cip + 1) {
                    describe(&frame[cip], frame.size() - cip, &e);
                }
                std::unique_lock<std::mutex> lock(mutex_);
                exchanges_.push_back(e);
                lock.unlock();
                const bool refused = e.command == 0x6F && refuse_.count(e.service) != 0;
                if (refused) { // the request's header, then the CPF items of the refusal
                    frame.resize(24);
                    frame[2] = 20;
                    frame.insert(frame.end(), {0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0xB2, 0, 4, 0, 0, 0, 8, 0});
                    frame[40] = e.service | 0x80;
                }
                if (::send(fds[refused ? 0 : 1], frame.data(), frame.size(), MSG_NOSIGNAL) != ssize_t(frame.size())) {
                    return;
                }
            }
        }
    }

    int listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Exchange> exchanges_;
    const std::set<uint8_t> refuse_;
};

const json& demo_file() { // LOGIX_DEMO_JSON: the demo controller file, from the build
    static const json file = json::parse(std::ifstream(LOGIX_DEMO_JSON));
    return file;
}

class LogixClientTest : public ::testing::Test {
protected:
    void SetUp() override { start({}); }
    void TearDown() override { zelkc_logix_client_destroy(client_); }
    void start(logixsim::Options options, std::shared_ptr<const logixsim::Controller> c = logixsim::demo_controller()) {
        options.port = 0;
        options.live_interval_ms = 0;
        server_ = std::make_unique<logixsim::Server>(c, options);
        server_->start();
        zelkc_logix_client_destroy(client_);
        client_ = zelkc_logix_client_create();
    }
    void set_faults(const logixsim::Faults& f) { server_->set_faults(f); }
    uint8_t connect(uint32_t timeout_ms = kTimeoutMs, uint8_t mode = ZELKC_LOGIX_MODE_UNCONNECTED) {
        return zelkc_logix_client_connect_mode(client_, "127.0.0.1", server_->port(), timeout_ms, mode);
    }
    // Connects in `mode` through a new relay; returns the connect's requests.
    std::vector<Exchange> connect_recorded(uint8_t mode = ZELKC_LOGIX_MODE_UNCONNECTED, std::set<uint8_t> refuse = {}) {
        relay_.reset();
        relay_ = std::make_unique<RecordingRelay>(server_->port(), std::move(refuse));
        EXPECT_EQ(zelkc_logix_client_connect_mode(client_, "127.0.0.1", relay_->port(), kTimeoutMs, mode), 0);
        return relay_->take();
    }

    std::unique_ptr<logixsim::Server> server_;
    zelkc_logix_client* client_ = nullptr;
    std::unique_ptr<RecordingRelay> relay_; // released first: its thread holds no client state
};

// ---- browsing -------------------------------------------------------------------------------

const std::map<std::string, uint8_t> kAtomicCodes = {
    {"BOOL", 0xC1},  {"SINT", 0xC2}, {"INT", 0xC3},   {"DINT", 0xC4},  {"LINT", 0xC5},
    {"USINT", 0xC6}, {"UINT", 0xC7}, {"UDINT", 0xC8}, {"ULINT", 0xC9}, {"REAL", 0xCA},
    {"LREAL", 0xCB}, {"BYTE", 0xD1}, {"WORD", 0xD2},  {"DWORD", 0xD3}, {"LWORD", 0xD4}};

// Checks a tag or member against its declaration, structures all the way down.
void check_declared(const zelkc_logix_tag_info& info, const json& decl) {
    SCOPED_TRACE(info.name);
    const std::string type = decl["type"];
    auto dims = decl.value("dims", std::vector<uint32_t>(decl.contains("dim"), decl.value("dim", 0u)));
    EXPECT_EQ(zelkc_logix_tag_array_rank(info.symbol_type), dims.size());
    dims.resize(3);
    EXPECT_EQ(std::vector<uint32_t>(info.dims, info.dims + 3), dims);
    json members = json::parse(R"([{"name":"LEN","type":"DINT"},{"name":"DATA","type":"SINT","dim":82}])");
    for (const auto& t : demo_file()["types"]) {
        members = t["name"].get<std::string>() == type ? t["members"] : members;
    }
    if (kAtomicCodes.count(type) != 0) {
        EXPECT_EQ(info.symbol_type & 0x80FF, kAtomicCodes.at(type));
        members = json::array();
    } else {
        ASSERT_TRUE(zelkc_logix_tag_is_struct(info.symbol_type) && info.type_name != nullptr && info.type_name == type);
    }
    ASSERT_EQ(info.child_count, members.size());
    for (size_t i = 0; i < members.size(); ++i) {
        EXPECT_EQ(info.children[i].name, members[i]["name"].get<std::string>());
        check_declared(info.children[i], members[i]);
    }
}

// Checks a browse result against the declared tags, in instance order.
void check_listed(const zelkc_logix_tag_info_list& list, const json& tags, size_t programs = 0) {
    ASSERT_EQ(list.count, tags.size() + programs);
    for (const auto& tag : tags) {
        zelkc_logix_tag_info* end = list.items + list.count;
        auto* it = std::find_if(list.items, end, [&](const zelkc_logix_tag_info& t) { return tag["name"] == t.name; });
        ASSERT_NE(it, end) << tag["name"];
        check_declared(*it, tag);
    }
    EXPECT_TRUE(std::is_sorted(list.items, list.items + list.count,
                               [](const auto& a, const auto& b) { return a.id <= b.id; })); // instance order
}

// Every field of every tag info, children included, as text; a type in `refused` is written as a
// browse gives it when the controller will not give its template: no type name, no members.
void dump(const zelkc_logix_tag_info& info, std::string* out, int depth, const std::set<std::string>& refused) {
    const bool gone = info.type_name != nullptr && refused.count(info.type_name) != 0;
    *out += std::string(size_t(depth), ' ') + std::to_string(info.id) + " " + std::to_string(info.symbol_type) +
            " " + info.name + " [" + std::to_string(info.dims[0]) + "," + std::to_string(info.dims[1]) + "," +
            std::to_string(info.dims[2]) + "] " + (info.type_name != nullptr && !gone ? info.type_name : "-") +
            " " + std::to_string(gone ? 0 : info.child_count) + "\n";
    for (uint32_t i = 0; !gone && i < info.child_count; ++i) {
        dump(info.children[i], out, depth + 1, refused);
    }
}

// The controller scope and every program, each program's tags below it, as one text; empty on
// failure.
std::string full_browse(zelkc_logix_client* client, const std::set<std::string>& refused = {}) {
    std::string text;
    zelkc_logix_tag_info_list list{}, tags{};
    uint8_t rc = zelkc_logix_client_browse_global_tags(client, &list);
    for (uint32_t i = 0; rc == ZELKC_LOGIX_OK && i < list.count; ++i) {
        dump(list.items[i], &text, 0, refused);
        if (zelkc_logix_tag_is_program(list.items[i].symbol_type)) { // its tags below it
            rc = zelkc_logix_client_browse_program_tags(client, &tags, list.items[i].name);
            for (uint32_t j = 0; j < tags.count; ++j) {
                dump(tags.items[j], &text, 1, refused);
            }
            zelkc_logix_tag_info_list_free(&tags);
        }
    }
    zelkc_logix_tag_info_list_free(&list);
    return rc == ZELKC_LOGIX_OK ? text : "";
}

TEST_F(LogixClientTest, BrowseInSmallPagesMatchesTheControllerFile) {
    const json& file = demo_file();
    logixsim::Faults faults;
    faults.reply_limit = 120; // many pages, templates in several fragments
    set_faults(faults);
    connect_recorded();
    std::vector<uint32_t> progress; // told after every page: the pages and tags so far
    zelkc_logix_client_set_browse_progress(client_, [](void* told, uint32_t pages, uint32_t tags) {
        static_cast<std::vector<uint32_t>*>(told)->insert(static_cast<std::vector<uint32_t>*>(told)->end(), {pages, tags});
    }, &progress);
    zelkc_logix_tag_info_list list{};
    ASSERT_EQ(zelkc_logix_client_browse_global_tags(client_, &list), ZELKC_LOGIX_OK);
    check_listed(list, file["tags"], file["programs"].size());
    zelkc_logix_tag_info_list_free(&list);
    ASSERT_GT(progress.size(), 6u);
    for (size_t i = 2; i < progress.size(); i += 2) {
        EXPECT_TRUE(progress[i] == i / 2 + 1 && progress[i + 1] > progress[i - 1]) << "each page lists more tags";
    }
    EXPECT_EQ(progress.back(), file["tags"].size() + file["programs"].size());
    // One attribute request per template met: MotorStatus, Motor, Ingredient, Recipe, STRING.
    const std::vector<Exchange> wire = relay_->take();
    EXPECT_EQ(count(wire, 0x03), 5u);
    EXPECT_EQ(count(wire, 0x55), progress.size() / 2);
    for (const auto& program : file["programs"]) {
        ASSERT_EQ(zelkc_logix_client_browse_program_tags(client_, &list, std::string(program["name"]).c_str()), 0);
        check_listed(list, program["tags"]);
        zelkc_logix_tag_info_list_free(&list);
    }
    // Pages of one tag each can never finish a big list in reasonable time: after 16 pages plus
    // one for every two tags the browse ends as malformed, having sent exactly that many.
    faults.reply_limit = 40;
    set_faults(faults);
    progress.clear();
    relay_->take();
    EXPECT_EQ(zelkc_logix_client_browse_global_tags(client_, &list), ZELKC_LOGIX_ERR_BAD_REPLY);
    const uint32_t pages = progress.size() / 2;
    EXPECT_EQ(std::pair(pages, count(relay_->take(), 0x55)), std::pair(16 + progress.back() / 2, size_t(pages)));
    EXPECT_EQ(list.count, 0u);
}

TEST_F(LogixClientTest, TemplatesArePackedAndReadOncePerConnection) {
    connect_recorded();
    const std::string first = full_browse(client_);
    // The attributes of the templates the tags name in one packet, their definitions in as many
    // as 500-byte replies need (two), then the same for the one met only inside another: with
    // the 6 symbol pages, 11 exchanges.
    std::vector<Exchange> wire = relay_->take();
    EXPECT_EQ(std::vector<size_t>({wire.size(), count(wire, 0x0A), count(wire, 0x03), count(wire, 0x4C)}),
              std::vector<size_t>({11, 5, 5, 5}));
    // The same connection reads no template again; a disconnect forgets them.
    EXPECT_EQ(full_browse(client_), first);
    EXPECT_EQ(relay_->take().size(), 6u);
    zelkc_logix_client_disconnect(client_);
    EXPECT_EQ(client_->templates, nullptr);
    // A controller of 40 types: a 504-byte connection holds as much per packet as unconnected
    // messaging, since every packet is filled only as far as its reply fits.
    logixsim::GeneratorOptions g;
    g.tags = 600, g.programs = 3, g.program_tags = 150, g.types = 40, g.max_members = 8;
    start({}, logixsim::parse_controller(logixsim::generate_controller_json(g), "generated"));
    size_t exchanges[2] = {};
    for (const uint8_t mode : {ZELKC_LOGIX_MODE_UNCONNECTED, ZELKC_LOGIX_MODE_SMALL}) {
        connect_recorded(mode);
        ASSERT_FALSE(full_browse(client_).empty());
        exchanges[mode / 2] = relay_->take().size();
    }
    EXPECT_LE(exchanges[1], exchanges[0]);
}

// The template cache has a bound of its own: a device whose templates would pass it ends the
// browse with ZELKC_LOGIX_ERR_LIMIT instead of growing the cache; the count starts again with
// every connection.
TEST_F(LogixClientTest, TheTemplateCacheStaysWithinItsBound) {
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
    zelkc_logix_tag_info_list list{};
    ASSERT_EQ(zelkc_logix_client_browse_global_tags(client_, &list), ZELKC_LOGIX_OK);
    zelkc_logix_tag_info_list_free(&list);
    const uint32_t held = client_->template_members;
    EXPECT_GT(held, 10u);
    for (const uint8_t mode : {ZELKC_LOGIX_MODE_UNCONNECTED, ZELKC_LOGIX_MODE_AUTO}) {
        ASSERT_EQ(connect(kTimeoutMs, mode), ZELKC_LOGIX_OK);
        EXPECT_EQ(client_->template_members, 0u);
        client_->template_limit = held - 1;
        EXPECT_EQ(zelkc_logix_client_browse_global_tags(client_, &list), ZELKC_LOGIX_ERR_LIMIT) << int(mode);
        EXPECT_EQ(list.count, 0u);
        EXPECT_LE(client_->template_members, held - 1);
        client_->template_limit = 0;
    }
}

TEST_F(LogixClientTest, TypesTheControllerWillNotGiveAreSkippedAndCounted) {
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
    const std::set<std::string> refused = {"MotorStatus", "Ingredient"};
    const std::string expected = full_browse(client_, refused);
    EXPECT_EQ(zelkc_logix_client_last_browse_skipped_templates(client_), 0u);
    logixsim::Faults faults;
    faults.refused_templates = {refused.begin(), refused.end()};
    set_faults(faults);
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK); // a new connection: nothing cached
    EXPECT_EQ(full_browse(client_), expected);
    EXPECT_EQ(zelkc_logix_client_last_browse_skipped_templates(client_), 1u) << "the last program: Mixer";
    zelkc_logix_tag_info_list list{};
    // A connection that drops during the template requests ends the browse with its code, in a
    // packet (session, identity, the 6 pages, then cut) or in the single requests after a
    // refused packet.
    for (const size_t packet_limit : {504, 10}) {
        faults = {};
        faults.packet_limit = packet_limit;
        faults.close_after_requests = 2 + 6 + (packet_limit == 10) + 1;
        set_faults(faults);
        ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
        EXPECT_EQ(zelkc_logix_client_browse_global_tags(client_, &list), ZELKC_LOGIX_ERR_IO);
    }
}

// ---- reads ----------------------------------------------------------------------------------

// The bytes of `raw` that a value of `type` fills, as an integer.
uint64_t masked(uint16_t type, uint64_t raw) {
    constexpr int kBytes[20] = {1, 1, 2, 4, 8, 1, 2, 4, 8, 4, 8, 0, 0, 0, 0, 0, 1, 2, 4, 8};
    const int bytes = type >= 0xC1 && type <= 0xD4 ? kBytes[type - 0xC1] : 8;
    return bytes == 8 ? raw : raw & ((uint64_t(1) << (8 * bytes)) - 1);
}

// Every scalar atomic tag of the demo file with a fixed value: name, type code, value bytes.
std::vector<std::tuple<std::string, uint8_t, uint64_t>> atomic_tags() {
    std::vector<std::tuple<std::string, uint8_t, uint64_t>> tags;
    for (const auto& tag : demo_file()["tags"]) {
        const std::string type = tag["type"];
        if (kAtomicCodes.count(type) && !tag.contains("dims") && tag.contains("value") && !tag.contains("behaviour")) {
            const json& value = tag["value"];
            zelkc_logix_value v{};
            v.value.u64 = value.is_boolean() ? value.get<bool>() : value.is_number_unsigned() ? value.get<uint64_t>()
                                                                                              : value.get<int64_t>();
            v.value.f32 = type == "REAL" ? value.get<float>() : v.value.f32;
            v.value.f64 = type == "LREAL" ? value.get<double>() : v.value.f64;
            tags.emplace_back(tag["name"], kAtomicCodes.at(type), masked(kAtomicCodes.at(type), v.value.u64));
        }
    }
    return tags;
}

// A batch read of `names` as text: the batch's result, then result, type and value per entry.
std::string batch_text(zelkc_logix_client* client, const std::vector<std::string>& names) {
    std::vector<zelkc_logix_atomic_read> entries(names.size(), {nullptr, 0xEE, {}});
    for (size_t i = 0; i < names.size(); ++i) {
        entries[i].tag = names[i].c_str();
        std::memset(&entries[i].value, 0xEE, sizeof entries[i].value);
    }
    std::string text = std::to_string(zelkc_logix_client_read_atomic_values(client, entries.data(), uint32_t(names.size())));
    for (const auto& e : entries) {
        text += " " + std::string(e.tag) + "=" + std::to_string(e.result) + ":" + std::to_string(e.value.type) + ":" +
                std::to_string(e.result == 0 ? masked(e.value.type, e.value.value.u64) : e.value.value.u64);
    }
    return text;
}

TEST_F(LogixClientTest, BatchesGoOutInGroupsOf30AndRefusedGroupsAreHalved) {
    connect_recorded();
    // 32 entries; the bad path takes no request, so a group of 30 and a single read go out.
    std::vector<std::string> names;
    std::string expected = "0";
    const auto tags = atomic_tags();
    for (size_t i = 0; i < 32; ++i) {
        const auto& [name, type, value] = tags[i % tags.size()];
        names.push_back(i == 5 ? "Bad..Path" : i == 9 ? "NoSuchTag" : i == 12 ? "Motor1" : name);
        expected += " " + names.back() + (i == 5    ? "=1:0:0" // zeroed although never read
                                          : i == 9  ? "=7:0:0"
                                          : i == 12 ? "=16:672:0"
                                                    : "=0:" + std::to_string(type) + ":" + std::to_string(value));
    }
    EXPECT_EQ(batch_text(client_, names), expected);
    std::vector<Exchange> wire = relay_->take();
    zelkc_logix_value v{}; // a member of an element of a member, alone; a set BOOL arrives as 0xFF
    EXPECT_EQ(zelkc_logix_client_read_atomic_value(client_, "Motor1.Status.Running", &v), ZELKC_LOGIX_OK);
    EXPECT_EQ(v.value.u8 + v.type, 1 + 0xC1);
    zelkc_logix_read_status st[2]; // an index beyond the array: general error 0x2105; a structure's handle
    std::vector<zelkc_logix_atomic_read> two = {{"DintArray[20]", 0, {}}, {"Motor1", 0, {}}};
    ASSERT_EQ(zelkc_logix_client_read_atomic_values_status(client_, two.data(), 2, st), ZELKC_LOGIX_OK);
    EXPECT_TRUE(st[0].general_status == 0xFF && st[0].extended_status == 0x2105 && st[1].struct_handle % 0x02A0 != 0);
    ASSERT_TRUE(wire.size() >= 2 && wire.size() <= 4); // the group of 30 fills few 500-byte packets
    EXPECT_EQ(count({wire.begin(), wire.end() - 1}, 0x4C), 30u);
    EXPECT_EQ(wire.back().service, 0x4C);
    relay_->take();
    // Every packet refused: the packet layer splits 3 into 1 + 2 and fails on the single packet;
    // the group is then halved: 1 read alone, then the group of 2, refused the same way.
    logixsim::Faults faults;
    faults.packet_limit = 10;
    set_faults(faults);
    EXPECT_EQ(batch_text(client_, {"DintTag", "IntTag", "RealTag"}),
              "0 DintTag=0:196:123456 IntTag=0:195:1234 RealTag=0:202:1078984704");
    EXPECT_EQ(count(relay_->take(), 0x4C), 3u + 1 + 2 + 1 + 3); // in packets of 3, 1, 2, 1 refused; 3 alone
}

TEST_F(LogixClientTest, ArraysStringsAndBytesInFragments) {
    logixsim::Faults faults;
    faults.reply_limit = 10; // two DINTs or six structure bytes per reply
    set_faults(faults);
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
    const std::pair<const char*, std::vector<uint32_t>> arrays[] = {
        {"DintArray", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {"RealArray", {0x3F000000, 0x3FC00000, 0x40200000, 0x40600000, 0x40900000}},
        {"Motor1.History", {1, 2, 3}}, {"Recipe1.Steps[1]", {20, 30, 0}}, // fewer elements than the tag holds
    };
    for (const auto& [tag, expected] : arrays) {
        zelkc_logix_value_array array{};
        ASSERT_EQ(zelkc_logix_client_read_atomic_array(client_, tag, uint32_t(expected.size()), &array), 0) << tag;
        const auto* data = reinterpret_cast<const uint32_t*>(array.data);
        EXPECT_EQ(std::vector<uint32_t>(data, data + array.count), expected);
        zelkc_logix_value_array_free(&array);
    }
    const std::pair<const char*, std::string> strings[] = {
        {"Greeting", "Hello, Orvane"}, {"EmptyString", ""}, {"Motor1.Name", "Feed pump"},
        {"Names[2]", "Charlie"},        {"Program:MainProgram.State", "Auto"}};
    char buf[96];
    uint32_t length = 0;
    for (const auto& [tag, text] : strings) {
        ASSERT_EQ(zelkc_logix_client_read_string_value(client_, tag, buf, sizeof buf, &length), 0) << tag;
        EXPECT_EQ(std::string(buf) + std::to_string(length), text + std::to_string(text.size()));
    }
    EXPECT_EQ(zelkc_logix_client_read_string_value(client_, "Greeting", buf, 5, &length), ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(std::string(buf) + std::to_string(length), "13");
    uint8_t bytes[21];
    ASSERT_EQ(zelkc_logix_client_read_bytes(client_, "Bytes", bytes, 20, &length), ZELKC_LOGIX_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), length), std::string("Hello") + std::string(15, '\0'));
}

// ---- routing, connected messaging, transport faults -----------------------------------------

TEST_F(LogixClientTest, ConnectToSlotRoutesEveryRequest) {
    relay_ = std::make_unique<RecordingRelay>(server_->port());
    ASSERT_EQ(zelkc_logix_client_connect_to_slot(client_, "127.0.0.1", relay_->port(), kTimeoutMs, 0), 0);
    EXPECT_EQ(std::string(zelkc_logix_client_plc_type(client_)), demo_file()["identity"]["product_name"]);
    EXPECT_FALSE(full_browse(client_).empty());
    EXPECT_EQ(batch_text(client_, {"DintTag", "NoSuchTag"}), "0 DintTag=0:196:123456 NoSuchTag=7:0:0");
    std::vector<Exchange> wire = relay_->take();
    ASSERT_GE(wire.size(), 8u);
    for (size_t i = 1; i < wire.size(); ++i) { // the Identity request first
        EXPECT_EQ(wire[i].service, 0x52) << i; // an Unconnected Send to the slot
    }
    logixsim::Options options; // a controller in another slot: the routed connect is refused, and says why
    options.slot = 3;
    start(options);
    EXPECT_EQ(zelkc_logix_client_connect_to_slot(client_, "127.0.0.1", server_->port(), kTimeoutMs, 0), 7);
    const zelkc_cip_refusal* why = zelkc_logix_client_refusal(client_);
    EXPECT_EQ(std::tuple(why->encapsulation_status, why->general_status, why->extended_status),
              std::tuple(0u, uint8_t(0x01), uint16_t(0x0312)));
    EXPECT_FALSE(zelkc_logix_client_is_connected(client_));
}

// Devices that are not quite Logix controllers, in each mode: one that does not take Multiple
// Service Packets is asked once, then gets every request alone for the rest of the connection; one
// whose connected replies name the O->T id keeps its connection; one whose replies name neither id
// loses it at the first reply (Forward Close), and that request and all after it go unconnected.
// Reads (many tags, one) and browse stay the same.
TEST_F(LogixClientTest, OtherDevicesAreServedThroughFallbacks) {
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
    const std::vector<std::string> names = {"NoSuchTag", "Motor1.Status.Speed", "DintTag", "RealTag", "BoolTag"};
    const std::string one = batch_text(client_, {"DintTag"}), reads = batch_text(client_, names),
                      browse = full_browse(client_);
    for (uint8_t mode : {ZELKC_LOGIX_MODE_UNCONNECTED, ZELKC_LOGIX_MODE_AUTO}) {
        for (int quirk = 0; quirk < 3; ++quirk) {
            logixsim::Faults faults;
            faults.no_multiple_service = quirk == 0;
            faults.connected_reply_ot_id = quirk == 1;
            faults.connected_reply_other_id = quirk == 2;
            set_faults(faults);
            connect_recorded(mode);
            EXPECT_EQ(batch_text(client_, names) + batch_text(client_, {"DintTag"}) + full_browse(client_) +
                          batch_text(client_, names),
                      reads + one + browse + reads);
            const std::vector<Exchange> wire = relay_->take();
            if (quirk == 0) {
                EXPECT_EQ(std::count_if(wire.begin(), wire.end(), [](const Exchange& e) { return e.service == 0x0A; }),
                          1);
            } else if (quirk == 2) {
                const size_t connected = mode == ZELKC_LOGIX_MODE_AUTO ? 1 : 0;
                EXPECT_EQ(std::count_if(wire.begin(), wire.end(), [](const Exchange& e) { return e.command == 0x70; }),
                          connected);
                EXPECT_EQ(count(wire, 0x4E), connected);
                EXPECT_EQ(wire.at(connected).service, connected != 0 ? 0x4E : 0x0A) << "the Forward Close at once";
                EXPECT_TRUE(zelkc_logix_client_is_connected(client_));
                EXPECT_EQ(zelkc_logix_client_packet_size(client_), 500u);
                EXPECT_EQ(client_->cip->connection.replies_name_other, connected);
            } else {
                EXPECT_EQ(zelkc_logix_client_packet_size(client_), mode == ZELKC_LOGIX_MODE_AUTO ? 4000u : 500u);
                EXPECT_EQ(client_->cip->connection.replies_name_ot, mode == ZELKC_LOGIX_MODE_AUTO ? 1 : 0);
            }
        }
    }
}

TEST_F(LogixClientTest, EveryConnectModeGivesTheSameBrowseAndReads) {
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
    std::vector<std::string> names = {"Motor1.Status.Speed", "NoSuchTag", "Motor1"};
    for (size_t i = 0; names.size() < 200; ++i) {
        names.push_back(std::get<0>(atomic_tags()[i % 16]));
    }
    const std::string browse = full_browse(client_), reads = batch_text(client_, names);
    // Every request on the connection (Large Forward Open first in auto mode): the browse in 8
    // exchanges and the reads in 2 over 4002 bytes, 11 and 8 over 504.
    for (const auto& [mode, forward_open, packet_size] : {std::tuple{ZELKC_LOGIX_MODE_SMALL, 0x54, 502u},
                                                          std::tuple{ZELKC_LOGIX_MODE_AUTO, 0x5B, 4000u}}) {
        EXPECT_EQ(connect_recorded(mode).at(2).service, forward_open);
        EXPECT_EQ(zelkc_logix_client_packet_size(client_), packet_size);
        EXPECT_EQ(full_browse(client_), browse);
        EXPECT_EQ(batch_text(client_, names), reads);
        const std::vector<Exchange> wire = relay_->take();
        EXPECT_EQ(size_t(std::count_if(wire.begin(), wire.end(), [](const Exchange& e) { return e.command == 0x70; })),
                  wire.size());
        EXPECT_LE(wire.size(), packet_size == 4000 ? 8u + 2u : 11u + 8u);
    }
    zelkc_logix_client_disconnect(client_); // closes the connection, then the session
    EXPECT_EQ(relay_->take().at(0).service, 0x4E);
}

TEST_F(LogixClientTest, RefusedForwardOpensFallBackToSmallerConnectionsThenUnconnected) {
    // Mode, the Forward Opens refused, the Large and small ones tried, the packet size in the end.
    const std::tuple<uint8_t, std::set<uint8_t>, size_t, size_t, uint32_t> cases[] = {
        {ZELKC_LOGIX_MODE_AUTO, {0x5B}, 1, 1, 502},
        {ZELKC_LOGIX_MODE_AUTO, {0x5B, 0x54}, 1, 1, 500},
        {ZELKC_LOGIX_MODE_SMALL, {0x54}, 0, 1, 500},
    };
    for (const auto& [mode, refused, large, small, packet_size] : cases) {
        const std::vector<Exchange> wire = connect_recorded(mode, refused);
        EXPECT_EQ(std::make_pair(count(wire, 0x5B), count(wire, 0x54)), std::make_pair(large, small));
        EXPECT_EQ(zelkc_logix_client_packet_size(client_), packet_size);
        EXPECT_EQ(batch_text(client_, {"DintTag", "NoSuchTag"}), "0 DintTag=0:196:123456 NoSuchTag=7:0:0");
        EXPECT_EQ(relay_->take().at(0).command, packet_size == 502 ? 0x70 : 0x6F) << packet_size;
    }
}

TEST_F(LogixClientTest, ConnectAndTransportFaultsGiveTheirCodesAndDisconnect) {
    logixsim::Faults faults;
    faults.close_mid_reply = true;
    // The connection cut mid-reply in a single read, a browse and a batch, each on a fresh
    // connection, unconnected and over a class 3 connection.
    for (int k = 0; k < 6; ++k) {
        set_faults({});
        ASSERT_EQ(connect(kTimeoutMs, k < 3 ? ZELKC_LOGIX_MODE_UNCONNECTED : ZELKC_LOGIX_MODE_AUTO), 0);
        set_faults(faults);
        zelkc_logix_tag_info_list list{};
        std::string batch = "6"; // the failed group and the unsent one carry the failure
        for (size_t i = 0; i < 40; ++i) {
            batch += " DintTag=6:0:0";
        }
        if (k % 3 == 0) {
            EXPECT_EQ(batch_text(client_, {"DintTag"}), "6 DintTag=6:0:0");
        } else if (k % 3 == 1) {
            EXPECT_EQ(zelkc_logix_client_browse_global_tags(client_, &list), ZELKC_LOGIX_ERR_IO);
            EXPECT_EQ(list.items, nullptr);
        } else {
            EXPECT_EQ(batch_text(client_, std::vector<std::string>(40, "DintTag")), batch);
        }
        EXPECT_FALSE(zelkc_logix_client_is_connected(client_)) << k;
        EXPECT_EQ(client_->cip->connection.size, 0u) << k;
        zelkc_logix_value v{}; // the session is gone: the next call finds none
        EXPECT_EQ(zelkc_logix_client_read_atomic_value(client_, "DintTag", &v), ZELKC_LOGIX_ERR_NOT_CONNECTED) << k;
    }
    EXPECT_EQ(connect(), ZELKC_LOGIX_ERR_IO); // a fault at connect time
}

// ---- allocation -----------------------------------------------------------------------------

// Counts live blocks; fails the allocation `countdown` calls ahead (never when negative).
struct CountingAllocator {
    static inline std::atomic<long> live{0}, countdown{-1};
    static void* alloc(void*, uint64_t size) { return realloc(nullptr, nullptr, size); }
    static void* realloc(void*, void* block, uint64_t size) {
        void* p = countdown >= 0 && countdown-- == 0 ? nullptr : std::realloc(block, size);
        return live += p != nullptr && block == nullptr, p;
    }
    static void free(void*, void* block) { live -= block != nullptr, std::free(block); }
};

// Fails the n-th allocation of each operation, for every n it allocates, unconnected and over a
// 4002-byte connection: each failure comes back as its code, leaves no result behind, and once
// the template cache is released so is every other block of the operation.
TEST_F(LogixClientTest, AllocationFailuresAreReportedAndEveryBlockIsReleased) {
    static const zelkc_cip_allocator counting{CountingAllocator::alloc, CountingAllocator::realloc,
                                              CountingAllocator::free, nullptr};
    zelkc_logix_client_destroy(client_);
    zelkc_cip_allocator_set_default(&counting);
    client_ = zelkc_logix_client_create();
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
    const long connected = CountingAllocator::live;
    zelkc_logix_tag_info_list list{};
    ASSERT_EQ(zelkc_logix_client_browse_global_tags(client_, &list), ZELKC_LOGIX_OK);
    zelkc_logix_tag_info_list_free(&list);
    zelkc_logix_tag_info_list_free(&list); // a second release finds nothing left
    EXPECT_GT(CountingAllocator::live, connected); // the templates stay cached
    logix_templates_release(client_);
    EXPECT_EQ(CountingAllocator::live, connected);
    zelkc_logix_client_disconnect(client_);
    const long disconnected = CountingAllocator::live;
    std::vector<zelkc_logix_atomic_read> reads = {{"DintTag", 0, {}}, {"Motor1.Status.Speed", 0, {}}, {"Nope", 0, {}}};
    zelkc_logix_value_array array{};
    char text[96];
    uint32_t length = 0;
    const std::pair<const char*, std::function<uint8_t()>> operations[] = {
        {"program browse", [&] { return zelkc_logix_client_browse_program_tags(client_, &list, "MainProgram"); }},
        {"batch read", [&] { return zelkc_logix_client_read_atomic_values(client_, reads.data(), 3); }},
        {"string read", [&] { return zelkc_logix_client_read_string_value(client_, "Greeting", text, 96, &length); }},
        {"array read", [&] { return zelkc_logix_client_read_atomic_array(client_, "LargeArray", 300, &array); }},
        {"batch write", [&] {
             zelkc_logix_atomic_write w[2] = {};
             w[0].tag = "DintTag", w[0].value.type = 0xC4, w[0].value.value.i32 = 7;
             w[1].tag = "Greeting", w[1].value.type = 0x02A0, w[1].text = "hi", w[1].text_length = 2, w[1].capacity = 82;
             const uint8_t rc = zelkc_logix_client_write_values(client_, w, 2);
             return rc == ZELKC_LOGIX_OK && (w[0].result | w[1].result) != 0 ? uint8_t(0xEE) : rc;
         }},
        {"auto connect", [&] { // a Forward Open that fails for memory is no refusal: no smaller size
             const uint8_t rc = connect(kTimeoutMs, ZELKC_LOGIX_MODE_AUTO);
             return rc == ZELKC_LOGIX_OK && zelkc_logix_client_packet_size(client_) != 4000 ? uint8_t(0xEE) : rc;
         }},
    };
    for (const uint8_t mode : {ZELKC_LOGIX_MODE_UNCONNECTED, ZELKC_LOGIX_MODE_AUTO}) {
        for (const auto& [what, operation] : operations) {
            for (long n = 0, failed = 1; failed; ++n) { // until the operation makes no n-th allocation
                ASSERT_LT(n, 5000);
                SCOPED_TRACE(std::string(what) + ", mode " + std::to_string(mode) + ", failing " + std::to_string(n));
                if (!zelkc_logix_client_is_connected(client_) ||
                    (mode == ZELKC_LOGIX_MODE_AUTO) != (zelkc_logix_client_packet_size(client_) == 4000)) {
                    ASSERT_EQ(connect(kTimeoutMs, mode), ZELKC_LOGIX_OK);
                }
                logix_templates_release(client_); // every template is read under the failing allocator
                CountingAllocator::countdown = n;
                const uint8_t rc = operation();
                failed = CountingAllocator::countdown.exchange(-1) < 0; // some failures do no harm
                EXPECT_TRUE(rc == ZELKC_LOGIX_OK ||
                            (failed && rc == ZELKC_LOGIX_ERR_NO_MEMORY && !list.items && !array.data)) << int(rc);
                zelkc_logix_tag_info_list_free(&list);
                zelkc_logix_value_array_free(&array);
                logix_templates_release(client_);
                ASSERT_EQ(CountingAllocator::live, zelkc_logix_client_is_connected(client_) ? connected : disconnected);
            }
        }
    }
    zelkc_logix_client_destroy(client_);
    client_ = nullptr;
    EXPECT_EQ(CountingAllocator::live, 0);
    zelkc_cip_allocator_set_default(nullptr);
}

// ---- writes ----------------------------------------------------------------------------------

// A controller for writes: flags whose bit 3 the program flips every cycle, a read-only setpoint, a
// value the program holds, a STRING and a structure with BOOL members.
const char* const kWriteController = R"({
  "identity": {"vendor_id": 1, "device_type": 14, "product_code": 166, "revision": {"major": 33, "minor": 11},
               "serial_number": 12648430, "product_name": "1756-L83E/B"},
  "types": [{"name": "Valve", "members": [{"name": "Open", "type": "BOOL"}, {"name": "Closed", "type": "BOOL"},
            {"name": "Fault", "type": "BOOL"}, {"name": "Position", "type": "REAL"}]}],
  "tags": [
    {"name": "Flags", "type": "DINT", "behaviour": {"kind": "toggle", "bit": 3}},
    {"name": "Small", "type": "SINT"}, {"name": "Wide", "type": "LINT"},
    {"name": "Limit", "type": "DINT", "value": 50, "access": "read-only"},
    {"name": "Held", "type": "DINT", "value": 42, "behaviour": {"kind": "hold", "value": 42}},
    {"name": "Label", "type": "STRING", "value": "old"},
    {"name": "V1", "type": "Valve", "value": {"Closed": true, "Fault": true}},
    {"name": "Setpoints", "type": "DINT", "dims": [100]},
    {"name": "Alarms", "type": "BOOL", "dims": [64], "value": [true, false, true]}
  ]})";

zelkc_logix_atomic_write atomic(const char* tag, uint16_t type, uint64_t bits, uint16_t host = 0) {
    zelkc_logix_atomic_write w{};
    w.tag = tag;
    w.value.type = type;
    w.value.value.u64 = bits;
    w.host_type = host;
    return w;
}

uint64_t read_bits(zelkc_logix_client* client, const char* tag) {
    zelkc_logix_value v{};
    EXPECT_EQ(zelkc_logix_client_read_atomic_value(client, tag, &v), ZELKC_LOGIX_OK) << tag;
    return v.value.u64;
}

// Every atomic type at its edge values goes out in one packet and reads back bit for bit; a bad
// entry takes no request and the rest are still written.
TEST_F(LogixClientTest, EveryAtomicTypeIsWrittenInOneBatchAndReadsBack) {
    connect_recorded();
    const std::pair<const char*, std::pair<uint16_t, uint64_t>> values[] = {
        {"SintTag", {0xC2, 0x80}},           {"IntTag", {0xC3, 0x8000}},
        {"DintTag", {0xC4, 0x80000000}},     {"LintTag", {0xC5, 0x8000000000000000}},
        {"UsintTag", {0xC6, 0xFF}},          {"UintTag", {0xC7, 0xFFFF}},
        {"UdintTag", {0xC8, 0xFFFFFFFF}},    {"UlintTag", {0xC9, ~0ull}},
        {"RealTag", {0xCA, 0x3DCCCCCD}},     {"LrealTag", {0xCB, 0x3FB999999999999A}},
        {"ByteTag", {0xD1, 0xA5}},           {"WordTag", {0xD2, 0xBEEF}},
        {"DwordTag", {0xD3, 0xDEADBEEF}},    {"LwordTag", {0xD4, 0x0123456789ABCDEF}},
        {"BoolFalse", {0xC1, 1}},            {"Motor1.Status.Faulted", {0xC1, 1}},
    };
    std::vector<zelkc_logix_atomic_write> batch;
    for (const auto& [tag, v] : values)
        batch.push_back(atomic(tag, v.first, v.second));
    batch.push_back(atomic("Bad..Path", 0xC4, 1));
    batch.push_back(atomic("NoSuchTag", 0xC4, 1));
    ASSERT_EQ(zelkc_logix_client_write_values(client_, batch.data(), uint32_t(batch.size())), ZELKC_LOGIX_OK);
    const std::vector<Exchange> wire = relay_->take();
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(count(wire, 0x4D), 17u);
    for (size_t i = 0; i < std::size(values); ++i) {
        EXPECT_EQ(batch[i].result, ZELKC_LOGIX_OK) << values[i].first;
        EXPECT_EQ(read_bits(client_, values[i].first), values[i].second.second) << values[i].first;
    }
    EXPECT_EQ(batch[16].result, ZELKC_LOGIX_ERR_INVALID_ARGUMENT);
    EXPECT_TRUE(batch[17].result == ZELKC_LOGIX_ERR_DEVICE && batch[17].status.general_status == 0x04);
    EXPECT_EQ(read_bits(client_, "Motor1.Status.Running"), 1u) << "a BOOL member's neighbour kept";
}

// Bits go by Read-Modify-Write with masks of the integer's width, so a bit the program flipped after
// the client last read the integer stays flipped; BOOL members go by name; checks refuse before
// anything is sent.
TEST_F(LogixClientTest, BitsAreWrittenByReadModifyWriteWithoutTouchingTheirNeighbours) {
    start({}, logixsim::parse_controller(kWriteController, "writes"));
    connect_recorded();
    ASSERT_EQ(read_bits(client_, "Flags"), 0u);
    server_->tick(); // the program sets bit 3 after our read
    zelkc_logix_atomic_write bits[] = {atomic("Flags.5", 0xC1, 1, 0xC4), atomic("Small.7", 0xC1, 1, 0xC2),
                                       atomic("Wide.63", 0xC1, 1, 0xC5), atomic("V1.Open", 0xC1, 1),
                                       atomic("V1.Fault", 0xC1, 0)};
    ASSERT_EQ(zelkc_logix_client_write_values(client_, bits, 5), ZELKC_LOGIX_OK);
    std::vector<Exchange> wire = relay_->take();
    EXPECT_EQ(count(wire, 0x4E), 3u);
    EXPECT_EQ(count(wire, 0x4D), 2u);
    EXPECT_EQ(read_bits(client_, "Flags"), 0x28u);
    EXPECT_EQ(read_bits(client_, "Small") & 0xFF, 0x80u);
    EXPECT_EQ(read_bits(client_, "Wide"), 0x8000000000000000u);
    for (const auto& [member, on] : {std::pair{"V1.Open", 1u}, {"V1.Closed", 1u}, {"V1.Fault", 0u}})
        EXPECT_EQ(read_bits(client_, member) & 0xFF, on) << member;
    // An element of a BOOL array: its 32-bit word's bit, the others kept.
    zelkc_logix_atomic_write alarms[] = {atomic("Alarms[45]", 0xC1, 1), atomic("Alarms[2]", 0xC1, 0)};
    ASSERT_EQ(zelkc_logix_client_write_values(client_, alarms, 2), ZELKC_LOGIX_OK);
    EXPECT_EQ(alarms[0].result | alarms[1].result, ZELKC_LOGIX_OK);
    EXPECT_EQ(count(relay_->take(), 0x4E), 2u);
    for (const auto& [element, on] : {std::pair{"Alarms[0]", 1u}, {"Alarms[2]", 0u}, {"Alarms[37]", 0u}, {"Alarms[44]", 0u}, {"Alarms[45]", 1u}})
        EXPECT_EQ(read_bits(client_, element) & 0xFF, on) << element;
    bits[0].value.value.u8 = 0;
    server_->tick(); // bit 3 cleared again by the program
    ASSERT_EQ(zelkc_logix_client_write_value(client_, &bits[0]), ZELKC_LOGIX_OK);
    EXPECT_EQ(read_bits(client_, "Flags"), 0u);
    relay_->take();
    const uint64_t before = server_->request_count();
    zelkc_logix_atomic_write refused[] = {atomic("Flags.32", 0xC1, 1, 0xC4), atomic("Flags.1", 0xC1, 1, 0xCA),
                                          atomic("Flags.1", 0xC1, 1), atomic("Flags", 0xCC, 1)};
    EXPECT_EQ(zelkc_logix_client_write_values(client_, refused, 4), ZELKC_LOGIX_OK);
    for (const auto& w : refused)
        EXPECT_EQ(w.result, &w == &refused[3] ? ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE : ZELKC_LOGIX_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(server_->request_count(), before) << "nothing goes out when every entry fails its check";
}

// STRINGs go as DATA then LEN in one packet; a text longer than the capacity is refused unsent;
// refusals come back per entry with their status, and a held value reads back as the program holds it.
TEST_F(LogixClientTest, StringsRefusalsAndHeldValuesComeBackPerEntry) {
    start({}, logixsim::parse_controller(kWriteController, "writes"));
    connect_recorded(ZELKC_LOGIX_MODE_AUTO);
    const std::string text = "line 2 running";
    zelkc_logix_atomic_write batch[4] = {atomic("Label", 0x02A0, 0), atomic("Limit", 0xC4, 60),
                                         atomic("Held", 0xC4, 7), atomic("Small", 0xC2, 5)};
    batch[0].text = text.data(), batch[0].text_length = uint32_t(text.size()), batch[0].capacity = 82;
    ASSERT_EQ(zelkc_logix_client_write_values(client_, batch, 4), ZELKC_LOGIX_OK);
    EXPECT_EQ(relay_->take().size(), 1u);
    char buf[96];
    uint32_t length = 0;
    ASSERT_EQ(zelkc_logix_client_read_string_value(client_, "Label", buf, sizeof buf, &length), ZELKC_LOGIX_OK);
    EXPECT_EQ(std::string(buf, length), text);
    EXPECT_EQ(batch[0].result, ZELKC_LOGIX_OK);
    EXPECT_TRUE(batch[1].result == ZELKC_LOGIX_ERR_DEVICE && batch[1].status.general_status == 0x0F);
    EXPECT_EQ(read_bits(client_, "Limit") & 0xFFFFFFFF, 50u);
    EXPECT_EQ(batch[2].result, ZELKC_LOGIX_OK) << "the controller took the write";
    EXPECT_EQ(read_bits(client_, "Held") & 0xFFFFFFFF, 42u) << "and its program put 42 back";
    const std::string empty;
    batch[0].text = empty.data(), batch[0].text_length = 0;
    ASSERT_EQ(zelkc_logix_client_write_value(client_, &batch[0]), ZELKC_LOGIX_OK);
    ASSERT_EQ(zelkc_logix_client_read_string_value(client_, "Label", buf, sizeof buf, &length), ZELKC_LOGIX_OK);
    EXPECT_EQ(length, 0u);
    const std::string long_text(83, 'x');
    batch[0].text = long_text.data(), batch[0].text_length = 83;
    const uint64_t before = server_->request_count();
    EXPECT_EQ(zelkc_logix_client_write_value(client_, &batch[0]), ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(server_->request_count(), before);
    logixsim::Faults faults;
    faults.refuse_writes = true;
    set_faults(faults);
    EXPECT_EQ(zelkc_logix_client_write_value(client_, &batch[3]), ZELKC_LOGIX_ERR_DEVICE);
    EXPECT_EQ(batch[3].status.general_status, 0x10);
    zelkc_logix_client_disconnect(client_);
    EXPECT_EQ(zelkc_logix_client_write_value(client_, &batch[3]), ZELKC_LOGIX_ERR_NOT_CONNECTED);
}

// A hundred writes are one exchange over a 4002-byte connection, and unconnected as many 500-byte
// packets as 26 bytes a request need (groups of 30 in two packets each, the last 10 in one); a
// transport failure marks every entry that got no reply.
TEST_F(LogixClientTest, AHundredWritesAreOneExchangeOverAConnection) {
    start({}, logixsim::parse_controller(kWriteController, "writes"));
    std::vector<std::string> names;
    for (int i = 0; i < 100; ++i)
        names.push_back("Setpoints[" + std::to_string(i) + "]");
    std::vector<zelkc_logix_atomic_write> batch;
    for (int i = 0; i < 100; ++i)
        batch.push_back(atomic(names[size_t(i)].c_str(), 0xC4, uint64_t(1000 + i)));
    for (const auto& [mode, exchanges] : {std::pair{ZELKC_LOGIX_MODE_AUTO, 1u}, {ZELKC_LOGIX_MODE_UNCONNECTED, 7u}}) {
        connect_recorded(mode);
        ASSERT_EQ(zelkc_logix_client_write_values(client_, batch.data(), 100), ZELKC_LOGIX_OK);
        const std::vector<Exchange> wire = relay_->take();
        EXPECT_EQ(wire.size(), exchanges);
        EXPECT_EQ(count(wire, 0x4D), 100u);
    }
    EXPECT_EQ(read_bits(client_, "Setpoints[99]") & 0xFFFFFFFF, 1099u);
    logixsim::Faults faults;
    faults.close_after_requests = 0;
    ASSERT_EQ(connect(), ZELKC_LOGIX_OK);
    set_faults(faults);
    server_->stop();
    EXPECT_NE(zelkc_logix_client_write_values(client_, batch.data(), 100), ZELKC_LOGIX_OK);
    for (const auto& w : batch)
        ASSERT_TRUE(w.result == ZELKC_LOGIX_ERR_IO || w.result == ZELKC_LOGIX_ERR_NOT_CONNECTED) << int(w.result);
}

} // namespace

// ---- lanes ----------------------------------------------------------------------------------

// The whole tag database through a lane set: the controller scope walked in ranges, the programs
// side by side (collected in their order), one program also walked in ranges; the same text as
// full_browse gives over one lane, or "" on a failure.
std::string lanes_browse(zelkc_logix_lanes* lanes, uint8_t* failure = nullptr) {
    zelkc_logix_tag_info_list list{};
    uint8_t rc = zelkc_logix_lanes_browse_global_tags(lanes, &list);
    std::vector<const char*> names;
    for (uint32_t i = 0; i < list.count; ++i) {
        if (zelkc_logix_tag_is_program(list.items[i].symbol_type)) {
            names.push_back(list.items[i].name);
        }
    }
    struct Told {
        std::mutex mu;
        std::map<uint32_t, std::string> texts;
        uint8_t failure = 0;
    } told;
    if (rc == ZELKC_LOGIX_OK) {
        rc = zelkc_logix_lanes_browse_programs(
            lanes, names.data(), uint32_t(names.size()),
            [](void* context, uint32_t index, uint8_t result, zelkc_logix_tag_info_list* tags) {
                auto* t = static_cast<Told*>(context);
                std::string text;
                for (uint32_t j = 0; j < tags->count; ++j) {
                    dump(tags->items[j], &text, 1, {});
                }
                zelkc_logix_tag_info_list_free(tags);
                std::lock_guard<std::mutex> lock(t->mu);
                t->texts[index] = text;
                t->failure = result != ZELKC_LOGIX_OK ? result : t->failure;
            },
            &told);
    }
    rc = rc != ZELKC_LOGIX_OK ? rc : told.failure;
    std::string text;
    for (uint32_t i = 0, p = 0; rc == ZELKC_LOGIX_OK && i < list.count; ++i) {
        dump(list.items[i], &text, 0, {});
        if (zelkc_logix_tag_is_program(list.items[i].symbol_type)) {
            text += told.texts[p++];
        }
    }
    // A program walked in ranges lists what the program browse side by side listed.
    zelkc_logix_tag_info_list one{};
    if (rc == ZELKC_LOGIX_OK && !names.empty()) {
        rc = zelkc_logix_lanes_browse_program_tags(lanes, &one, names.back());
        std::string again;
        for (uint32_t j = 0; j < one.count; ++j) {
            dump(one.items[j], &again, 1, {});
        }
        EXPECT_EQ(again, told.texts[uint32_t(names.size() - 1)]);
    }
    zelkc_logix_tag_info_list_free(&one);
    zelkc_logix_tag_info_list_free(&list);
    if (failure != nullptr) {
        *failure = rc;
    }
    return rc == ZELKC_LOGIX_OK ? text : "";
}

class LanesTest : public LogixClientTest {
protected:
    void SetUp() override {}
    void TearDown() override {
        zelkc_logix_lanes_close(&lanes_);
        LogixClientTest::TearDown();
    }
    // A controller of 600 tags in 3 programs of 150 and 40 types: about 40 pages unconnected.
    void start_generated(logixsim::Options options = {}) {
        logixsim::GeneratorOptions g;
        g.tags = 600, g.programs = 3, g.program_tags = 150, g.types = 40, g.max_members = 8;
        generated_ = logixsim::generate_controller_json(g);
        start(options, logixsim::parse_controller(generated_, "generated"));
    }
    void open(uint8_t mode, uint32_t count) {
        zelkc_logix_lanes_close(&lanes_);
        zelkc_logix_client_destroy(client_);
        client_ = zelkc_logix_client_create();
        ASSERT_EQ(connect(kTimeoutMs, mode), ZELKC_LOGIX_OK);
        ASSERT_EQ(zelkc_logix_lanes_open(&lanes_, client_, "127.0.0.1", server_->port(), kTimeoutMs, count), 0);
    }
    std::string one_lane(uint8_t mode) {
        open(mode, 1);
        return full_browse(client_);
    }
    std::string generated_;
    zelkc_logix_lanes lanes_{};
};

// Whatever the number of lanes and the messaging, the same tags in the same order, with the same
// types and members, and the same values; every lane asked for is used.
TEST_F(LanesTest, AnyNumberOfLanesGivesWhatOneLaneGives) {
    start_generated();
    std::vector<std::string> atomic;
    const json file = json::parse(generated_);
    for (const auto& t : file["tags"]) {
        if (kAtomicCodes.count(t["type"].get<std::string>()) != 0 && !t.contains("dims") && !t.contains("dim")) {
            atomic.push_back(t["name"]);
        }
    }
    ASSERT_GT(atomic.size(), 100u);
    for (const uint8_t mode : {ZELKC_LOGIX_MODE_UNCONNECTED, ZELKC_LOGIX_MODE_AUTO}) {
        const std::string expected = one_lane(mode);
        ASSERT_FALSE(expected.empty());
        std::vector<zelkc_logix_atomic_read> single(atomic.size());
        std::vector<zelkc_logix_read_status> single_status(atomic.size());
        for (size_t i = 0; i < atomic.size(); ++i) {
            single[i].tag = atomic[i].c_str();
        }
        ASSERT_EQ(zelkc_logix_client_read_atomic_values_status(client_, single.data(), uint32_t(single.size()),
                                                               single_status.data()), 0);
        for (const uint32_t count : {2u, 4u, 8u}) {
            SCOPED_TRACE(testing::Message() << "mode " << int(mode) << ", " << count << " lanes");
            open(mode, count);
            ASSERT_EQ(lanes_.count, count);
            EXPECT_EQ(lanes_browse(&lanes_), expected);
            std::vector<zelkc_logix_atomic_read> read = single;
            std::vector<zelkc_logix_read_status> status(read.size());
            for (auto& e : read) {
                e.result = ZELKC_LOGIX_ERR_UNKNOWN, e.value = {};
            }
            ASSERT_EQ(zelkc_logix_lanes_read_atomic_values_status(&lanes_, read.data(), uint32_t(read.size()),
                                                                  status.data()), 0);
            // The batch needs many packets unconnected (a slice per lane) and two over a connection.
            EXPECT_EQ(lanes_.used, mode == ZELKC_LOGIX_MODE_UNCONNECTED ? count : 2u);
            for (size_t i = 0; i < read.size(); ++i) {
                ASSERT_EQ(std::tuple(read[i].result, read[i].value.type, read[i].value.value.u64,
                                     status[i].general_status),
                          std::tuple(single[i].result, single[i].value.type, single[i].value.value.u64,
                                     single_status[i].general_status)) << atomic[i];
            }
        }
    }
}

// A controller that grants fewer connections keeps the lanes it gave; lanes lost on the way are
// reopened once, and when that fails their ranges and programs are finished by the others; the
// browse fails only when no lane is left.
TEST_F(LanesTest, RefusedAndLostLanesLeaveTheWorkToTheOthers) {
    logixsim::Options options;
    options.max_connections = 2;
    start_generated(options);
    const std::string expected = one_lane(ZELKC_LOGIX_MODE_AUTO);
    open(ZELKC_LOGIX_MODE_AUTO, 4);
    EXPECT_EQ(lanes_.count, 2u) << "the controller gave one connection more";
    EXPECT_EQ(lanes_browse(&lanes_), expected);

    start_generated(); // connections enough
    const std::string unconnected = one_lane(ZELKC_LOGIX_MODE_UNCONNECTED); // pages enough for every lane
    for (const bool reopen : {true, false}) {
        SCOPED_TRACE(reopen ? "reopened" : "not reopened");
        set_faults({});
        open(ZELKC_LOGIX_MODE_UNCONNECTED, 4);
        ASSERT_EQ(lanes_.count, 4u);
        zelkc_logix_client_disconnect(lanes_.clients[2]);
        zelkc_logix_client_disconnect(lanes_.clients[3]);
        logixsim::Faults faults;
        faults.refuse_sessions = !reopen;
        set_faults(faults);
        EXPECT_EQ(lanes_browse(&lanes_), unconnected);
        // A lost lane is tried again once, when it next takes work (which the others may leave
        // it none of): reopened, or refused and given up.
        EXPECT_LE(lanes_.reopened, 2u);
        const uint32_t up = zelkc_logix_client_is_connected(lanes_.clients[2]) + zelkc_logix_client_is_connected(lanes_.clients[3]);
        const uint32_t gone = lanes_.gone[2] + lanes_.gone[3];
        EXPECT_EQ(reopen ? up : gone, lanes_.reopened);
        EXPECT_EQ(reopen ? gone : up, 0u);
    }
    // The caller's own connection lost: the other lanes do its share; it is not reopened here.
    set_faults({});
    open(ZELKC_LOGIX_MODE_UNCONNECTED, 3);
    zelkc_logix_client_disconnect(lanes_.clients[0]);
    EXPECT_EQ(lanes_browse(&lanes_), unconnected);
    EXPECT_FALSE(zelkc_logix_client_is_connected(lanes_.clients[0]));
    // Every lane gone: the browse fails and says so.
    for (uint32_t i = 0; i < lanes_.count; ++i) {
        zelkc_logix_client_disconnect(lanes_.clients[i]);
    }
    uint8_t failure = 0;
    EXPECT_EQ(lanes_browse(&lanes_, &failure), "");
    EXPECT_NE(failure, ZELKC_LOGIX_OK);
}
