// The simulator's model of a controller: templates, tags, symbols, and the live value store.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "logixsim/server.h"

namespace logixsim {

namespace detail {

// Atomic type codes as they appear in type words and read replies.
enum : uint8_t {
    kBool = 0xC1,
    kSint = 0xC2,
    kInt = 0xC3,
    kDint = 0xC4,
    kLint = 0xC5,
    kUsint = 0xC6,
    kUint = 0xC7,
    kUdint = 0xC8,
    kUlint = 0xC9,
    kReal = 0xCA,
    kLreal = 0xCB,
    kByte = 0xD1,
    kWord = 0xD2,
    kDword = 0xD3,
    kLword = 0xD4,
};

constexpr uint16_t kStructBit = 0x8000;
constexpr uint16_t kSystemBit = 0x1000;
constexpr uint16_t kProgramWord = 0x1068;
constexpr uint16_t kStringTemplateId = 0x0FCE;
constexpr uint16_t kStructMarker = 0x02A0;
constexpr size_t kStringChars = 82;

// Name, size in bytes, and alignment of an atomic code; size 0 for unknown codes.
const char* atomic_name(uint8_t code);
uint32_t atomic_size(uint8_t code);
std::optional<uint8_t> atomic_by_name(const std::string& name);

struct Template;

// The type of a tag, a member or an array element: an atomic code or a structure template.
struct DataType {
    uint8_t atomic = 0;             // 0 for a structure
    const Template* tmpl = nullptr; // the structure's template, or null
    uint32_t size() const;          // bytes one element occupies
    uint16_t word() const;          // type word without array rank bits
    bool is_struct() const { return tmpl != nullptr; }
};

struct Member {
    std::string name;
    DataType type;
    uint32_t count = 0;    // element count of a one-dimensional array member, 0 for a scalar
    uint32_t offset = 0;   // byte offset in the structure
    int bit = -1;          // bit number in the host byte for a BOOL member
    bool hidden = false;   // BOOL host byte
    uint16_t info() const; // the info word of the template's member list
    uint16_t word() const; // type word including the array bit
};

struct Template {
    std::string name;
    uint16_t id = 0;
    uint16_t handle = 0; // structure handle reported in reads and attribute 1
    uint32_t size = 0;   // structure size in bytes
    uint32_t align = 4;
    std::vector<Member> members;     // in definition order, host bytes included
    std::vector<uint8_t> definition; // what Read Template serves (padded to the definition size)
    uint32_t definition_words = 0;   // attribute 4
    const Member* find(const std::string& name) const;
};

enum class BehaviourKind { Counter, Sine, Toggle, Text, Hold };

struct Behaviour {
    BehaviourKind kind = BehaviourKind::Counter;
    double step = 1;
    double amplitude = 1;
    double period = 10;
    double offset = 0;
    std::vector<std::string> texts;
    // Where the behaviour writes inside its tag.
    uint32_t byte_offset = 0;
    DataType type;
    int bit = -1;
    int integer_bit = -1; // toggle: the bit of an integer target it flips
    double value = 0;     // hold: the value the program puts back
};

struct Tag {
    std::string name;
    DataType type;
    std::vector<uint32_t> dims;   // 0 to 3 dimensions
    uint32_t elements = 1;        // product of dims (1 for a scalar)
    uint32_t instance = 0;        // symbol instance number
    size_t index = 0;             // position in the value store
    std::vector<uint8_t> initial; // initial bytes, elements * element size
    std::vector<Behaviour> behaviours;
    bool read_only = false; // writes refused with 0x0F (privilege violation); reads fine
    bool bool_array = false; // BOOL[n]: packed 32 to a 32-bit word, as a controller keeps them
    uint16_t word() const;  // symbol type word with rank bits
};

// One entry of a symbol browse.
struct Symbol {
    uint32_t instance = 0;
    std::string name;
    uint16_t word = 0;
    uint32_t dims[3] = {0, 0, 0};
    const Tag* tag = nullptr; // null for program entries and system entries
};

struct Scope {
    std::string name; // program name; empty for the controller scope
    std::deque<Tag> tags;
    std::vector<Symbol> symbols;                         // ordered by instance
    std::unordered_map<std::string, const Tag*> by_name; // keys in upper case
    const Tag* find(const std::string& name) const;
};

struct Identity {
    uint16_t vendor_id = 1;
    uint16_t device_type = 14;
    uint16_t product_code = 166;
    uint8_t revision_major = 33;
    uint8_t revision_minor = 11;
    uint16_t status = 0x3060;
    uint8_t state = 3; // attribute 8: operational
    uint32_t serial_number = 0x00C0FFEE;
    std::string product_name = "1756-L83E/B";
};

std::string upper(const std::string& text);

// A path step as written in text or found in a request: a name or a group of indexes.
struct PathStep {
    std::string name; // empty for an index group
    std::vector<uint32_t> indexes;
};

// Where a path leads inside a tag.
struct Location {
    const Tag* tag = nullptr;
    DataType type;            // element type at the end of the path
    uint32_t byte_offset = 0; // offset of the first element within the tag's bytes
    uint32_t available = 1;   // elements that may be read from there on
    int bit = -1;             // BOOL member bit
    bool array = false;       // the path ends on an array that was not indexed
};

// CIP status of a failed path resolution.
struct PathError {
    uint8_t general = 0x05;
    uint16_t extended = 0; // 0: none
};

// Follows `steps` from the tag; fills `out` or returns the error.
std::optional<PathError> resolve(const Tag& tag, const std::vector<PathStep>& steps, Location& out);

} // namespace detail

class Controller {
public:
    std::string name = "OrvaneDemo"; // what class 0x64 reports
    detail::Identity identity;
    std::deque<detail::Template> templates;
    std::map<uint16_t, const detail::Template*> templates_by_id;
    detail::Scope controller;
    std::deque<detail::Scope> programs;
    size_t tag_count = 0;
    const detail::Scope* program(const std::string& name) const;
    const detail::Tag* tag_by_instance(uint32_t instance) const;
};

namespace detail {

// The live values of one simulated controller, shared by all its connections.
class ValueStore {
public:
    explicit ValueStore(std::shared_ptr<const Controller> controller);
    const Controller& controller() const { return *controller_; }
    // Copies `size` bytes of a tag from `offset` into `out` (appending).
    void read(const Tag& tag, uint32_t offset, uint32_t size, std::vector<uint8_t>& out) const;
    // Overwrites `size` bytes of a tag from `offset`; false when they lie outside the tag.
    bool write(const Tag& tag, uint32_t offset, const uint8_t* data, uint32_t size);
    // Sets or clears one bit of the byte at `offset`.
    void write_bit(const Tag& tag, uint32_t offset, int bit, bool on);
    // Puts the values of the tag's hold behaviours back, as its program would at once.
    void apply_holds(const Tag& tag);
    void tick();
    uint32_t next_session_handle();
    // The wall clock: microseconds since 1970 (UTC), moved by set_clock_us without touching
    // the host's clock.
    int64_t clock_us() const;
    void set_clock_us(int64_t us);

private:
    std::shared_ptr<const Controller> controller_;
    mutable std::mutex mutex_;
    std::vector<std::vector<uint8_t>> values_;
    uint64_t ticks_ = 0;
    int64_t clock_offset_us_ = 0;
    uint32_t next_handle_ = 0x00010001;
};

} // namespace detail
} // namespace logixsim
