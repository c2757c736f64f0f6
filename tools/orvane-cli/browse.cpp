// The browse command: the tag database as a tree of full paths, filtered by the application's
// search rule, written as aligned text or as one JSON document. The rows are written straight from
// the library's browse results, tag by tag through one buffer, without building the document.
#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <string_view>
#include <system_error>

#include "Platform.h"
#include "TagFilter.h"
#include "ValueText.h"
#include "cli.h"
#include "terminal_text.h"

namespace cli {

namespace {

constexpr uint16_t kArrayRankBits = 0x6000;

// One scope's browse result (the library's list, released with the scope).
struct Scope {
    std::string program; // empty for the controller scope
    std::unique_ptr<zelkc_logix_tag_info_list, void (*)(zelkc_logix_tag_info_list*)> list{
        nullptr, [](zelkc_logix_tag_info_list* l) {
            zelkc_logix_tag_info_list_free(l);
            delete l;
        }};
};

// A progress line on stderr, only when stderr is a terminal: the scope being browsed, its symbol
// pages so far and the tags listed so far (earlier scopes included), redrawn after every page.
class Progress {
public:
    explicit Progress(const Connection& connection)
        : connection_(connection), on_(platform::streamIsTerminal(2)) {
        if (on_) {
            zelkc_logix_client_set_browse_progress(connection_.client(), &Progress::page, this);
        }
    }
    // No line per page any more (the pages then come from several threads), only show()'s.
    void pages_off() {
        if (on_) {
            zelkc_logix_client_set_browse_progress(connection_.client(), nullptr, nullptr);
        }
    }
    void show(const std::string& scope, size_t tags) {
        scope_ = scope;
        before_ = tags;
        page(this, 0, 0);
    }
    // Clears the line before rows go out (standard output may be the same terminal).
    void hide() {
        if (on_) {
            fmt::print(stderr, "\r\x1b[K");
        }
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
            fmt::print(stderr, "\r\x1b[Kbrowsing {}: {} symbol pages, {} tags so far",
                       terminal_safe(self->scope_), pages, self->before_ + tags);
        }
    }

    const Connection& connection_;
    bool on_;
    std::string scope_;
    size_t before_ = 0;
};

// Standard output through one buffer. What is put may be taken back (rewind) until commit(),
// which writes the buffer out once it holds 64 KiB or more; finish() writes the rest. Never flushed
// row by row. A failed write throws std::system_error.
class Output {
public:
    Output() { buffer_.reserve(kChunk + 4096); }
    void put(std::string_view text) { buffer_.append(text); }
    void put(char c) { buffer_.push_back(c); }
    void spaces(size_t n) { buffer_.append(n, ' '); }
    void put_json_string(std::string_view text) { append_json_string(buffer_, text); }
    size_t mark() const { return buffer_.size(); }
    void rewind(size_t mark) { buffer_.resize(mark); }
    void commit() {
        if (buffer_.size() >= kChunk) {
            drain();
        }
    }
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

// A tag, member or element as it is written: its name, its full path (the first path_size bytes of
// *path, which grows and shrinks as the walk goes down and up), its type name (the element type
// of an array), its dimensions, whether its children are array elements, and the column where its
// JSON object starts.
struct Row {
    std::string_view name;
    const std::string* path;
    size_t path_size;
    std::string_view type;
    const uint32_t* dims;
    uint32_t rank;
    bool elements;
    size_t indent;
    std::string_view path_text() const { return std::string_view(*path).substr(0, path_size); }
};

// What a walk writes to. A row is begun before its children and ended after them; a child is
// announced before it begins (`kept` children of the parent so far). What was written since a mark
// can be taken back, so that rows the filter drops leave nothing behind.
class Sink {
public:
    virtual ~Sink() = default;
    virtual size_t mark() const = 0;
    virtual void rewind(size_t mark) = 0;
    virtual void begin(const Row& row) = 0;
    virtual void child(const Row& parent, size_t kept) = 0;
    virtual void end(const Row& row, size_t kept) = 0;
};

// Walks a tag as the tree shows it: structures through their members (a STRING stays one value),
// arrays through their elements when asked, row-major. A row is kept when it matches the filter
// or something below it does; below a kept row only kept rows remain.
class Walk {
public:
    // With `report`, a tag too large to list with its elements is named on standard error.
    Walk(Sink& sink, bool with_elements, std::string_view filter, bool report = false)
        : sink_(sink), with_elements_(with_elements), filter_(filter), report_(report) {}

    // `info` at *path (which ends in `name`); a member has at most one dimension. True when kept.
    // A tag whose elements would make more than kMaxElementRows rows (the device's dimensions are
    // not trusted: 4,294,967,295 is a valid claim) is listed without its elements.
    bool node(const zelkc_logix_tag_info& info, std::string& path, std::string_view name, bool member,
              size_t indent) {
        if (!member && with_elements_) {
            const uint64_t rows = rows_of(info, false);
            if (rows > kMaxElementRows) {
                if (report_) {
                    fmt::print(stderr,
                               "orvane-cli: {}: {} rows with its elements, too many to list (at most {} a "
                               "tag); listed without them\n",
                               terminal_safe(path), rows == UINT64_MAX ? "over 2^64" : std::to_string(rows),
                               kMaxElementRows);
                }
                with_elements_ = false;
                const bool kept = node(info, path, name, member, indent);
                with_elements_ = true;
                return kept;
            }
        }
        zelkc_logix_tag_info element = info;
        element.symbol_type = uint16_t(info.symbol_type & ~kArrayRankBits);
        const std::string_view type = datatype_get_name(&element);
        const uint32_t rank = rank_of(info, member);
        const bool structure = info.children != nullptr && type != "STRING";
        const Row row{name, &path, path.size(), type, info.dims, rank, rank != 0 && with_elements_, indent};
        const size_t at = sink_.mark();
        sink_.begin(row);
        size_t kept = 0;
        if (rank == 0 && structure) {
            kept = members(info, path, row);
        } else if (row.elements) {
            kept = elements(info, path, row, structure);
        }
        return finish(row, kept, at);
    }

    // The most rows one tag may open into with its elements listed.
    static constexpr uint64_t kMaxElementRows = 1000000;

private:
    static uint32_t rank_of(const zelkc_logix_tag_info& info, bool member) {
        const uint32_t rank = zelkc_logix_tag_array_rank(info.symbol_type);
        return std::min<uint32_t>(member ? (rank != 0 ? 1 : 0) : rank, 3);
    }
    static uint64_t saturating_add(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }
    static uint64_t saturating_mul(uint64_t a, uint64_t b) {
        uint64_t product = 0;
        return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
    }
    // The rows `info` opens into as this walk lists it (itself included), counted from the browse
    // records without making any; saturates instead of overflowing.
    uint64_t rows_of(const zelkc_logix_tag_info& info, bool member) const {
        zelkc_logix_tag_info element = info;
        element.symbol_type = uint16_t(info.symbol_type & ~kArrayRankBits);
        const bool structure = info.children != nullptr && datatype_get_name(&element) != "STRING";
        const uint32_t rank = rank_of(info, member);
        uint64_t each = 1; // an element's row (or the tag's own) and its members'
        for (uint32_t i = 0; structure && i < info.child_count; ++i) {
            each = saturating_add(each, rows_of(info.children[i], true));
        }
        if (rank == 0) {
            return structure ? each : 1;
        }
        if (!with_elements_) {
            return 1;
        }
        uint64_t total = 1;
        for (uint32_t d = 0; d < rank; ++d) {
            total = saturating_mul(total, info.dims[d]);
        }
        return saturating_add(1, saturating_mul(total, each));
    }

    bool finish(const Row& row, size_t kept, size_t at) {
        if (kept == 0 && !tagTextMatches(filter_, row.name, row.path_text())) {
            sink_.rewind(at);
            return false;
        }
        sink_.end(row, kept);
        return true;
    }

    // The members of `info` below `parent`; how many were kept.
    size_t members(const zelkc_logix_tag_info& info, std::string& path, const Row& parent) {
        const size_t base = path.size();
        size_t kept = 0;
        for (uint32_t i = 0; i < info.child_count; ++i) {
            const zelkc_logix_tag_info& child = info.children[i];
            const char* name = child.name != nullptr ? child.name : "";
            path.append(".").append(name);
            const size_t at = sink_.mark();
            sink_.child(parent, kept);
            if (node(child, path, name, true, parent.indent + 4)) {
                ++kept;
            } else {
                sink_.rewind(at);
            }
            path.resize(base);
        }
        return kept;
    }

    // The elements of the array `parent`, each with the members of `info` when it is a structure.
    size_t elements(const zelkc_logix_tag_info& info, std::string& path, const Row& parent, bool structure) {
        uint64_t total = 1;
        for (uint32_t d = 0; d < parent.rank; ++d) {
            total *= parent.dims[d];
        }
        const size_t base = path.size();
        std::vector<uint32_t> index(parent.rank, 0);
        std::string name;
        size_t kept = 0;
        for (uint64_t n = 0; n < total; ++n) {
            name = fmt::format("[{}]", fmt::join(index, ","));
            path.append(name);
            const size_t at = sink_.mark();
            sink_.child(parent, kept);
            const Row row{name, &path, path.size(), parent.type, nullptr, 0, false, parent.indent + 4};
            const size_t own = sink_.mark();
            sink_.begin(row);
            if (finish(row, structure ? members(info, path, row) : 0, own)) {
                ++kept;
            } else {
                sink_.rewind(at);
            }
            path.resize(base);
            for (size_t d = index.size(); d-- > 0;) { // row-major: the last index counts fastest
                if (++index[d] < parent.dims[d]) {
                    break;
                }
                index[d] = 0;
            }
        }
        return kept;
    }

    Sink& sink_;
    bool with_elements_;
    std::string_view filter_;
    bool report_;
};

// Every kept row of `scopes`, each tag of a scope after the one before, committing the output
// after each tag. `before(kept)` is called before each tag, `after(kept)` once at the end.
template <class Before, class After>
void walk_scope(Output* out, Walk& walk, const Scope& scope, size_t indent, Before before, After after) {
    const std::string prefix = scope.program.empty() ? std::string() : "Program:" + scope.program + ".";
    std::string path;
    size_t kept = 0;
    for (uint32_t i = 0; i < scope.list->count; ++i) {
        const zelkc_logix_tag_info& info = scope.list->items[i];
        if (zelkc_logix_tag_is_program(info.symbol_type)) {
            continue;
        }
        const char* name = info.name != nullptr ? info.name : "";
        path.assign(prefix).append(name);
        const size_t at = out != nullptr ? out->mark() : 0;
        before(kept);
        if (walk.node(info, path, name, false, indent + 2)) {
            ++kept;
        } else if (out != nullptr) {
            out->rewind(at);
        }
        if (out != nullptr) {
            out->commit();
        }
    }
    after(kept);
}

// The document nlohmann::ordered_json prints with dump(2): the controller's name, the controller
// tags, then each program with its tags; one tag object at a time.
class JsonSink : public Sink {
public:
    explicit JsonSink(Output& out) : out_(out) {}
    size_t mark() const override { return out_.mark(); }
    void rewind(size_t mark) override { out_.rewind(mark); }
    void begin(const Row& row) override {
        const size_t in = row.indent + 2;
        out_.put("{\n");
        out_.spaces(in);
        out_.put("\"name\": ");
        out_.put_json_string(row.name);
        out_.put(",\n");
        out_.spaces(in);
        out_.put("\"path\": ");
        out_.put_json_string(row.path_text());
        out_.put(",\n");
        out_.spaces(in);
        out_.put("\"type\": ");
        out_.put_json_string(row.type);
        out_.put(",\n");
        out_.spaces(in);
        out_.put("\"dims\": ");
        if (row.rank == 0) {
            out_.put("[]");
            return;
        }
        out_.put("[\n");
        for (uint32_t d = 0; d < row.rank; ++d) {
            out_.spaces(in + 2);
            out_.put(std::to_string(row.dims[d]));
            out_.put(d + 1 < row.rank ? ",\n" : "\n");
        }
        out_.spaces(in);
        out_.put(']');
    }
    void child(const Row& parent, size_t kept) override {
        out_.put(",\n");
        if (kept == 0) { // the first child opens the array of members or elements
            out_.spaces(parent.indent + 2);
            out_.put(parent.elements ? "\"elements\": [\n" : "\"members\": [\n");
        }
        out_.spaces(parent.indent + 4);
    }
    void end(const Row& row, size_t kept) override {
        if (kept != 0) {
            out_.put('\n');
            out_.spaces(row.indent + 2);
            out_.put(']');
        }
        out_.put('\n');
        out_.spaces(row.indent);
        out_.put('}');
    }

private:
    Output& out_;
};

// The JSON document written scope by scope as each is browsed: the controller's name and its
// tags, then each program with its tags (the layout nlohmann::ordered_json prints with dump(2)).
class JsonDocument {
public:
    JsonDocument(Output& out, const BrowseOptions& options)
        : out_(out), sink_(out), walk_(sink_, options.elements, options.filter, true) {}
    void begin(const char* controller) {
        out_.put("{\n  \"controller\": ");
        out_.put_json_string(controller != nullptr ? controller : "");
        out_.put(",\n  \"tags\": ");
    }
    // The controller tags; null for none (one program was asked for).
    void controller_tags(const Scope* scope) {
        if (scope != nullptr) {
            tags(*scope, 2);
        } else {
            out_.put("[]");
        }
        out_.put(",\n  \"programs\": ");
    }
    void program(const Scope& scope) {
        out_.put(programs_ == 0 ? "[\n    {\n      \"name\": " : ",\n    {\n      \"name\": ");
        ++programs_;
        out_.put_json_string(scope.program);
        out_.put(",\n      \"tags\": ");
        tags(scope, 6);
        out_.put("\n    }");
    }
    void end() {
        out_.put(programs_ == 0 ? "[]" : "\n  ]");
        out_.put("\n}\n");
    }

private:
    // A scope's tags as an array whose "[" stands at `indent`: "[]" when none is kept.
    void tags(const Scope& scope, size_t indent) {
        walk_scope(
            &out_, walk_, scope, indent,
            [&](size_t kept) {
                out_.put(kept == 0 ? "[\n" : ",\n");
                out_.spaces(indent + 2);
            },
            [&](size_t kept) {
                if (kept == 0) {
                    out_.put("[]");
                    return;
                }
                out_.put('\n');
                out_.spaces(indent);
                out_.put(']');
            });
    }
    Output& out_;
    JsonSink sink_;
    Walk walk_;
    size_t programs_ = 0;
};

// The widest path of the rows kept.
class WidthSink : public Sink {
public:
    size_t width = 0;
    size_t mark() const override { return 0; }
    void rewind(size_t) override {}
    void begin(const Row&) override {}
    void child(const Row&, size_t) override {}
    void end(const Row& row, size_t) override { width = std::max(width, row.path_size); }
};

// One line per row: the path left-aligned to the widest kept path, two spaces, the type with its
// dimensions.
class TextSink : public Sink {
public:
    TextSink(Output& out, size_t width) : out_(out), width_(width) {}
    size_t mark() const override { return out_.mark(); }
    void rewind(size_t mark) override { out_.rewind(mark); }
    void begin(const Row& row) override {
        const std::string_view path = row.path_text();
        if (std::all_of(path.begin(), path.end(), [](char c) { return c >= 0x20 && c < 0x7F; })) {
            out_.put(path);
            out_.spaces(width_ - std::min(width_, path.size())); // a row wider is one the filter drops
        } else {
            // Padded by display width, as fmt does; a device's control characters shown as escapes.
            out_.put(fmt::format("{:<{}}", terminal_safe(path), width_));
        }
        out_.put("  ");
        out_.put(terminal_safe(row.type));
        if (row.rank != 0) {
            out_.put(fmt::format("[{}]", fmt::join(row.dims, row.dims + row.rank, ",")));
        }
        out_.put('\n');
    }
    void child(const Row&, size_t) override {}
    void end(const Row&, size_t) override {}

private:
    Output& out_;
    size_t width_;
};

// One scope's rows, their paths aligned to the widest kept path of that scope.
void put_text(Output& out, const Scope& scope, const BrowseOptions& options) {
    WidthSink measure;
    Walk widths(measure, options.elements, options.filter);
    walk_scope(nullptr, widths, scope, 0, [](size_t) {}, [](size_t) {});
    TextSink sink(out, measure.width);
    Walk walk(sink, options.elements, options.filter, true);
    walk_scope(&out, walk, scope, 0, [](size_t) {}, [](size_t) {});
}

// The tags of one scope, browsed (over the connection's lanes when it has more than one); the
// programs it lists go to `programs` when asked.
Scope browse_scope(const Connection& connection, const std::string& program, std::vector<std::string>* programs,
                   size_t* tags) {
    Scope scope;
    scope.program = program;
    scope.list.reset(new zelkc_logix_tag_info_list{});
    zelkc_logix_tag_info_list& list = *scope.list;
    zelkc_logix_lanes* lanes = connection.lanes();
    uint8_t rc = ZELKC_LOGIX_OK;
    if (lanes != nullptr && lanes->count > 1) {
        rc = program.empty() ? zelkc_logix_lanes_browse_global_tags(lanes, &list)
                             : zelkc_logix_lanes_browse_program_tags(lanes, &list, program.c_str());
    } else {
        rc = program.empty() ? zelkc_logix_client_browse_global_tags(connection.client(), &list)
                             : zelkc_logix_client_browse_program_tags(connection.client(), &list, program.c_str());
    }
    if (rc == ZELKC_LOGIX_ERR_DEVICE && !program.empty()) {
        throw NotFoundError(fmt::format("program {}: the controller has no such program", program));
    }
    const zelkc_cip_refusal* why = zelkc_logix_client_refusal(connection.client());
    if (rc == ZELKC_LOGIX_ERR_DEVICE && why != nullptr && why->encapsulation_status == 0 &&
        (why->general_status == 0x05 || why->general_status == 0x08 || why->general_status == 0x16)) {
        // A device without the Symbol object (or its list service) cannot be browsed, though its
        // tags may still read by name.
        // 0x08: the object is there but does not list its instances.
        const std::string extended = why->extended_status != 0 ? fmt::format("/0x{:04X}", why->extended_status) : "";
        connection.refused("browsing the controller tags",
                           fmt::format("{} (CIP 0x{:02X}{} {})",
                                       why->general_status == 0x08
                                           ? "the device does not list its tags (its Symbol object does not "
                                             "support the list request)"
                                           : "the device has no Symbol object to list its tags",
                                       why->general_status, extended,
                                       zelkc_logix_cip_status_name(why->general_status)));
    }
    if (rc != ZELKC_LOGIX_OK) {
        connection.fail(program.empty() ? "browsing the controller tags" : "browsing program " + program, rc);
    }
    for (uint32_t i = 0; i < list.count; ++i) {
        const zelkc_logix_tag_info& info = list.items[i];
        if (!zelkc_logix_tag_is_program(info.symbol_type)) {
            ++*tags;
        } else if (programs != nullptr && info.name != nullptr) {
            programs->push_back(info.name);
        }
    }
    return scope;
}

// The programs browsed over the connection's lanes at once (those the controller granted), each
// lane taking the next program, its template cache shared from the first. `emit` gets every scope in the programs' order, on the calling thread, as soon as it
// and those before it are in; at most 2 x lanes scopes wait to be emitted. A program whose browse
// failed throws its failure when its turn to be emitted comes, as a browse one by one would.
void browse_programs(const Connection& first, const std::vector<std::string>& programs, size_t* total,
                     const std::function<void(const Scope&)>& emit) {
    // Each lane browses its programs alone, so each goes through a view without lanes.
    zelkc_logix_lanes* lanes = first.lanes();
    std::vector<std::unique_ptr<Connection>> views;
    for (uint32_t lane = 0; lane < lanes->count; ++lane) {
        if (zelkc_logix_client_share_templates(lanes->clients[lane], first.client()) != ZELKC_LOGIX_OK) {
            throw ConnectionError("out of memory");
        }
        views.push_back(std::make_unique<Connection>(first, lanes->clients[lane]));
    }
    struct Slot {
        bool done = false;
        Scope scope;
        size_t tags = 0;
        std::exception_ptr failure;
    };
    std::vector<Slot> slots(programs.size());
    std::mutex mu;
    std::condition_variable cv;
    size_t next = 0, emitted = 0;
    bool stop = false;
    const size_t ahead = 2 * size_t(lanes->count);
    const auto work = [&](const Connection& connection) {
        for (;;) {
            size_t i = 0;
            {
                std::unique_lock lock(mu);
                cv.wait(lock, [&] { return stop || next >= programs.size() || next < emitted + ahead; });
                if (stop || next >= programs.size()) {
                    return;
                }
                i = next++;
            }
            Slot slot;
            try {
                slot.scope = browse_scope(connection, programs[i], nullptr, &slot.tags);
            } catch (...) {
                slot.failure = std::current_exception();
            }
            std::lock_guard lock(mu);
            slot.done = true;
            const bool failed = slot.failure != nullptr;
            slots[i] = std::move(slot);
            cv.notify_all();
            if (failed) {
                return; // this lane's connection may be gone; the others go on until it is emitted
            }
        }
    };
    std::vector<std::thread> threads;
    for (size_t lane = 0; lane < views.size() && lane < programs.size(); ++lane) {
        threads.emplace_back([&, lane] { work(*views[lane]); });
    }
    std::exception_ptr failure;
    for (size_t i = 0; i < programs.size() && failure == nullptr; ++i) {
        Slot slot;
        {
            std::unique_lock lock(mu);
            cv.wait(lock, [&] { return slots[i].done; });
            slot = std::move(slots[i]);
            ++emitted;
            cv.notify_all();
        }
        if (slot.failure != nullptr) {
            failure = slot.failure;
            break;
        }
        *total += slot.tags;
        emit(slot.scope);
    }
    {
        std::lock_guard lock(mu);
        stop = true;
        cv.notify_all();
    }
    for (std::thread& t : threads) {
        t.join();
    }
    if (failure != nullptr) {
        std::rethrow_exception(failure);
    }
}

} // namespace

int run_browse(const CommonOptions& common, const BrowseOptions& options) {
    Connection connection(common.address, common.timeout_ms);
    if (options.lanes > 1 && options.program.empty()) {
        connection.open_lanes(common.address, common.timeout_ms, options.lanes);
    }
    // Each scope is written as soon as it is browsed and released before the next, so memory holds
    // one scope's tags however many programs the controller has. A browse that fails part-way has
    // then written the scopes before it (in chunks of 64 KiB); its exit status says it is incomplete.
    Output out;
    Progress progress(connection);
    JsonDocument json(out, options);
    if (options.json) {
        json.begin(zelkc_logix_client_plc_type(connection.client()));
    }
    size_t total = 0;
    const auto emit = [&](const Scope& scope) {
        progress.hide();
        if (!options.json) {
            put_text(out, scope, options);
        } else if (scope.program.empty()) {
            json.controller_tags(&scope);
        } else {
            json.program(scope);
        }
        out.commit();
    };
    if (!options.program.empty()) {
        progress.show("Program:" + options.program, total);
        const Scope scope = browse_scope(connection, options.program, nullptr, &total);
        if (options.json) {
            json.controller_tags(nullptr);
        }
        emit(scope);
    } else {
        std::vector<std::string> programs;
        progress.show("controller tags", total);
        emit(browse_scope(connection, "", &programs, &total));
        if (options.all && connection.lanes() != nullptr && connection.lanes()->count > 1 && programs.size() > 1) {
            progress.pages_off();
            browse_programs(connection, programs, &total,
                            [&](const Scope& scope) {
                                emit(scope);
                                progress.show("programs", total);
                            });
        } else if (options.all) {
            for (const std::string& program : programs) {
                progress.show("Program:" + program, total);
                emit(browse_scope(connection, program, nullptr, &total));
            }
        }
    }
    if (options.json) {
        json.end();
    }
    progress.hide();
    out.finish();
    return kExitOk;
}

} // namespace cli

namespace cli {

std::vector<std::string> leaf_tag_paths(const Connection& connection, const std::string& program) {
    std::vector<std::string> paths;
    size_t tags = 0;
    const Scope scope = browse_scope(connection, program, nullptr, &tags);
    std::string path;
    const auto walk = [&](const auto& self, const zelkc_logix_tag_info& info) -> void {
        if ((info.symbol_type & kArrayRankBits) != 0) {
            return; // arrays are named element by element, not matched as a whole
        }
        // A STRING is one value, not its LEN and DATA members.
        if (info.child_count == 0 || info.children == nullptr || zelkc_logix_tag_is_string(&info)) {
            paths.push_back(path);
            return;
        }
        const size_t keep = path.size();
        for (uint32_t i = 0; i < info.child_count; ++i) {
            path += '.';
            path += info.children[i].name != nullptr ? info.children[i].name : "";
            self(self, info.children[i]);
            path.resize(keep);
        }
    };
    const std::string prefix = program.empty() ? std::string() : "Program:" + program + ".";
    for (uint32_t i = 0; i < scope.list->count; ++i) {
        const zelkc_logix_tag_info& tag = scope.list->items[i];
        if (zelkc_logix_tag_is_program(tag.symbol_type)) {
            continue;
        }
        path = prefix + (tag.name != nullptr ? tag.name : "");
        walk(walk, tag);
    }
    return paths;
}

} // namespace cli
