// The write command: reads what each tag holds now, shows the plan, asks, writes every value in one
// batch, reads them back, records every attempt, and says per tag what the controller holds.
#include <fmt/format.h>

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Platform.h"
#include "Settings.h"
#include "ValueText.h"
#include "WriteRecord.h"
#include "cli.h"
#include "terminal_text.h"

namespace cli {

uint32_t string_capacity(const Connection& connection, const std::string& tag) {
    std::string program;
    if (strncasecmp(tag.c_str(), "Program:", 8) == 0) {
        program = tag.substr(8, tag.find('.') == std::string::npos ? std::string::npos : tag.find('.') - 8);
    }
    zelkc_logix_tag_info_list list{};
    const uint8_t rc =
        program.empty() ? zelkc_logix_client_browse_global_tags(connection.client(), &list)
                        : zelkc_logix_client_browse_program_tags(connection.client(), &list, program.c_str());
    if (rc != ZELKC_LOGIX_OK) {
        zelkc_logix_tag_info_list_free(&list);
        if (is_connection_failure(rc)) {
            connection.fail("browsing for " + tag, rc);
        }
        return 0;
    }
    // An element of a STRING array ("Names[2]") has the array's members.
    std::string path = tag;
    for (size_t open; (open = path.find('[')) != std::string::npos;) {
        const size_t close = path.find(']', open);
        path.erase(open, close == std::string::npos ? std::string::npos : close - open + 1);
    }
    uint32_t capacity = 0;
    if (const zelkc_logix_tag_info* info = find_info(list, path)) {
        for (uint32_t i = 0; i < info->child_count; ++i) {
            if (info->children[i].name != nullptr && strcasecmp(info->children[i].name, "DATA") == 0) {
                capacity = info->children[i].dims[0];
            }
        }
    }
    zelkc_logix_tag_info_list_free(&list);
    return capacity;
}

namespace {

// One TAG=VALUE of the command line and everything learnt about it.
struct Planned {
    std::string tag;   // as given
    std::string asked; // the value text as given
    std::string read;  // what is read to learn the type and the value before: the tag, or a bit's integer
    int bit = -1;      // "Dint.5": the bit of the integer `read`
    bool is_string = false;
    uint16_t type = 0; // atomic type code of the target (BOOL for a bit), or the structure marker
    uint16_t host_type = 0;
    uint32_t capacity = 0; // a STRING's characters
    std::string type_name;
    std::string before; // value text before the write
    zelkc_logix_value value{};
    std::string note; // how the value was rounded, if it was
    // Outcome
    std::string result; // written, differs, refused, failed
    std::string reason;
    zelkc_logix_read_status status{};
    std::string read_back;
};

// "Tag.5" names bit 5 of the integer Tag: the last segment is all digits.
int bit_of(const std::string& tag, std::string* host) {
    const size_t dot = tag.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == tag.size() || dot + 4 < tag.size()) {
        return -1;
    }
    int bit = 0;
    for (size_t i = dot + 1; i < tag.size(); ++i) {
        if (tag[i] < '0' || tag[i] > '9') {
            return -1;
        }
        bit = bit * 10 + (tag[i] - '0');
    }
    *host = tag.substr(0, dot);
    return bit;
}

std::string bit_text(const zelkc_logix_value& v, int bit) {
    return (v.value.u64 >> bit) & 1 ? "true" : "false";
}

std::string reason_of(uint8_t result, const zelkc_logix_read_status& status) {
    const zelkc_cip_refusal refusal{0, status.general_status, status.extended_status, 0, -1};
    char text[256];
    zelkc_logix_failure_text(result, &refusal, text, sizeof text);
    return text;
}

// What stops a plan: the text, and whether it is the user's request (exit 1) rather than the
// controller's refusal (exit 3).
struct Problem {
    std::string text;
    bool usage = false;
};

// Reads every planned tag (a bit's integer for a bit) and fills type, before and, for STRINGs,
// the capacity. Returns what stops the plan.
std::vector<Problem> learn(const Connection& connection, std::vector<Planned>& plan) {
    std::vector<zelkc_logix_atomic_read> entries(plan.size());
    std::vector<zelkc_logix_read_status> statuses(plan.size());
    for (size_t i = 0; i < plan.size(); ++i) {
        entries[i].tag = plan[i].read.c_str();
    }
    const uint8_t rc = zelkc_logix_client_read_atomic_values_status(
        connection.client(), entries.data(), uint32_t(entries.size()), statuses.data());
    if (rc != ZELKC_LOGIX_OK) {
        connection.fail("reading tags", rc);
    }
    std::vector<Problem> problems;
    for (size_t i = 0; i < plan.size(); ++i) {
        Planned& p = plan[i];
        const zelkc_logix_atomic_read& e = entries[i];
        if (e.result != ZELKC_LOGIX_OK) {
            const bool text = e.result == ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE &&
                              (statuses[i].struct_handle == ZELKC_LOGIX_STRING_HANDLE ||
                               e.value.type == ZELKC_LOGIX_TYPE_CIP_STRING ||
                               e.value.type == ZELKC_LOGIX_TYPE_SHORT_STRING);
            if (!text || p.bit >= 0) {
                if (p.bit >= 0 && text) {
                    problems.push_back(
                        {fmt::format("{}: {} is a STRING, not an integer", p.tag, p.read), true});
                } else {
                    problems.push_back({fmt::format("{}: {}", p.tag, reason_of(e.result, statuses[i]))});
                }
                continue;
            }
            const std::vector<TagValue> now = read_tags(connection, {p.read});
            if (!now[0].ok) {
                problems.push_back({fmt::format("{}: {}", p.tag, now[0].reason)});
                continue;
            }
            p.is_string = true;
            p.type = ZELKC_LOGIX_STRUCT_MARKER;
            p.type_name = "STRING";
            p.before = now[0].text;
            p.capacity = string_capacity(connection, p.tag);
            if (p.capacity == 0) {
                problems.push_back({fmt::format("{}: the size of this STRING is not known", p.tag)});
            }
            continue;
        }
        const uint16_t type = zelkc_logix_tag_atomic_type(e.value.type);
        zelkc_logix_tag_info info{};
        info.symbol_type = type;
        if (p.bit >= 0) {
            const uint8_t bits = zelkc_logix_tag_bit_size(type);
            if (type == ZELKC_LOGIX_TYPE_BOOL || type == ZELKC_LOGIX_TYPE_REAL ||
                type == ZELKC_LOGIX_TYPE_LREAL || bits == 0) {
                problems.push_back(
                    {fmt::format("{}: {} is not an integer ({})", p.tag, p.read, datatype_get_name(&info)),
                     true});
                continue;
            }
            if (p.bit >= bits) {
                problems.push_back({fmt::format("{}: {} has bits 0 to {}", p.tag, p.read, bits - 1), true});
                continue;
            }
            p.host_type = type;
            p.type = ZELKC_LOGIX_TYPE_BOOL;
            p.type_name = "BOOL";
            p.before = bit_text(e.value, p.bit);
        } else {
            p.type = type;
            p.type_name = std::string(datatype_get_name(&info));
            p.before = value2string(&e.value, type);
        }
    }
    return problems;
}

// The value as the application shows it after parsing (BOOL as true/false, a REAL as the REAL).
std::string shown(const Planned& p) {
    return p.is_string ? p.asked : value2string(&p.value, p.type);
}

// Reads back what was written; sets read_back and turns "written" into "differs" where the
// controller holds something else.
void read_back(const Connection& connection, std::vector<Planned>& plan) {
    std::vector<std::string> reads;
    std::vector<size_t> index;
    for (size_t i = 0; i < plan.size(); ++i) {
        if (plan[i].result == "written") {
            reads.push_back(plan[i].read);
            index.push_back(i);
        }
    }
    if (reads.empty()) {
        return;
    }
    std::vector<zelkc_logix_atomic_read> entries(reads.size());
    for (size_t k = 0; k < reads.size(); ++k) {
        entries[k].tag = reads[k].c_str();
    }
    std::vector<zelkc_logix_read_status> statuses(reads.size());
    const uint8_t rc = zelkc_logix_client_read_atomic_values_status(
        connection.client(), entries.data(), uint32_t(entries.size()), statuses.data());
    for (size_t k = 0; k < reads.size(); ++k) {
        Planned& p = plan[index[k]];
        if (rc != ZELKC_LOGIX_OK) {
            p.result = "unconfirmed";
            p.reason = "written, but it could not be read back: " + connection.reason(rc);
            continue;
        }
        bool same = false;
        if (p.is_string) {
            const std::vector<TagValue> text = read_tags(connection, {p.read});
            if (!text[0].ok) {
                p.result = "unconfirmed";
                p.reason = "written, but it could not be read back: " + text[0].reason;
                continue;
            }
            p.read_back = text[0].text;
            same = p.read_back == p.asked;
        } else if (entries[k].result != ZELKC_LOGIX_OK) {
            p.result = "unconfirmed";
            p.reason = "written, but it could not be read back: " + reason_of(entries[k].result, statuses[k]);
            continue;
        } else if (p.bit >= 0) {
            p.read_back = bit_text(entries[k].value, p.bit);
            same = ((entries[k].value.value.u64 >> p.bit) & 1) == p.value.value.u8;
        } else {
            p.read_back = value2string(&entries[k].value, p.type);
            if (p.type == ZELKC_LOGIX_TYPE_BOOL) {
                same = (entries[k].value.value.u8 != 0) == (p.value.value.u8 != 0);
            } else {
                const uint32_t width = zelkc_logix_tag_bit_size(p.type) / 8;
                same = width != 0 && std::memcmp(entries[k].value.value.raw, p.value.value.raw, width) == 0;
            }
        }
        if (!same) {
            p.result = "differs";
            p.reason = fmt::format("written, but the controller now holds {}", p.read_back);
        }
    }
}

bool ask(const std::string& question) {
    std::cerr << question << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) {
        return false;
    }
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES" || answer == "Yes";
}

} // namespace

int run_write(const CommonOptions& common, const std::vector<std::string>& assignments,
              const WriteOptions& options) {
    std::vector<Planned> plan;
    for (const std::string& a : assignments) {
        const size_t eq = a.find('=');
        if (eq == std::string::npos || eq == 0) {
            std::cerr << "orvane-cli: '" << a << "' is not TAG=VALUE\n";
            return kExitUsage;
        }
        Planned p;
        p.tag = a.substr(0, eq);
        p.asked = a.substr(eq + 1);
        std::string host;
        p.bit = bit_of(p.tag, &host);
        p.read = p.bit >= 0 ? host : p.tag;
        for (const Planned& q : plan) {
            if (strcasecmp(q.tag.c_str(), p.tag.c_str()) == 0) {
                std::cerr << "orvane-cli: " << p.tag << " is given twice\n";
                return kExitUsage;
            }
        }
        plan.push_back(std::move(p));
    }
    if (!options.yes && !options.dry_run && !platform::streamIsTerminal(0)) {
        std::cerr
            << "orvane-cli: nothing written: confirm with --yes when standard input is not a terminal\n";
        return kExitUsage;
    }

    Connection connection(common.address, common.timeout_ms);
    const std::vector<Problem> problems = learn(connection, plan);
    bool refused = false;
    for (const Problem& problem : problems) {
        std::cerr << "orvane-cli: " << problem.text << "\n";
        refused = refused || !problem.usage;
    }
    if (!problems.empty()) {
        std::cerr << "orvane-cli: nothing written\n";
        return refused ? kExitTagsFailed : kExitUsage;
    }
    bool bad_value = false;
    for (Planned& p : plan) {
        if (p.is_string) {
            if (p.asked.size() > p.capacity) {
                std::cerr << fmt::format("orvane-cli: {}: a text of {} characters does not fit (this STRING "
                                         "holds {})\n",
                                         p.tag, p.asked.size(), p.capacity);
                bad_value = true;
            }
            continue;
        }
        char note[160];
        if (zelkc_logix_value_parse(p.type, p.asked.c_str(), &p.value, note, sizeof note) != ZELKC_LOGIX_OK) {
            std::cerr << "orvane-cli: " << p.tag << ": " << note << "\n";
            bad_value = true;
        } else {
            p.note = note;
        }
    }
    if (bad_value) {
        std::cerr << "orvane-cli: nothing written\n";
        return kExitUsage;
    }

    size_t width = 0;
    for (const Planned& p : plan) {
        width = std::max(width, p.tag.size());
    }
    std::string planText;
    for (const Planned& p : plan) {
        // Device text (a STRING's value, the product name) never reaches the terminal raw.
        planText += fmt::format("{:<{}}  {} -> {}\n", terminal_safe(p.tag), width, terminal_safe(p.before),
                                terminal_safe(shown(p)));
        if (!p.note.empty()) {
            std::cerr << "orvane-cli: " << p.tag << ": " << p.note << "\n";
        }
    }
    const char* product = zelkc_logix_client_plc_type(connection.client());
    const std::string where = fmt::format(
        "{} at {}", product != nullptr ? terminal_safe(product) : "the controller", common.address.text());
    if (options.dry_run) {
        std::cout << planText << std::flush;
        std::cerr << "orvane-cli: dry run: nothing written to " << where << "\n";
        return kExitOk;
    }
    if (!options.yes) {
        std::cerr << planText;
        if (!ask(fmt::format("Write {} to {}?", plan.size() == 1 ? "this value" : "these values", where))) {
            std::cerr << "orvane-cli: nothing written\n";
            return kExitUsage;
        }
    }

    std::vector<zelkc_logix_atomic_write> entries(plan.size());
    for (size_t i = 0; i < plan.size(); ++i) {
        const Planned& p = plan[i];
        zelkc_logix_atomic_write& e = entries[i];
        e.tag = p.tag.c_str();
        if (p.is_string) {
            e.value.type = ZELKC_LOGIX_STRUCT_MARKER;
            e.text = p.asked.data();
            e.text_length = uint32_t(p.asked.size());
            e.capacity = p.capacity;
        } else {
            e.value = p.value;
            e.host_type = p.host_type;
        }
    }
    const uint8_t rc =
        zelkc_logix_client_write_values(connection.client(), entries.data(), uint32_t(entries.size()));
    bool lost = false;
    for (size_t i = 0; i < plan.size(); ++i) {
        Planned& p = plan[i];
        p.status = entries[i].status;
        if (entries[i].result == ZELKC_LOGIX_OK) {
            p.result = "written";
        } else if (entries[i].result == ZELKC_LOGIX_ERR_DEVICE) {
            p.result = "refused";
            p.reason = reason_of(entries[i].result, entries[i].status);
        } else {
            p.result = "failed";
            p.reason = connection.reason(entries[i].result);
            lost = lost || is_connection_failure(entries[i].result);
        }
    }
    if (rc == ZELKC_LOGIX_OK) {
        try {
            read_back(connection, plan);
        } catch (const std::exception& e) {
            for (Planned& p : plan) {
                if (p.result == "written") {
                    p.result = "unconfirmed";
                    p.reason = std::string("written, but it could not be read back: ") + e.what();
                }
            }
            lost = true;
        }
    }

    // Every attempt is on disk before its outcome is shown.
    const zelkc_cip_identity& id = connection.client()->identity;
    for (const Planned& p : plan) {
        WriteRecordEntry r;
        r.source = "orvane-cli";
        r.address = common.address.text();
        r.identity = controllerKey(id.vendor_id, id.product_code, id.serial_number);
        r.productName = product != nullptr ? product : "";
        r.tag = p.tag;
        r.type = p.type_name;
        r.before = p.before;
        r.asked = shown(p);
        r.result = p.result;
        r.reason = p.reason;
        r.generalStatus = p.status.general_status;
        r.extendedStatus = p.status.extended_status;
        r.readBack = p.read_back;
        const std::string problem = appendWriteRecord(r);
        if (!problem.empty()) {
            std::cerr << "orvane-cli: the write record: " << problem << "\n";
        }
    }

    bool all_good = true;
    if (options.json) {
        nlohmann::ordered_json out = nlohmann::ordered_json::array();
        for (const Planned& p : plan) {
            nlohmann::ordered_json j;
            j["tag"] = p.tag;
            j["type"] = p.type_name;
            j["before"] = p.before;
            j["asked"] = shown(p);
            j["result"] = p.result;
            j["read_back"] = p.read_back;
            if (!p.reason.empty()) {
                j["reason"] = p.reason;
            }
            if (p.status.general_status != 0) {
                j["status"] =
                    fmt::format("0x{:02X}/0x{:04X}", p.status.general_status, p.status.extended_status);
            }
            out.push_back(std::move(j));
        }
        std::cout << out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    }
    for (const Planned& p : plan) {
        all_good = all_good && p.result == "written";
        if (!options.json) {
            std::cout << fmt::format("{:<{}}  {}", terminal_safe(p.tag), width, p.result)
                      << (p.read_back.empty() ? "" : "  " + terminal_safe(p.read_back)) << "\n";
        }
        if (!p.reason.empty()) {
            std::cerr << "orvane-cli: " << terminal_safe(p.tag) << ": " << terminal_safe(p.reason) << "\n";
        }
    }
    std::cout << std::flush;
    if (lost) {
        return kExitConnection;
    }
    return all_good ? kExitOk : kExitTagsFailed;
}

} // namespace cli
