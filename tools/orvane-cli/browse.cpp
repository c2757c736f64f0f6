// The browse command: the tag database as a tree of full paths, filtered by the application's
// search rule, printed as aligned text or as one JSON document.
#include <fmt/format.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "TagFilter.h"
#include "ValueText.h"
#include "cli.h"

namespace cli {

namespace {

constexpr uint16_t kArrayRankBits = 0x6000;

struct Node {
    std::string name;
    std::string path;
    std::string type; // element type name for an array
    std::vector<uint32_t> dims;
    std::vector<Node> children;
    bool elements = false; // children are array elements rather than structure members
};

struct Scope {
    std::string program; // empty for the controller scope
    std::vector<Node> tags;
};

// A progress line on stderr, only when stderr is a terminal: the scope being browsed, its symbol
// pages so far and the tags listed so far (earlier scopes included), redrawn after every page.
class Progress {
public:
    explicit Progress(const Connection& connection) : connection_(connection), on_(isatty(2) == 1) {
        if (on_) {
            zelkc_logix_client_set_browse_progress(connection_.client(), &Progress::page, this);
        }
    }
    void show(const std::string& scope, size_t tags) {
        scope_ = scope;
        before_ = tags;
        page(this, 0, 0);
    }
    ~Progress() {
        if (on_) {
            zelkc_logix_client_set_browse_progress(connection_.client(), nullptr, nullptr);
            fmt::print(stderr, "\r\x1b[K");
        }
    }

private:
    static void page(void* context, uint32_t pages, uint32_t tags) {
        auto* self = static_cast<Progress*>(context);
        if (self->on_) {
            fmt::print(stderr, "\r\x1b[Kbrowsing {}: {} symbol pages, {} tags so far", self->scope_, pages,
                       self->before_ + tags);
        }
    }

    const Connection& connection_;
    bool on_;
    std::string scope_;
    size_t before_ = 0;
};

std::string dims_text(const std::vector<uint32_t>& dims) {
    return dims.empty() ? std::string() : fmt::format("[{}]", fmt::join(dims, ","));
}

Node make_node(const zelkc_logix_tag_info& info, const std::string& path, bool member, bool with_elements);

// Each member of a structure below `parent_path`.
std::vector<Node> member_nodes(const zelkc_logix_tag_info& info, const std::string& parent_path,
                               bool with_elements) {
    std::vector<Node> members;
    for (uint32_t i = 0; i < info.child_count; ++i) {
        const zelkc_logix_tag_info& child = info.children[i];
        members.push_back(make_node(child, parent_path + "." + child.name, true, with_elements));
    }
    return members;
}

Node make_node(const zelkc_logix_tag_info& info, const std::string& path, bool member, bool with_elements) {
    Node node;
    node.name = info.name != nullptr ? info.name : "";
    node.path = path;
    zelkc_logix_tag_info element = info;
    element.symbol_type = uint16_t(info.symbol_type & ~kArrayRankBits);
    node.type = std::string(datatype_get_name(&element));
    const uint32_t rank = member ? (zelkc_logix_tag_array_rank(info.symbol_type) != 0 ? 1 : 0)
                                 : zelkc_logix_tag_array_rank(info.symbol_type);
    for (uint32_t d = 0; d < rank && d < 3; ++d) {
        node.dims.push_back(info.dims[d]);
    }
    // A STRING is shown as one value, not as its LEN and DATA members.
    const bool structure = info.children != nullptr && node.type != "STRING";
    if (node.dims.empty()) {
        if (structure) {
            node.children = member_nodes(info, path, with_elements);
        }
        return node;
    }
    if (!with_elements) {
        return node;
    }
    node.elements = true;
    uint64_t total = 1;
    for (uint32_t d : node.dims) {
        total *= d;
    }
    std::vector<uint32_t> index(node.dims.size(), 0);
    for (uint64_t n = 0; n < total; ++n) {
        Node e;
        e.name = fmt::format("[{}]", fmt::join(index, ","));
        e.path = path + e.name;
        e.type = node.type;
        if (structure) {
            e.children = member_nodes(info, e.path, with_elements);
        }
        node.children.push_back(std::move(e));
        for (size_t d = index.size(); d-- > 0;) { // row-major: the last index counts fastest
            if (++index[d] < node.dims[d]) {
                break;
            }
            index[d] = 0;
        }
    }
    return node;
}

// Keeps a node when it matches or any descendant does, so the tree above every match holds.
bool keep_matching(Node& node, const std::string& text) {
    bool descendant = false;
    std::vector<Node> kept;
    for (Node& child : node.children) {
        if (keep_matching(child, text)) {
            kept.push_back(std::move(child));
            descendant = true;
        }
    }
    node.children = std::move(kept);
    return descendant || tagTextMatches(text, node.name, node.path);
}

void filter_tags(std::vector<Node>& tags, const std::string& text) {
    std::vector<Node> kept;
    for (Node& tag : tags) {
        if (keep_matching(tag, text)) {
            kept.push_back(std::move(tag));
        }
    }
    tags = std::move(kept);
}

nlohmann::ordered_json node_json(const Node& node) {
    nlohmann::ordered_json j = {
        {"name", node.name}, {"path", node.path}, {"type", node.type}, {"dims", node.dims}};
    if (!node.children.empty()) {
        nlohmann::ordered_json children = nlohmann::ordered_json::array();
        for (const Node& child : node.children) {
            children.push_back(node_json(child));
        }
        j[node.elements ? "elements" : "members"] = std::move(children);
    }
    return j;
}

void collect_lines(const Node& node, std::vector<std::pair<std::string, std::string>>* lines) {
    lines->emplace_back(node.path, node.type + dims_text(node.dims));
    for (const Node& child : node.children) {
        collect_lines(child, lines);
    }
}

// The tags of one scope, browsed and expanded, programs left out.
std::vector<Node> browse_scope(const Connection& connection, const std::string& program, bool with_elements,
                               std::vector<std::string>* programs) {
    zelkc_logix_tag_info_list list{};
    const uint8_t rc =
        program.empty() ? zelkc_logix_client_browse_global_tags(connection.client(), &list)
                        : zelkc_logix_client_browse_program_tags(connection.client(), &list, program.c_str());
    if (rc == ZELKC_LOGIX_ERR_DEVICE && !program.empty()) {
        throw NotFoundError(fmt::format("program {}: the controller has no such program", program));
    }
    const zelkc_cip_refusal* why = zelkc_logix_client_refusal(connection.client());
    if (rc == ZELKC_LOGIX_ERR_DEVICE && why != nullptr && why->encapsulation_status == 0 &&
        (why->general_status == 0x05 || why->general_status == 0x08 || why->general_status == 0x16)) {
        // A device without the Symbol object (or its list service) cannot be browsed, though its
        // tags may still read by name.
        const std::string extended = why->extended_status != 0 ? fmt::format("/0x{:04X}", why->extended_status) : "";
        connection.refused("browsing the controller tags",
                           fmt::format("the device has no Symbol object to list its tags (CIP 0x{:02X}{} {})",
                                       why->general_status, extended,
                                       zelkc_logix_cip_status_name(why->general_status)));
    }
    if (rc != ZELKC_LOGIX_OK) {
        connection.fail(program.empty() ? "browsing the controller tags" : "browsing program " + program, rc);
    }
    const std::string prefix = program.empty() ? std::string() : "Program:" + program + ".";
    std::vector<Node> tags;
    for (uint32_t i = 0; i < list.count; ++i) {
        const zelkc_logix_tag_info& info = list.items[i];
        if (zelkc_logix_tag_is_program(info.symbol_type)) {
            if (programs != nullptr && info.name != nullptr) {
                programs->push_back(info.name);
            }
            continue;
        }
        tags.push_back(
            make_node(info, prefix + (info.name != nullptr ? info.name : ""), false, with_elements));
    }
    zelkc_logix_tag_info_list_free(&list);
    return tags;
}

} // namespace

int run_browse(const CommonOptions& common, const BrowseOptions& options) {
    Connection connection(common.address, common.timeout_ms);
    std::vector<Scope> scopes;
    {
        Progress progress(connection);
        size_t total = 0;
        if (!options.program.empty()) {
            progress.show("Program:" + options.program, total);
            scopes.push_back(
                {options.program, browse_scope(connection, options.program, options.elements, nullptr)});
        } else {
            std::vector<std::string> programs;
            progress.show("controller tags", total);
            scopes.push_back({"", browse_scope(connection, "", options.elements, &programs)});
            total += scopes.back().tags.size();
            for (const std::string& program : options.all ? programs : std::vector<std::string>{}) {
                progress.show("Program:" + program, total);
                scopes.push_back({program, browse_scope(connection, program, options.elements, nullptr)});
                total += scopes.back().tags.size();
            }
        }
    }
    for (Scope& scope : scopes) {
        filter_tags(scope.tags, options.filter);
    }
    if (options.json) {
        nlohmann::ordered_json doc = {
            {"controller", zelkc_logix_client_plc_type(connection.client()) != nullptr
                               ? zelkc_logix_client_plc_type(connection.client())
                               : ""},
            {"tags", nlohmann::ordered_json::array()},
            {"programs", nlohmann::ordered_json::array()}};
        for (const Scope& scope : scopes) {
            nlohmann::ordered_json tags = nlohmann::ordered_json::array();
            for (const Node& tag : scope.tags) {
                tags.push_back(node_json(tag));
            }
            if (scope.program.empty()) {
                doc["tags"] = std::move(tags);
            } else {
                doc["programs"].push_back({{"name", scope.program}, {"tags", std::move(tags)}});
            }
        }
        fmt::print("{}\n", doc.dump(2));
        return kExitOk;
    }
    std::vector<std::pair<std::string, std::string>> lines;
    for (const Scope& scope : scopes) {
        for (const Node& tag : scope.tags) {
            collect_lines(tag, &lines);
        }
    }
    size_t width = 0;
    for (const auto& line : lines) {
        width = std::max(width, line.first.size());
    }
    std::string out;
    for (const auto& [path, type] : lines) {
        out += fmt::format("{:<{}}  {}\n", path, width, type);
    }
    fmt::print("{}", out);
    return kExitOk;
}

} // namespace cli
