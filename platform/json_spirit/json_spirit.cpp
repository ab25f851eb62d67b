#include "platform/json_spirit/json_spirit.h"

#include <rapidjson/reader.h>

#include <climits>
#include <limits>
#include <stdexcept>
#include <utility>

namespace json_spirit {

namespace {

const int kMaxDepth = 512;
const boost::uint64_t kInt64Max = static_cast<boost::uint64_t>(std::numeric_limits<boost::int64_t>::max());

// Builds a Value from rapidjson's parse events. Open arrays and objects wait on a stack of
// their own (not the call stack), so the depth is bounded by kMaxDepth and nothing else.
class Builder {
public:
    bool Null() { return add(Value()); }
    bool Bool(bool b) { return add(Value(b)); }
    bool Int(int i) { return add(Value(i)); }
    bool Uint(unsigned u) { return add(Value(u)); }
    bool Int64(int64_t i) { return add(Value(i)); }
    bool Uint64(uint64_t u) { return add(Value(static_cast<unsigned long long>(u))); }
    bool Double(double d) { return add(Value(d)); }
    bool RawNumber(const char*, rapidjson::SizeType, bool) { return false; }
    bool String(const char* text, rapidjson::SizeType length, bool) { return add(Value(std::string(text, length))); }
    bool Key(const char* text, rapidjson::SizeType length, bool) {
        m_open.back().key.assign(text, length);
        return true;
    }
    bool StartObject() { return open(true); }
    bool EndObject(rapidjson::SizeType) { return close(Value(std::move(m_open.back().object))); }
    bool StartArray() { return open(false); }
    bool EndArray(rapidjson::SizeType) { return close(Value(std::move(m_open.back().array))); }

    Value& result() { return m_result; }

private:
    struct Open {
        bool isObject;
        Object object;
        Array array;
        std::string key;
    };

    bool open(bool isObject) {
        if (static_cast<int>(m_open.size()) >= kMaxDepth) return false;
        m_open.push_back(Open{isObject, Object(), Array(), std::string()});
        return true;
    }
    bool close(Value value) {
        m_open.pop_back();
        return add(std::move(value));
    }
    bool add(Value value) {
        if (m_open.empty()) {
            m_result = std::move(value);
        } else if (m_open.back().isObject) {
            m_open.back().object.push_back(Pair(m_open.back().key, Value()));
            m_open.back().object.back().value_ = std::move(value);
        } else {
            m_open.back().array.push_back(std::move(value));
        }
        return true;
    }

    std::vector<Open> m_open;
    Value m_result;
};

}  // namespace

Value::Value(unsigned long long value) {
    if (value > kInt64Max)
        v_ = static_cast<boost::uint64_t>(value);
    else
        v_ = static_cast<boost::int64_t>(value);
}

Value_type Value::type() const {
    static const Value_type byIndex[] = {obj_type, array_type, str_type, bool_type,
                                         int_type, real_type,  null_type, int_type};
    return byIndex[v_.which()];
}

boost::int64_t Value::get_int64() const {
    if (is_uint64()) throw std::range_error("integer " + std::to_string(boost::get<boost::uint64_t>(v_)) +
                                            " is too large for a signed 64-bit value");
    return boost::get<boost::int64_t>(v_);
}

boost::uint64_t Value::get_uint64() const {
    if (is_uint64()) return boost::get<boost::uint64_t>(v_);
    boost::int64_t value = boost::get<boost::int64_t>(v_);
    if (value < 0) throw std::range_error("negative integer " + std::to_string(value) + " read as unsigned");
    return static_cast<boost::uint64_t>(value);
}

int Value::get_int() const {
    boost::int64_t value = get_int64();
    if (value < INT_MIN || value > INT_MAX)
        throw std::range_error("integer " + std::to_string(value) + " does not fit an int");
    return static_cast<int>(value);
}

double Value::get_real() const {
    if (v_.which() == 4) return static_cast<double>(boost::get<boost::int64_t>(v_));
    if (is_uint64()) return static_cast<double>(boost::get<boost::uint64_t>(v_));
    return boost::get<double>(v_);
}

bool read(const std::string& text, Value& value) {
    Builder builder;
    rapidjson::Reader reader;
    rapidjson::StringStream stream(text.c_str());
    // Iterative parsing: a deeply nested text cannot exhaust the call stack.
    rapidjson::ParseResult ok = reader.Parse<rapidjson::kParseIterativeFlag>(stream, builder);
    // A NUL inside the text ends rapidjson's stream early: what follows it is not JSON.
    if (!ok || stream.Tell() != text.size()) return false;
    value = std::move(builder.result());
    return true;
}

const Value& find_value(const Object& object, const std::string& name) {
    static const Value null;
    for (const Pair& pair : object)
        if (pair.name_ == name) return pair.value_;
    return null;
}

}  // namespace json_spirit
