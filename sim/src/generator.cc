// Writes large, deterministic controller descriptions for benchmarks.
#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "logixsim/server.h"

namespace logixsim {

namespace {

using nlohmann::ordered_json;

class Random {
public:
    explicit Random(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    size_t below(size_t n) { return n == 0 ? 0 : static_cast<size_t>(next() % n); }
    bool chance(size_t percent) { return below(100) < percent; }

private:
    uint64_t state_;
};

const char* const kAtomics[] = {"BOOL", "SINT",  "INT",   "DINT", "LINT", "USINT",
                                "UINT", "UDINT", "ULINT", "REAL", "LREAL"};

ordered_json atomic_value(const std::string& type, Random& r) {
    if (type == "BOOL")
        return r.chance(50);
    if (type == "REAL" || type == "LREAL")
        return static_cast<double>(r.below(100000)) / 100.0;
    if (type == "SINT")
        return static_cast<int>(r.below(256)) - 128;
    if (type == "USINT")
        return r.below(256);
    return r.below(30000);
}

ordered_json make_tag(const std::string& name, const std::vector<std::vector<std::string>>& levels, Random& r,
                      size_t index) {
    ordered_json tag;
    tag["name"] = name;
    size_t pick = r.below(100);
    if (pick < 50 || levels.empty()) {
        std::string type = kAtomics[r.below(std::size(kAtomics))];
        tag["type"] = type;
        tag["value"] = atomic_value(type, r);
        if (type == "DINT" && index % 50 == 0)
            tag["behaviour"] = {{"kind", "counter"}, {"step", 1}};
    } else if (pick < 62) {
        std::string type = kAtomics[1 + r.below(std::size(kAtomics) - 1)];
        tag["type"] = type;
        size_t rank = 1 + r.below(3);
        ordered_json dims = ordered_json::array();
        for (size_t k = 0; k < rank; ++k)
            dims.push_back(rank == 1 ? 2 + r.below(100) : 2 + r.below(5));
        tag["dims"] = dims;
    } else if (pick < 72) {
        tag["type"] = "STRING";
        tag["value"] = "Text " + std::to_string(index);
    } else {
        const auto& level = levels[r.below(levels.size())];
        tag["type"] = level[r.below(level.size())];
        if (r.chance(15))
            tag["dims"] = {2 + r.below(4)};
    }
    return tag;
}

} // namespace

std::string generate_controller_json(const GeneratorOptions& o) {
    Random r(o.seed);
    ordered_json root;
    root["identity"] = {{"vendor_id", 1},
                        {"device_type", 14},
                        {"product_code", 166},
                        {"revision", {{"major", 33}, {"minor", 11}}},
                        {"status", 12640},
                        {"serial_number", 1000 + o.seed},
                        {"product_name", "1756-L85E/B"}};
    // Types in levels: level 0 holds atomic members only, level k also members of level k-1.
    size_t depth = std::clamp<size_t>(o.depth, 1, std::max<size_t>(o.types, 1)); // no empty level
    std::vector<std::vector<std::string>> levels;
    ordered_json types = ordered_json::array();
    for (size_t i = 0; i < o.types; ++i) {
        size_t level = i * depth / std::max<size_t>(o.types, 1);
        if (levels.size() <= level)
            levels.resize(level + 1);
        std::string name = "Type" + std::to_string(level) + "_" + std::to_string(i);
        ordered_json members = ordered_json::array();
        size_t count = 3 + r.below(std::max<size_t>(o.max_members, 3) - 2);
        for (size_t m = 0; m < count; ++m) {
            ordered_json member;
            member["name"] = std::string("M").append(std::to_string(m));
            if (level > 0 && !levels[level - 1].empty() && (m == 0 || r.chance(25))) {
                const auto& below = levels[level - 1];
                member["type"] = below[r.below(below.size())];
                if (r.chance(20))
                    member["dim"] = 2 + r.below(3);
            } else if (r.chance(8)) {
                member["type"] = "STRING";
            } else {
                std::string type = kAtomics[r.below(std::size(kAtomics))];
                member["type"] = type;
                if (type != "BOOL" && r.chance(15))
                    member["dim"] = 2 + r.below(10);
            }
            members.push_back(member);
        }
        types.push_back({{"name", name}, {"members", members}});
        levels[level].push_back(name);
    }
    root["types"] = types;
    ordered_json tags = ordered_json::array();
    for (size_t i = 0; i < o.tags; ++i)
        tags.push_back(make_tag("Tag" + std::to_string(i), levels, r, i));
    root["tags"] = tags;
    ordered_json programs = ordered_json::array();
    for (size_t p = 0; p < o.programs; ++p) {
        ordered_json ptags = ordered_json::array();
        for (size_t i = 0; i < o.program_tags; ++i)
            ptags.push_back(make_tag("Local" + std::to_string(i), levels, r, i));
        programs.push_back({{"name", "Program" + std::to_string(p)}, {"tags", ptags}});
    }
    root["programs"] = programs;
    return root.dump(1) + "\n";
}

} // namespace logixsim
