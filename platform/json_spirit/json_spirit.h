#pragma once
// A small JSON value model with the json_spirit interface, for the agent code that reads typed
// values out of JSON option objects.
//
// Why it exists: that code is written against json_spirit (a Value whose type tag and contents
// live in a boost::variant, an Object that is an ordered list of name/value pairs, read(), and
// getters that throw on a wrong type), but json_spirit is packaged by neither package source
// this product is built from. Rather than vendor it, this folder holds the few pieces the code
// uses, parsed by rapidjson (which the rest of the product already uses) and stored in
// boost::variant (header-only, from libboost-dev). Anything not listed here is not provided.
//
// Values are plain data: a Value owns its contents, copies are deep, and a const Value may be
// read from any number of threads. Nothing here keeps state between calls.
//
// Failure: read() returns false and leaves its output unchanged. The get_...() accessors throw
// on a value of another type: boost::bad_get for a type mismatch (the held alternative is taken
// with boost::get), std::range_error for an integer the requested width cannot hold (a negative
// number read as unsigned, or one above 2^63-1 read as signed). Both derive from
// std::exception.
#include <boost/cstdint.hpp>
#include <boost/variant.hpp>

#include <string>
#include <utility>
#include <vector>

#include "platform/util/Export.h"

namespace json_spirit {

enum Value_type { obj_type, array_type, str_type, bool_type, int_type, real_type, null_type };

class Value;
struct Pair;
typedef std::vector<Pair> Object;  // members in document order; a name may repeat
typedef std::vector<Value> Array;

// The contents of a JSON null.
struct Null {
    bool operator==(const Null&) const { return true; }
};

class AZT_API Value {
public:
    // The held contents. An integer is held as int64 unless only uint64 can hold it; both
    // report int_type.
    typedef boost::variant<boost::recursive_wrapper<Object>, boost::recursive_wrapper<Array>, std::string, bool,
                           boost::int64_t, double, Null, boost::uint64_t>
        Variant;

    Value() : v_(Null()) {}  // null
    Value(const Object& value) : v_(value) {}
    Value(const Array& value) : v_(value) {}
    Value(Object&& value) : v_(std::move(value)) {}
    Value(Array&& value) : v_(std::move(value)) {}
    Value(const std::string& value) : v_(value) {}
    Value(const char* value) : v_(std::string(value)) {}
    Value(bool value) : v_(value) {}
    Value(int value) : v_(static_cast<boost::int64_t>(value)) {}
    Value(long value) : v_(static_cast<boost::int64_t>(value)) {}
    Value(long long value) : v_(static_cast<boost::int64_t>(value)) {}
    Value(unsigned value) : v_(static_cast<boost::int64_t>(value)) {}
    Value(unsigned long value) : Value(static_cast<unsigned long long>(value)) {}
    Value(unsigned long long value);
    Value(double value) : v_(value) {}

    Value_type type() const;
    bool is_null() const { return type() == null_type; }
    // True when an integer is held as uint64 (above 2^63-1).
    bool is_uint64() const { return v_.which() == 7; }

    const Object& get_obj() const { return boost::get<Object>(v_); }
    const Array& get_array() const { return boost::get<Array>(v_); }
    const std::string& get_str() const { return boost::get<std::string>(v_); }
    bool get_bool() const { return boost::get<bool>(v_); }
    boost::int64_t get_int64() const;
    boost::uint64_t get_uint64() const;
    int get_int() const;  // throws std::range_error outside the range of int
    double get_real() const;  // an integer is converted

    const Variant& get_variant() const { return v_; }

    bool operator==(const Value& other) const { return v_ == other.v_; }
    bool operator!=(const Value& other) const { return !(*this == other); }

private:
    Variant v_;
};

struct Pair {
    Pair() = default;
    Pair(const std::string& name, const Value& value) : name_(name), value_(value) {}
    bool operator==(const Pair& other) const { return name_ == other.name_ && value_ == other.value_; }

    std::string name_;
    Value value_;
};

// Parses `text` as one JSON document (any value at the top, white space around it allowed,
// strict syntax otherwise) into `value`. False, with `value` unchanged, when the text is not
// JSON or nests arrays and objects deeper than 512 levels.
AZT_API bool read(const std::string& text, Value& value);

// The value of the first member called `name`, or null when there is none.
AZT_API const Value& find_value(const Object& object, const std::string& name);

}  // namespace json_spirit
