// Text for the tree's type column and the watch table's value column.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "zelkc_logix.h"

// The type column text of a tag or member: an atomic type name, "ARRAY", "STRING", the
// structure's template name or "STRUCT". A template name is a view of info->type_name and stays
// valid only while the info lives. A null info gives "UNKNOWN".
std::string_view datatype_get_name(const zelkc_logix_tag_info* info);

// Whether a scalar tag holds text the library reads as a string: a Logix STRING structure, or a CIP
// STRING (0xD0) or SHORT_STRING (0xDA) as generic devices serve it.
bool tag_holds_text(const zelkc_logix_tag_info* info);

// The tree's type text: "REAL", "STRING", "Motor", and for an array its element type with the
// dimensions, "DINT[10]", "INT[2,3]", "Motor[4]". A null info gives "UNKNOWN".
std::string datatype_text(const zelkc_logix_tag_info* info);

// The text of an atomic value, formatted as the atomic type code `type` says (not the value's own
// type field): decimal integers, "true"/"false", shortest round-trip floats (REAL as single
// precision). Unknown codes and a null value give the empty string.
std::string value2string(const zelkc_logix_value* value, uint16_t type);

// The value as a number for the trend: BOOL as 0 or 1, integers (64-bit ones rounded to the nearest
// double), floats as they are. NaN for a null value or an unknown code.
double value2double(const zelkc_logix_value* value, uint16_t type);

// How an integer value is shown: as its decimal text, or in the controller's own notation for hex
// ("16#00C0_FFEE") or binary ("2#0000_0101"), padded to the type's width in groups of four digits,
// a negative value as its two's complement at that width.
enum class IntegerBase : uint8_t { Decimal, Hex, Binary };
// Whether values of the atomic type code `type` are integers another base can show (BOOL is not).
bool integer_type(uint16_t type);
// `decimal` (an integer value's text as value2string writes it) in `base` for the atomic type `type`;
// the text unchanged for Decimal, for a type that is not an integer, or for text that is not a number.
std::string integer_text(const std::string& decimal, uint16_t type, IntegerBase base);
