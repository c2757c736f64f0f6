// The browse command: the tag database as a tree of full paths, filtered by the application's
// search rule, written as aligned text or as one JSON document, row by row through one buffer.
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string_view>
#include <system_error>

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

// Standard output through one buffer: bytes gather and are written out whenever 64 KiB or more
// are held, and at the end, never flushed row by row. A failed write throws std::system_error.
class Output {
public:
    Output() { buffer_.reserve(kChunk + 4096); }
    void put(std::string_view text) {
        buffer_.append(text);
        if (buffer_.size() >= kChunk) {
            drain();
        }
    }
    void put(char c) { buffer_.push_back(c); }
    void spaces(size_t n) { buffer_.append(n, ' '); }
    void finish() { drain(); }

private:
    static constexpr size_t kChunk = 64 * 1024;
    void drain() {
        if (!buffer_.empty() && std::fwrite(buffer_.data(), 1, buffer_.size(), stdout) != buffer_.size()) {
            throw std::system_error(errno, std::generic_category(), "cannot write the results");
        }
        buffer_.clear();
    }
    std::string buffer_;
};

// The JSON text of a string as nlohmann::json writes it: printable ASCII other than quote and
// backslash as it is, anything else through the library (escapes, and its refusal of invalid UTF-8).
void put_json_string(Output& out, const std::string& text) {
    const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
        return c >= 0x20 && c <= 0x7E && c != '"' && c != '\\';
    });
    if (plain) {
        out.put('"');
        out.put(text);
        out.put('"');
    } else {
        out.put(nlohmann::json(text).dump());
    }
}

void put_json_tag(Output& out, const Node& node, size_t indent);

// An array of tags whose "[" stands at `indent`, laid out as nlohmann::json's dump(2): one element a
// line, two more spaces in, "[]" when empty.
void put_json_tags(Output& out, const std::vector<Node>& tags, size_t indent) {
    if (tags.empty()) {
        out.put("[]");
        return;
    }
    out.put("[\n");
    for (size_t i = 0; i < tags.size(); ++i) {
        out.spaces(indent + 2);
        put_json_tag(out, tags[i], indent + 2);
        out.put(i + 1 < tags.size() ? ",\n" : "\n");
    }
    out.spaces(indent);
    out.put(']');
}

// One tag as an object: name, path, type, dims, then its elements or members.
void put_json_tag(Output& out, const Node& node, size_t indent) {
    const size_t in = indent + 2;
    out.put("{\n");
    for (const auto& [key, value] : {std::pair{"\"name\": ", &node.name}, std::pair{"\"path\": ", &node.path},
                                     std::pair{"\"type\": ", &node.type}}) {
        out.spaces(in);
        out.put(key);
        put_json_string(out, *value);
        out.put(",\n");
    }
    out.spaces(in);
    out.put("\"dims\": ");
    if (node.dims.empty()) {
        out.put("[]");
    } else {
        out.put("[\n");
        for (size_t i = 0; i < node.dims.size(); ++i) {
            out.spaces(in + 2);
            out.put(std::to_string(node.dims[i]));
            out.put(i + 1 < node.dims.size() ? ",\n" : "\n");
        }
        out.spaces(in);
        out.put(']');
    }
    if (!node.children.empty()) {
        out.put(",\n");
        out.spaces(in);
        out.put(node.elements ? "\"elements\": " : "\"members\": ");
        put_json_tags(out, node.children, in);
    }
    out.put('\n');
    out.spaces(indent);
    out.put('}');
}

// The document nlohmann::ordered_json would print with dump(2): the controller's name, the
// controller tags, then each program with its tags.
void put_json(Output& out, const char* controller, const std::vector<Scope>& scopes) {
    static const std::vector<Node> kNone;
    const std::vector<Node>* tags = &kNone;
    std::vector<const Scope*> programs;
    for (const Scope& scope : scopes) {
        if (scope.program.empty()) {
            tags = &scope.tags;
        } else {
            programs.push_back(&scope);
        }
    }
    out.put("{\n  \"controller\": ");
    put_json_string(out, controller != nullptr ? controller : "");
    out.put(",\n  \"tags\": ");
    put_json_tags(out, *tags, 2);
    out.put(",\n  \"programs\": ");
    if (programs.empty()) {
        out.put("[]");
    } else {
        out.put("[\n");
        for (size_t i = 0; i < programs.size(); ++i) {
            out.put("    {\n      \"name\": ");
            put_json_string(out, programs[i]->program);
            out.put(",\n      \"tags\": ");
            put_json_tags(out, programs[i]->tags, 6);
            out.put(i + 1 < programs.size() ? "\n    },\n" : "\n    }\n");
        }
        out.put("  ]");
    }
    out.put("\n}\n");
}

size_t path_width(const Node& node) {
    size_t width = node.path.size();
    for (const Node& child : node.children) {
        width = std::max(width, path_width(child));
    }
    return width;
}

// One line per tag, element and member, depth first: the path left-aligned to `width`, two spaces,
// the type with its dimensions.
void put_lines(Output& out, const Node& node, size_t width) {
    const bool ascii = std::all_of(node.path.begin(), node.path.end(), [](char c) { return c > 0 && c < 0x7F; });
    if (ascii) {
        out.put(node.path);
        out.spaces(width - node.path.size());
    } else {
        out.put(fmt::format("{:<{}}", node.path, width)); // padded by display width, as fmt does
    }
    out.put("  ");
    out.put(node.type);
    if (!node.dims.empty()) {
        out.put(dims_text(node.dims));
    }
    out.put('\n');
    for (const Node& child : node.children) {
        put_lines(out, child, width);
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
    Output out;
    if (options.json) {
        put_json(out, zelkc_logix_client_plc_type(connection.client()), scopes);
    } else {
        size_t width = 0;
        for (const Scope& scope : scopes) {
            for (const Node& tag : scope.tags) {
                width = std::max(width, path_width(tag));
            }
        }
        for (const Scope& scope : scopes) {
            for (const Node& tag : scope.tags) {
                put_lines(out, tag, width);
            }
        }
    }
    out.finish();
    return kExitOk;
}

} // namespace cli
