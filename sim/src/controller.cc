// Reading a controller description (JSON) into the simulator's model: identity, structure
// templates with controller-like layouts, tags with initial values and behaviours, symbols.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <numbers>
#include <set>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "bytes.h"
#include "model.h"

namespace logixsim {

namespace detail {
const char* demo_json_data();
std::size_t demo_json_size();

namespace {

using nlohmann::json;

struct AtomicInfo {
    uint8_t code;
    const char* name;
    uint32_t size;
};

constexpr AtomicInfo kAtomics[] = {
    {kBool, "BOOL", 1},   {kSint, "SINT", 1},   {kInt, "INT", 2},     {kDint, "DINT", 4},
    {kLint, "LINT", 8},   {kUsint, "USINT", 1}, {kUint, "UINT", 2},   {kUdint, "UDINT", 4},
    {kUlint, "ULINT", 8}, {kReal, "REAL", 4},   {kLreal, "LREAL", 8}, {kByte, "BYTE", 1},
    {kWord, "WORD", 2},   {kDword, "DWORD", 4}, {kLword, "LWORD", 8},
};

// Limits that keep a controller file within what the wire formats and memory allow.
constexpr uint32_t kMaxTagBytes = 16u * 1024 * 1024;
constexpr uint32_t kMaxMemberCount = 65535;
constexpr size_t kMaxNameLength = 40;

// A problem found in the description: the JSON path and what is wrong.
struct Problem {
    std::string path;
    std::string what;
};

[[noreturn]] void fail(const std::string& path, const std::string& what) {
    throw Problem{path, what};
}

uint32_t fnv1a(const std::string& text, uint32_t hash = 2166136261u) {
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 16777619u;
    }
    return hash;
}

std::string type_of(const json& j) {
    switch (j.type()) {
    case json::value_t::null:
        return "null";
    case json::value_t::object:
        return "an object";
    case json::value_t::array:
        return "an array";
    case json::value_t::string:
        return "a string";
    case json::value_t::boolean:
        return "a boolean";
    case json::value_t::binary:
        return "binary data";
    case json::value_t::discarded:
        return "nothing";
    default:
        return "a number";
    }
}

const json& need(const json& obj, const char* key, const std::string& path) {
    auto it = obj.find(key);
    if (it == obj.end())
        fail(path, std::string("missing \"") + key + "\"");
    return *it;
}

void expect_object(const json& j, const std::string& path, std::initializer_list<const char*> keys) {
    if (!j.is_object())
        fail(path, "expected an object, found " + type_of(j));
    for (auto it = j.begin(); it != j.end(); ++it) {
        bool known = false;
        for (const char* k : keys)
            known = known || it.key() == k;
        if (!known) {
            std::string list;
            for (const char* k : keys)
                list += std::string(list.empty() ? "" : ", ") + "\"" + k + "\"";
            fail(path + "." + it.key(), "unknown key (expected one of " + list + ")");
        }
    }
}

std::string get_string(const json& j, const std::string& path) {
    if (!j.is_string())
        fail(path, "expected a string, found " + type_of(j));
    return j.get<std::string>();
}

uint64_t get_unsigned(const json& j, const std::string& path, uint64_t max) {
    if (!j.is_number_integer())
        fail(path, "expected a whole number, found " + type_of(j));
    if (j.is_number_unsigned()) {
        uint64_t v = j.get<uint64_t>();
        if (v > max)
            fail(path, "value " + std::to_string(v) + " is out of range 0 to " + std::to_string(max));
        return v;
    }
    int64_t v = j.get<int64_t>();
    if (v < 0 || static_cast<uint64_t>(v) > max)
        fail(path, "value " + std::to_string(v) + " is out of range 0 to " + std::to_string(max));
    return static_cast<uint64_t>(v);
}

double get_number(const json& j, const std::string& path) {
    if (!j.is_number())
        fail(path, "expected a number, found " + type_of(j));
    return j.get<double>();
}

void check_name(const std::string& name, const std::string& path) {
    if (name.empty())
        fail(path, "empty name");
    if (name.size() > kMaxNameLength)
        fail(path, "name \"" + name + "\" is longer than 40 characters");
    bool ok = std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_';
    for (char c : name)
        ok = ok && (std::isalnum(static_cast<unsigned char>(c)) || c == '_');
    if (!ok)
        fail(path,
             "name \"" + name + "\" must start with a letter or '_' and hold only letters, digits and '_'");
}

// Writes integer bits of `width` bytes little-endian.
void store_le(uint8_t* p, uint64_t bits, uint32_t width) {
    for (uint32_t i = 0; i < width; ++i)
        p[i] = static_cast<uint8_t>(bits >> (8 * i));
}

bool is_signed(uint8_t code) {
    return code == kSint || code == kInt || code == kDint || code == kLint;
}
bool is_float(uint8_t code) {
    return code == kReal || code == kLreal;
}

class Builder {
public:
    explicit Builder(Controller& c) : c_(c) {}

    void run(const json& root) {
        expect_object(root, "$", {"name", "identity", "types", "tags", "programs"});
        if (auto it = root.find("name"); it != root.end()) {
            c_.name = get_string(*it, "$.name");
            check_name(c_.name, "$.name");
        }
        if (auto it = root.find("identity"); it != root.end())
            identity(*it, "$.identity");
        add_string_template();
        if (auto it = root.find("types"); it != root.end())
            types(*it, "$.types");
        if (auto it = root.find("tags"); it != root.end())
            tags(*it, "$.tags", c_.controller);
        if (auto it = root.find("programs"); it != root.end())
            programs(*it, "$.programs");
        symbols();
    }

private:
    struct PendingType {
        const json* j;
        std::string path;
        Template* tmpl;
        int state = 0; // 0 declared, 1 laying out, 2 done
    };

    Controller& c_;
    std::map<std::string, PendingType> pending_; // by upper-case name
    uint32_t next_instance_ = 0;

    void identity(const json& j, const std::string& path) {
        expect_object(j, path,
                      {"vendor_id", "device_type", "product_code", "revision", "status", "serial_number",
                       "product_name"});
        Identity& id = c_.identity;
        if (j.contains("vendor_id"))
            id.vendor_id = static_cast<uint16_t>(get_unsigned(j["vendor_id"], path + ".vendor_id", 0xFFFF));
        if (j.contains("device_type"))
            id.device_type =
                static_cast<uint16_t>(get_unsigned(j["device_type"], path + ".device_type", 0xFFFF));
        if (j.contains("product_code"))
            id.product_code =
                static_cast<uint16_t>(get_unsigned(j["product_code"], path + ".product_code", 0xFFFF));
        if (j.contains("status"))
            id.status = static_cast<uint16_t>(get_unsigned(j["status"], path + ".status", 0xFFFF));
        if (j.contains("serial_number"))
            id.serial_number =
                static_cast<uint32_t>(get_unsigned(j["serial_number"], path + ".serial_number", 0xFFFFFFFFu));
        if (j.contains("revision")) {
            const json& r = j["revision"];
            std::string rp = path + ".revision";
            expect_object(r, rp, {"major", "minor"});
            id.revision_major = static_cast<uint8_t>(get_unsigned(need(r, "major", rp), rp + ".major", 255));
            id.revision_minor = static_cast<uint8_t>(get_unsigned(need(r, "minor", rp), rp + ".minor", 255));
        }
        if (j.contains("product_name")) {
            id.product_name = get_string(j["product_name"], path + ".product_name");
            if (id.product_name.size() > 255)
                fail(path + ".product_name", "longer than 255 characters");
        }
    }

    void add_string_template() {
        Template& t = c_.templates.emplace_back();
        t.name = "STRING";
        t.id = kStringTemplateId;
        t.handle = kStringTemplateId;
        Member len;
        len.name = "LEN";
        len.type.atomic = kDint;
        Member data;
        data.name = "DATA";
        data.type.atomic = kSint;
        data.count = kStringChars;
        data.offset = 4;
        t.members = {len, data};
        t.size = 88;
        t.align = 4;
        finish_definition(t);
        c_.templates_by_id[t.id] = &t;
    }

    void types(const json& j, const std::string& path) {
        if (!j.is_array())
            fail(path, "expected an array of types, found " + type_of(j));
        uint16_t next_id = 0x0100;
        for (size_t i = 0; i < j.size(); ++i) {
            std::string p = path + "[" + std::to_string(i) + "]";
            expect_object(j[i], p, {"name", "members"});
            std::string name = get_string(need(j[i], "name", p), p + ".name");
            check_name(name, p + ".name");
            std::string key = upper(name);
            if (atomic_by_name(key) || key == "STRING")
                fail(p + ".name", "\"" + name + "\" is a built-in type name");
            if (pending_.count(key))
                fail(p + ".name", "type \"" + name + "\" is declared twice");
            if (next_id == kStringTemplateId)
                ++next_id;
            if (next_id > 0x0FFF)
                fail(p, "too many types (template ids run out)");
            Template& t = c_.templates.emplace_back();
            t.name = name;
            t.id = next_id++;
            pending_[key] = PendingType{&j[i], p, &t};
        }
        for (auto& [key, pt] : pending_)
            layout(pt);
        for (auto& [key, pt] : pending_)
            c_.templates_by_id[pt.tmpl->id] = pt.tmpl;
    }

    DataType find_type(const std::string& name, const std::string& path) {
        DataType t;
        std::string key = upper(name);
        if (auto a = atomic_by_name(key)) {
            t.atomic = *a;
            return t;
        }
        if (key == "STRING") {
            t.tmpl = &c_.templates.front();
            return t;
        }
        auto it = pending_.find(key);
        if (it == pending_.end())
            fail(path, "unknown type \"" + name + "\"");
        layout(it->second);
        t.tmpl = it->second.tmpl;
        return t;
    }

    // Lays out a user type as a controller does: members at their natural alignment, arrays and
    // structures on 4 (8 with 64-bit content), BOOLs packed into hidden SINT host bytes.
    void layout(PendingType& pt) {
        if (pt.state == 2)
            return;
        if (pt.state == 1)
            fail(pt.path, "type \"" + pt.tmpl->name + "\" contains itself");
        pt.state = 1;
        Template& t = *pt.tmpl;
        const json& members = need(*pt.j, "members", pt.path);
        std::string mp = pt.path + ".members";
        if (!members.is_array() || members.empty())
            fail(mp, "expected a non-empty array of members");
        uint32_t offset = 0;
        uint32_t align = 4;
        int host = -1; // index of the host byte in use
        int host_bits = 8;
        int hosts = 0;
        std::set<std::string> names;
        for (size_t i = 0; i < members.size(); ++i) {
            std::string p = mp + "[" + std::to_string(i) + "]";
            const json& m = members[i];
            expect_object(m, p, {"name", "type", "dim"});
            Member mem;
            mem.name = get_string(need(m, "name", p), p + ".name");
            check_name(mem.name, p + ".name");
            if (!names.insert(upper(mem.name)).second)
                fail(p + ".name", "member \"" + mem.name + "\" is declared twice");
            mem.type = find_type(get_string(need(m, "type", p), p + ".type"), p + ".type");
            if (m.contains("dim")) {
                mem.count = static_cast<uint32_t>(get_unsigned(m["dim"], p + ".dim", 65535));
                if (mem.count == 0)
                    fail(p + ".dim", "an array member needs at least one element");
                if (mem.type.atomic == kBool)
                    fail(p + ".dim", "BOOL array members are not supported");
            }
            if (mem.type.atomic == kBool) {
                if (host < 0 || host_bits >= 8 || t.members.back().bit < 0) {
                    Member h;
                    h.name = "ZZZZZZZZZZ" + t.name + std::to_string(hosts++);
                    h.type.atomic = kSint;
                    h.offset = offset;
                    h.hidden = true;
                    offset += 1;
                    host = static_cast<int>(t.members.size());
                    host_bits = 0;
                    t.members.push_back(h);
                }
                mem.offset = t.members[static_cast<size_t>(host)].offset;
                mem.bit = host_bits++;
            } else {
                uint32_t a = mem.type.is_struct() ? mem.type.tmpl->align : atomic_size(mem.type.atomic);
                if (mem.count > 0)
                    a = std::max<uint32_t>(a, 4);
                offset = (offset + a - 1) / a * a;
                mem.offset = offset;
                uint64_t bytes = static_cast<uint64_t>(mem.type.size()) * std::max<uint32_t>(mem.count, 1);
                if (offset + bytes > kMaxTagBytes)
                    fail(p, "the structure grows beyond 16 MiB");
                offset += static_cast<uint32_t>(bytes);
                align = std::max(align, a);
                host = -1;
            }
            t.members.push_back(mem);
            if (t.members.size() > kMaxMemberCount)
                fail(p, "too many members");
        }
        t.align = align;
        t.size = (offset + align - 1) / align * align;
        uint32_t h = fnv1a(t.name);
        for (const Member& mem : t.members)
            h = fnv1a(mem.name + "/" + std::to_string(mem.word()) + "/" + std::to_string(mem.offset), h);
        t.handle = static_cast<uint16_t>((h >> 16) ^ h);
        if (t.handle == 0 || t.handle == kStringTemplateId)
            t.handle = 0x1234;
        finish_definition(t);
        pt.state = 2;
    }

    // The bytes Read Template serves: member info, "Name;n..." and the member names, padded so
    // that definition size x 4 - 23 is exactly their length.
    static void finish_definition(Template& t) {
        Bytes d;
        for (const Member& m : t.members) {
            put_u16(d, m.info());
            put_u16(d, m.word());
            put_u32(d, m.offset);
        }
        // After the name and ';': a marker, then two bytes per member, the second carrying the
        // member's external access in its low bits (3: read/write; 0: none, for BOOL hosts).
        put_text(d, t.name + ";n");
        for (const Member& m : t.members) {
            d.push_back('A');
            d.push_back(m.hidden ? '@' : 'C');
        }
        d.push_back(0);
        for (const Member& m : t.members) {
            put_text(d, m.name);
            d.push_back(0);
        }
        t.definition_words = static_cast<uint32_t>((d.size() + 23 + 3) / 4);
        d.resize(t.definition_words * 4 - 23, 0);
        t.definition = std::move(d);
    }

    void programs(const json& j, const std::string& path) {
        if (!j.is_array())
            fail(path, "expected an array of programs, found " + type_of(j));
        std::set<std::string> names;
        for (size_t i = 0; i < j.size(); ++i) {
            std::string p = path + "[" + std::to_string(i) + "]";
            expect_object(j[i], p, {"name", "tags"});
            std::string name = get_string(need(j[i], "name", p), p + ".name");
            check_name(name, p + ".name");
            if (!names.insert(upper(name)).second)
                fail(p + ".name", "program \"" + name + "\" is declared twice");
            Scope& s = c_.programs.emplace_back();
            s.name = name;
            if (j[i].contains("tags"))
                tags(j[i]["tags"], p + ".tags", s);
        }
    }

    void tags(const json& j, const std::string& path, Scope& scope) {
        if (!j.is_array())
            fail(path, "expected an array of tags, found " + type_of(j));
        for (size_t i = 0; i < j.size(); ++i) {
            std::string p = path + "[" + std::to_string(i) + "]";
            const json& tj = j[i];
            expect_object(tj, p, {"name", "type", "dims", "value", "behaviour", "access"});
            Tag tag;
            tag.name = get_string(need(tj, "name", p), p + ".name");
            check_name(tag.name, p + ".name");
            if (scope.by_name.count(upper(tag.name)))
                fail(p + ".name", "tag \"" + tag.name + "\" is declared twice in this scope");
            tag.type = find_type(get_string(need(tj, "type", p), p + ".type"), p + ".type");
            if (tj.contains("access")) {
                const std::string access = get_string(tj["access"], p + ".access");
                if (access != "read-only" && access != "read/write")
                    fail(p + ".access", "expected \"read-only\" or \"read/write\"");
                tag.read_only = access == "read-only";
            }
            uint64_t elements = 1;
            if (tj.contains("dims")) {
                const json& d = tj["dims"];
                if (!d.is_array() || d.empty() || d.size() > 3)
                    fail(p + ".dims", "expected an array of one to three dimensions");
                for (size_t k = 0; k < d.size(); ++k) {
                    auto n = static_cast<uint32_t>(
                        get_unsigned(d[k], p + ".dims[" + std::to_string(k) + "]", 0xFFFFFFFFu));
                    if (n == 0)
                        fail(p + ".dims[" + std::to_string(k) + "]", "a dimension must be at least 1");
                    tag.dims.push_back(n);
                    elements *= n;
                    if (elements * tag.type.size() > kMaxTagBytes)
                        fail(p + ".dims", "the tag would hold more than 16 MiB");
                }
                if (tag.type.atomic == kBool && !tag.type.is_struct()) {
                    if (tag.dims.size() != 1)
                        fail(p + ".dims", "a BOOL array has one dimension");
                    tag.bool_array = true;
                }
            }
            tag.elements = static_cast<uint32_t>(elements);
            tag.initial.assign(tag.bool_array ? (tag.elements + 31) / 32 * 4 : tag.elements * tag.type.size(), 0);
            if (tag.bool_array && tj.contains("value")) {
                const json& v = tj["value"];
                if (!v.is_array() || v.size() > tag.elements)
                    fail(p + ".value", "expected an array of at most " + std::to_string(tag.elements) + " BOOLs");
                for (size_t k = 0; k < v.size(); ++k) {
                    if (!v[k].is_boolean() && !(v[k].is_number_unsigned() && v[k].get<uint64_t>() <= 1))
                        fail(p + ".value[" + std::to_string(k) + "]", "expected true, false, 0 or 1");
                    if (v[k].is_boolean() ? v[k].get<bool>() : v[k].get<uint64_t>() == 1)
                        tag.initial[k / 32 * 4 + k % 32 / 8] |= static_cast<uint8_t>(1u << (k % 8));
                }
            } else if (tj.contains("value"))
                write_value(tag.type, tag.dims.empty() ? 0 : tag.elements, tj["value"], tag.initial.data(),
                            p + ".value");
            if (tj.contains("behaviour")) {
                const json& b = tj["behaviour"];
                if (b.is_array()) {
                    for (size_t k = 0; k < b.size(); ++k)
                        tag.behaviours.push_back(
                            behaviour(tag, b[k], p + ".behaviour[" + std::to_string(k) + "]"));
                } else {
                    tag.behaviours.push_back(behaviour(tag, b, p + ".behaviour"));
                }
            }
            tag.index = c_.tag_count++;
            Tag& stored = scope.tags.emplace_back(std::move(tag));
            scope.by_name[upper(stored.name)] = &stored;
        }
    }

    // Writes a JSON value of a type (count > 0: an array of that many elements) at `p`.
    void write_value(const DataType& type, uint32_t count, const json& v, uint8_t* p,
                     const std::string& path) {
        if (count > 0) {
            std::vector<const json*> flat;
            flatten(v, path, flat);
            if (flat.size() > count)
                fail(path,
                     std::to_string(flat.size()) + " values for " + std::to_string(count) + " elements");
            for (size_t i = 0; i < flat.size(); ++i)
                write_value(type, 0, *flat[i], p + i * type.size(), path + "[" + std::to_string(i) + "]");
            return;
        }
        if (type.is_struct()) {
            if (type.tmpl->id == kStringTemplateId && v.is_string()) {
                std::string text = v.get<std::string>();
                if (text.size() > kStringChars)
                    fail(path, "a STRING holds at most 82 characters");
                set_u32(p, static_cast<uint32_t>(text.size()));
                std::memcpy(p + 4, text.data(), text.size());
                return;
            }
            if (!v.is_object())
                fail(path, "expected an object with members of " + type.tmpl->name + ", found " + type_of(v));
            for (auto it = v.begin(); it != v.end(); ++it) {
                const Member* m = type.tmpl->find(it.key());
                std::string mp = path + "." + it.key();
                if (m == nullptr || m->hidden)
                    fail(mp, "\"" + type.tmpl->name + "\" has no member \"" + it.key() + "\"");
                if (m->bit >= 0) {
                    bool on = bool_value(it.value(), mp);
                    if (on)
                        p[m->offset] = static_cast<uint8_t>(p[m->offset] | (1u << m->bit));
                    else
                        p[m->offset] = static_cast<uint8_t>(p[m->offset] & ~(1u << m->bit));
                } else {
                    write_value(m->type, m->count, it.value(), p + m->offset, mp);
                }
            }
            return;
        }
        write_atomic(type.atomic, v, p, path);
    }

    static void flatten(const json& v, const std::string& path, std::vector<const json*>& out) {
        if (!v.is_array())
            fail(path, "expected an array, found " + type_of(v));
        for (const json& e : v) {
            if (e.is_array())
                flatten(e, path, out);
            else
                out.push_back(&e);
        }
    }

    static bool bool_value(const json& v, const std::string& path) {
        if (v.is_boolean())
            return v.get<bool>();
        if (v.is_number_integer() && (v.get<int64_t>() == 0 || v.get<int64_t>() == 1))
            return v.get<int64_t>() == 1;
        fail(path, "expected true or false, found " + type_of(v));
    }

    static void write_atomic(uint8_t code, const json& v, uint8_t* p, const std::string& path) {
        uint32_t width = atomic_size(code);
        if (code == kBool) {
            p[0] = bool_value(v, path) ? 1 : 0;
            return;
        }
        if (is_float(code)) {
            double d = get_number(v, path);
            if (code == kReal) {
                float f = static_cast<float>(d);
                std::memcpy(p, &f, 4);
            } else {
                std::memcpy(p, &d, 8);
            }
            return;
        }
        if (!v.is_number_integer())
            fail(path,
                 std::string("expected a whole number for ") + atomic_name(code) + ", found " + type_of(v));
        if (is_signed(code)) {
            int64_t lo = width == 8 ? std::numeric_limits<int64_t>::min() : -(int64_t{1} << (width * 8 - 1));
            int64_t hi =
                width == 8 ? std::numeric_limits<int64_t>::max() : (int64_t{1} << (width * 8 - 1)) - 1;
            bool ok = !v.is_number_unsigned() || v.get<uint64_t>() <= static_cast<uint64_t>(hi);
            int64_t x = ok ? v.get<int64_t>() : 0;
            if (!ok || x < lo || x > hi)
                fail(path, std::string("value out of range for ") + atomic_name(code));
            store_le(p, static_cast<uint64_t>(x), width);
        } else {
            uint64_t max =
                width == 8 ? std::numeric_limits<uint64_t>::max() : (uint64_t{1} << (width * 8)) - 1;
            if (!v.is_number_unsigned() && v.get<int64_t>() < 0)
                fail(path, std::string("value out of range for ") + atomic_name(code));
            uint64_t x = v.get<uint64_t>();
            if (x > max)
                fail(path, std::string("value out of range for ") + atomic_name(code));
            store_le(p, x, width);
        }
    }

    static std::vector<PathStep> parse_relative_path(const std::string& text, const std::string& path) {
        std::vector<PathStep> steps;
        size_t i = 0;
        auto bad = [&]() { fail(path, "cannot read the path \"" + text + "\""); };
        bool first = true;
        while (i < text.size()) {
            if (text[i] == '.') {
                if (first)
                    bad();
                ++i;
            } else if (!first && text[i] != '[') {
                bad();
            }
            first = false;
            size_t start = i;
            while (i < text.size() && text[i] != '.' && text[i] != '[')
                ++i;
            if (i > start)
                steps.push_back(PathStep{text.substr(start, i - start), {}});
            else if (i >= text.size() || text[i] != '[')
                bad();
            while (i < text.size() && text[i] == '[') {
                size_t close = text.find(']', i);
                if (close == std::string::npos)
                    bad();
                PathStep group;
                std::stringstream items(text.substr(i + 1, close - i - 1));
                std::string item;
                while (std::getline(items, item, ',')) {
                    if (item.empty() || item.find_first_not_of("0123456789") != std::string::npos ||
                        item.size() > 9)
                        bad();
                    group.indexes.push_back(static_cast<uint32_t>(std::stoul(item)));
                }
                if (group.indexes.empty())
                    bad();
                steps.push_back(group);
                i = close + 1;
            }
        }
        return steps;
    }

    Behaviour behaviour(const Tag& tag, const json& j, const std::string& path) {
        expect_object(j, path, {"kind", "path", "step", "amplitude", "period", "offset", "texts", "bit", "value"});
        Behaviour b;
        std::string kind = get_string(need(j, "kind", path), path + ".kind");
        if (kind == "counter")
            b.kind = BehaviourKind::Counter;
        else if (kind == "sine")
            b.kind = BehaviourKind::Sine;
        else if (kind == "toggle")
            b.kind = BehaviourKind::Toggle;
        else if (kind == "text")
            b.kind = BehaviourKind::Text;
        else if (kind == "hold")
            b.kind = BehaviourKind::Hold;
        else
            fail(path + ".kind",
                 "unknown behaviour \"" + kind + "\" (expected counter, sine, toggle, text or hold)");
        if (j.contains("value"))
            b.value = get_number(j["value"], path + ".value");
        if (j.contains("step"))
            b.step = get_number(j["step"], path + ".step");
        if (j.contains("amplitude"))
            b.amplitude = get_number(j["amplitude"], path + ".amplitude");
        if (j.contains("period")) {
            b.period = get_number(j["period"], path + ".period");
            if (!(b.period > 0))
                fail(path + ".period", "the period must be above 0 seconds");
        }
        if (j.contains("offset"))
            b.offset = get_number(j["offset"], path + ".offset");
        if (j.contains("texts")) {
            const json& t = j["texts"];
            if (!t.is_array())
                fail(path + ".texts", "expected an array of strings");
            for (size_t k = 0; k < t.size(); ++k) {
                b.texts.push_back(get_string(t[k], path + ".texts[" + std::to_string(k) + "]"));
                if (b.texts.back().size() > kStringChars)
                    fail(path + ".texts[" + std::to_string(k) + "]", "a STRING holds at most 82 characters");
            }
        }
        std::vector<PathStep> steps;
        if (j.contains("path"))
            steps = parse_relative_path(get_string(j["path"], path + ".path"), path + ".path");
        Location loc;
        if (auto err = resolve(tag, steps, loc))
            fail(path + ".path", "the path does not name an element of the tag");
        if (loc.array)
            fail(path, "a behaviour of an array needs a \"path\" naming one element, e.g. \"[0]\"");
        bool is_string = loc.type.is_struct() && loc.type.tmpl->id == kStringTemplateId;
        bool numeric = !loc.type.is_struct() && loc.type.atomic != kBool;
        switch (b.kind) {
        case BehaviourKind::Counter:
        case BehaviourKind::Sine:
        case BehaviourKind::Hold:
            if (!numeric)
                fail(path, "a " + kind + " behaviour needs a numeric target");
            break;
        case BehaviourKind::Toggle:
            if (j.contains("bit")) {
                const uint32_t width = loc.type.is_struct() ? 0 : atomic_size(loc.type.atomic);
                if (!numeric || is_float(loc.type.atomic))
                    fail(path, "a toggle behaviour with a \"bit\" needs an integer target");
                b.integer_bit = static_cast<int>(get_unsigned(j["bit"], path + ".bit", width * 8 - 1));
            } else if (loc.type.atomic != kBool) {
                fail(path, "a toggle behaviour needs a BOOL target");
            }
            break;
        case BehaviourKind::Text:
            if (!is_string)
                fail(path, "a text behaviour needs a STRING target");
            break;
        }
        b.byte_offset = loc.byte_offset;
        b.type = loc.type;
        b.bit = loc.bit;
        return b;
    }

    uint32_t next_instance(const std::string& name) {
        next_instance_ += 1 + fnv1a(name) % 3;
        return next_instance_;
    }

    void add_symbol(Scope& s, const std::string& name, uint16_t word, Tag* tag) {
        Symbol sym;
        sym.instance = next_instance(name);
        sym.name = name;
        sym.word = word;
        sym.tag = tag;
        if (tag != nullptr) {
            for (size_t k = 0; k < tag->dims.size(); ++k)
                sym.dims[k] = tag->dims[k];
            tag->instance = sym.instance;
        }
        s.symbols.push_back(sym);
    }

    // Symbol lists as a controller presents them: besides the tags, program entries and
    // system entries that a client must leave out, spread among the tags.
    void symbols() {
        Scope& cs = c_.controller;
        size_t n = cs.tags.size();
        size_t programs = c_.programs.size();
        add_symbol(cs, "Map:Local", 0x1069, nullptr);
        add_symbol(cs, "__CONTAINER", 0x00C4, nullptr);
        size_t next_program = 0;
        for (size_t i = 0; i < n; ++i) {
            while (next_program < programs && (next_program + 1) * n / (programs + 1) <= i) {
                add_symbol(cs, "Program:" + c_.programs[next_program].name, kProgramWord, nullptr);
                ++next_program;
            }
            if (i == n / 2)
                add_symbol(cs, "Task:MainTask", 0x1070, nullptr);
            add_symbol(cs, cs.tags[i].name, cs.tags[i].word(), &cs.tags[i]);
        }
        for (; next_program < programs; ++next_program)
            add_symbol(cs, "Program:" + c_.programs[next_program].name, kProgramWord, nullptr);
        if (n < 2)
            add_symbol(cs, "Task:MainTask", 0x1070, nullptr);
        add_symbol(cs, "__DEFVAL_000001B4", 0x9000 | kStringTemplateId, nullptr);
        for (Scope& ps : c_.programs) {
            add_symbol(ps, "Routine:MainRoutine", 0x106D, nullptr);
            for (Tag& t : ps.tags)
                add_symbol(ps, t.name, t.word(), &t);
        }
    }
};

} // namespace

const char* atomic_name(uint8_t code) {
    for (const AtomicInfo& a : kAtomics)
        if (a.code == code)
            return a.name;
    return "UNKNOWN";
}

uint32_t atomic_size(uint8_t code) {
    for (const AtomicInfo& a : kAtomics)
        if (a.code == code)
            return a.size;
    return 0;
}

std::optional<uint8_t> atomic_by_name(const std::string& name) {
    std::string key = upper(name);
    for (const AtomicInfo& a : kAtomics)
        if (key == a.name)
            return a.code;
    return std::nullopt;
}

std::string upper(const std::string& text) {
    // Names are ASCII: a plain fold, independent of the process locale.
    std::string out = text;
    for (char& c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - ('a' - 'A'));
    return out;
}

uint32_t DataType::size() const {
    return tmpl != nullptr ? tmpl->size : atomic_size(atomic);
}

uint16_t DataType::word() const {
    return tmpl != nullptr ? static_cast<uint16_t>(kStructBit | tmpl->id) : atomic;
}

uint16_t Member::info() const {
    if (bit >= 0)
        return static_cast<uint16_t>(bit);
    return static_cast<uint16_t>(count);
}

uint16_t Member::word() const {
    return static_cast<uint16_t>(type.word() | (count > 0 ? 0x2000 : 0));
}

const Member* Template::find(const std::string& member) const {
    std::string key = upper(member);
    for (const Member& m : members)
        if (upper(m.name) == key)
            return &m;
    return nullptr;
}

uint16_t Tag::word() const {
    return static_cast<uint16_t>(type.word() | (dims.size() << 13));
}

const Tag* Scope::find(const std::string& tag) const {
    auto it = by_name.find(upper(tag));
    return it == by_name.end() ? nullptr : it->second;
}

std::optional<PathError> resolve(const Tag& tag, const std::vector<PathStep>& steps, Location& out) {
    DataType type = tag.type;
    std::vector<uint32_t> dims = tag.dims;
    uint32_t offset = 0;
    uint32_t available = tag.elements;
    int bit = -1;
    for (const PathStep& step : steps) {
        if (!step.indexes.empty()) {
            if (dims.empty() || step.indexes.size() != dims.size())
                return PathError{0x04, 0};
            uint64_t flat = 0;
            for (size_t k = 0; k < dims.size(); ++k) {
                if (step.indexes[k] >= dims[k])
                    return PathError{0xFF, 0x2105};
                flat = flat * dims[k] + step.indexes[k];
            }
            if (tag.bool_array && bit < 0 && !type.is_struct() && type.atomic == kBool) {
                // An element of a BOOL array: its bit in the 32-bit word that holds it.
                offset += static_cast<uint32_t>(flat / 32 * 4 + flat % 32 / 8);
                bit = static_cast<int>(flat % 8);
                available = 1;
                dims.clear();
                continue;
            }
            offset += static_cast<uint32_t>(flat * type.size());
            available -= static_cast<uint32_t>(flat);
            dims.clear();
            continue;
        }
        if (!dims.empty() || bit >= 0 || !type.is_struct())
            return PathError{0x05, 0};
        const Member* m = type.tmpl->find(step.name);
        if (m == nullptr)
            return PathError{0x05, 0};
        offset += m->offset;
        if (m->bit >= 0) {
            type = DataType{kBool, nullptr};
            bit = m->bit;
            available = 1;
        } else if (m->count > 0) {
            type = m->type;
            dims = {m->count};
            available = m->count;
        } else {
            type = m->type;
            available = 1;
        }
    }
    out.tag = &tag;
    out.type = type;
    out.byte_offset = offset;
    out.available = available;
    out.bit = bit;
    out.array = !dims.empty();
    return std::nullopt;
}

ValueStore::ValueStore(std::shared_ptr<const Controller> controller) : controller_(std::move(controller)) {
    values_.resize(controller_->tag_count);
    auto fill = [&](const Scope& s) {
        for (const Tag& t : s.tags)
            values_[t.index] = t.initial;
    };
    fill(controller_->controller);
    for (const Scope& p : controller_->programs)
        fill(p);
}

void ValueStore::read(const Tag& tag, uint32_t offset, uint32_t size, std::vector<uint8_t>& out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::vector<uint8_t>& v = values_[tag.index];
    if (offset > v.size() || size > v.size() - offset)
        return;
    out.insert(out.end(), v.begin() + offset, v.begin() + offset + size);
}

bool ValueStore::write(const Tag& tag, uint32_t offset, const uint8_t* data, uint32_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint8_t>& v = values_[tag.index];
    if (offset > v.size() || size > v.size() - offset)
        return false;
    if (size != 0)
        std::memcpy(v.data() + offset, data, size);
    return true;
}

void ValueStore::write_bit(const Tag& tag, uint32_t offset, int bit, bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint8_t>& v = values_[tag.index];
    if (offset >= v.size() || bit < 0 || bit > 7)
        return;
    if (on)
        v[offset] = static_cast<uint8_t>(v[offset] | (1u << bit));
    else
        v[offset] = static_cast<uint8_t>(v[offset] & ~(1u << bit));
}

int64_t ValueStore::clock_us() const {
    auto host = std::chrono::duration_cast<std::chrono::microseconds>(
                    std::chrono::system_clock::now().time_since_epoch())
                    .count();
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int64_t>(host) + clock_offset_us_;
}

void ValueStore::set_clock_us(int64_t us) {
    auto host = std::chrono::duration_cast<std::chrono::microseconds>(
                    std::chrono::system_clock::now().time_since_epoch())
                    .count();
    std::lock_guard<std::mutex> lock(mutex_);
    clock_offset_us_ = us - static_cast<int64_t>(host);
}

uint32_t ValueStore::next_session_handle() {
    std::lock_guard<std::mutex> lock(mutex_);
    return next_handle_++;
}

namespace {

double load_number(const uint8_t* p, uint8_t code) {
    switch (code) {
    case kSint:
        return static_cast<int8_t>(p[0]);
    case kInt:
        return static_cast<int16_t>(get_u16(p));
    case kDint:
        return static_cast<int32_t>(get_u32(p));
    case kLint:
        return static_cast<double>(static_cast<int64_t>(get_u64(p)));
    case kUsint:
    case kByte:
        return p[0];
    case kUint:
    case kWord:
        return get_u16(p);
    case kUdint:
    case kDword:
        return get_u32(p);
    case kUlint:
    case kLword:
        return static_cast<double>(get_u64(p));
    case kReal: {
        float f;
        std::memcpy(&f, p, 4);
        return f;
    }
    case kLreal: {
        double d;
        std::memcpy(&d, p, 8);
        return d;
    }
    default:
        return 0;
    }
}

// Stores a number into an atomic; integers wrap around like the controller's arithmetic.
void store_number(uint8_t* p, uint8_t code, double value) {
    if (code == kReal) {
        float f = static_cast<float>(value);
        std::memcpy(p, &f, 4);
        return;
    }
    if (code == kLreal) {
        std::memcpy(p, &value, 8);
        return;
    }
    double r = std::round(value);
    uint64_t bits;
    if (!std::isfinite(r))
        bits = 0;
    else if (r >= 0x1p63)
        bits = static_cast<uint64_t>(std::fmod(r, 0x1p64));
    else if (r < -0x1p63)
        bits = 0;
    else
        bits = static_cast<uint64_t>(static_cast<int64_t>(r));
    store_le(p, bits, atomic_size(code));
}

// Adds an integer step exactly (wrapping), so that 64-bit counters do not lose precision.
void add_integer(uint8_t* p, uint8_t code, int64_t step) {
    uint32_t width = atomic_size(code);
    uint64_t v = 0;
    for (uint32_t i = 0; i < width; ++i)
        v |= static_cast<uint64_t>(p[i]) << (8 * i);
    store_le(p, v + static_cast<uint64_t>(step), width);
}

} // namespace

void ValueStore::apply_holds(const Tag& tag) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Behaviour& b : tag.behaviours)
        if (b.kind == BehaviourKind::Hold)
            store_number(values_[tag.index].data() + b.byte_offset, b.type.atomic, b.value);
}

void ValueStore::tick() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++ticks_;
    auto run = [&](const Scope& s) {
        for (const Tag& t : s.tags) {
            for (const Behaviour& b : t.behaviours) {
                uint8_t* p = values_[t.index].data() + b.byte_offset;
                switch (b.kind) {
                case BehaviourKind::Counter:
                    if (is_float(b.type.atomic) || b.step != std::floor(b.step))
                        store_number(p, b.type.atomic, load_number(p, b.type.atomic) + b.step);
                    else
                        add_integer(p, b.type.atomic, static_cast<int64_t>(b.step));
                    break;
                case BehaviourKind::Sine:
                    store_number(p, b.type.atomic,
                                 b.offset + b.amplitude * std::sin(2 * std::numbers::pi *
                                                                   static_cast<double>(ticks_) / b.period));
                    break;
                case BehaviourKind::Hold:
                    store_number(p, b.type.atomic, b.value);
                    break;
                case BehaviourKind::Toggle:
                    if (b.integer_bit >= 0)
                        p[b.integer_bit / 8] = static_cast<uint8_t>(p[b.integer_bit / 8] ^ (1u << (b.integer_bit % 8)));
                    else if (b.bit >= 0)
                        p[0] = static_cast<uint8_t>(p[0] ^ (1u << b.bit));
                    else
                        p[0] = p[0] != 0 ? 0 : 1;
                    break;
                case BehaviourKind::Text: {
                    std::string text =
                        b.texts.empty() ? "Tick " + std::to_string(ticks_) : b.texts[ticks_ % b.texts.size()];
                    std::memset(p, 0, 4 + kStringChars);
                    set_u32(p, static_cast<uint32_t>(text.size()));
                    std::memcpy(p + 4, text.data(), text.size());
                    break;
                }
                }
            }
        }
    };
    run(controller_->controller);
    for (const Scope& s : controller_->programs)
        run(s);
}

} // namespace detail

const detail::Scope* Controller::program(const std::string& name) const {
    std::string key = detail::upper(name);
    for (const detail::Scope& s : programs)
        if (detail::upper(s.name) == key)
            return &s;
    return nullptr;
}

const detail::Tag* Controller::tag_by_instance(uint32_t instance) const {
    for (const detail::Symbol& s : controller.symbols)
        if (s.instance == instance)
            return s.tag;
    return nullptr;
}

std::shared_ptr<const Controller> parse_controller(const std::string& json_text, const std::string& origin) {
    nlohmann::json root;
    try {
        root = nlohmann::json::parse(json_text);
    } catch (const nlohmann::json::parse_error& e) {
        std::string what = e.what();
        if (auto pos = what.find("] "); pos != std::string::npos)
            what = what.substr(pos + 2);
        throw std::runtime_error(origin + ": $: not valid JSON: " + what);
    }
    auto controller = std::make_shared<Controller>();
    try {
        detail::Builder(*controller).run(root);
    } catch (const detail::Problem& p) {
        throw std::runtime_error(origin + ": " + p.path + ": " + p.what);
    } catch (const nlohmann::json::exception& e) {
        throw std::runtime_error(origin + ": $: " + e.what());
    }
    return controller;
}

std::shared_ptr<const Controller> load_controller(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error(path + ": $: cannot open the file: " + std::strerror(errno));
    std::stringstream text;
    text << in.rdbuf();
    if (in.bad())
        throw std::runtime_error(path + ": $: cannot read the file");
    return parse_controller(text.str(), path);
}

const std::string& demo_controller_json() {
    static const std::string text(detail::demo_json_data(), detail::demo_json_size());
    return text;
}

std::shared_ptr<const Controller> demo_controller() {
    static const std::shared_ptr<const Controller> demo =
        parse_controller(demo_controller_json(), "demo.json");
    return demo;
}

} // namespace logixsim
