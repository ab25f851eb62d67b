#include "platform/messages/CNMessageBase.h"

#include <climits>
#include <cstring>
#include <exception>

#include <pugixml.hpp>

namespace {

const char* const kMessage = "message";
const char* const kField = "field";

// Decimal text of a signed 64-bit value: an optional '-', then digits, nothing else. strtoll
// would also take spaces, a '+' and a tail of junk, and would clamp an overflow silently.
bool parseDecimal(const char* text, long long low, long long high, long long& value) {
    const char* p = text;
    bool negative = *p == '-';
    if (negative) ++p;
    if (*p == '\0') return false;
    // Accumulate towards the negative side, whose range is the larger one.
    long long result = 0;
    for (; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        int digit = *p - '0';
        if (result < (LLONG_MIN + digit) / 10) return false;
        result = result * 10 - digit;
    }
    if (!negative) {
        if (result == LLONG_MIN) return false;
        result = -result;
    }
    if (result < low || result > high) return false;
    value = result;
    return true;
}

// Collects the printed text, and stops collecting past the size limit so that an oversized
// message costs no more memory than the limit.
struct LimitedWriter : pugi::xml_writer {
    std::string text;
    bool overflow = false;
    void write(const void* data, size_t size) override {
        if (overflow || text.size() + size > CNMessageBase::MaxTextBytes) {
            overflow = true;
            return;
        }
        text.append(static_cast<const char*>(data), size);
    }
};

}  // namespace

// The XML conversions; a friend of CNMessageBase so that it walks the fields directly.
class MessageXml {
public:
    // --- writing ---

    static int write(const CNMessageBase& message, pugi::xml_node parent, int depth) {
        if (depth > CNMessageBase::MaxDepth) return CNMessageBase::TooDeep;
        pugi::xml_node node = parent.append_child(kMessage);
        if (!node || !node.append_attribute("group").set_value(message.m_group) ||
            !node.append_attribute("type").set_value(message.m_type))
            return CNMessageBase::NoMemory;
        for (const auto& entry : message.m_fields) {
            const CNMessageBase::Field& field = entry.second;
            pugi::xml_node element = node.append_child(kField);
            if (!element || !element.append_attribute("n").set_value(entry.first)) return CNMessageBase::NoMemory;
            int result = CNMessageBase::Ok;
            switch (field.kind) {
            case CNMessageBase::Field::Integer:
                if (!element.append_attribute("i").set_value(field.number)) result = CNMessageBase::NoMemory;
                break;
            case CNMessageBase::Field::Text:
                // XML has no way to carry a NUL, not even as a character reference.
                if (field.text.find('\0') != std::string::npos) return CNMessageBase::NotWritable;
                if (!element.append_attribute("s").set_value(field.text.c_str())) result = CNMessageBase::NoMemory;
                break;
            case CNMessageBase::Field::List:
                if (!element.append_attribute("list").set_value("true")) return CNMessageBase::NoMemory;
                [[fallthrough]];  // the elements are written as a child is
            case CNMessageBase::Field::Child:
                for (const CNMessageBase& child : field.messages) {
                    result = write(child, element, depth + 1);
                    if (result != CNMessageBase::Ok) break;
                }
                break;
            }
            if (result != CNMessageBase::Ok) return result;
        }
        return CNMessageBase::Ok;
    }

    // --- reading ---

    struct Reader {
        std::string error;
        std::vector<std::string> path;  // where the reader is, for the error text

        int fail(int result, const std::string& what) {
            std::string where;
            for (const std::string& step : path) where += (where.empty() ? "" : ", ") + step;
            error = where.empty() ? what : "in " + where + ": " + what;
            return result;
        }

        // The group and type of a <message> element. `outermost` decides which code a fault
        // gets: a bad outermost element is not a message; a bad inner one is a bad field.
        int readPair(pugi::xml_node node, bool outermost, int& group, int& type) {
            int code = outermost ? CNMessageBase::NotAMessage : CNMessageBase::BadField;
            bool seenGroup = false, seenType = false;
            for (pugi::xml_attribute attribute : node.attributes()) {
                bool isGroup = std::strcmp(attribute.name(), "group") == 0;
                bool isType = std::strcmp(attribute.name(), "type") == 0;
                if (!isGroup && !isType)
                    return fail(code, std::string("message has an unknown attribute '") + attribute.name() + "'");
                bool& seen = isGroup ? seenGroup : seenType;
                long long value = 0;
                if (seen) return fail(code, std::string("message has '") + attribute.name() + "' twice");
                if (!parseDecimal(attribute.value(), INT_MIN, INT_MAX, value))
                    return fail(code, std::string("message ") + attribute.name() + " '" + attribute.value() +
                                          "' is not a whole number");
                seen = true;
                (isGroup ? group : type) = static_cast<int>(value);
            }
            if (!seenGroup || !seenType) return fail(code, "message without a group and a type");
            return CNMessageBase::Ok;
        }

        int readFields(pugi::xml_node node, CNMessageBase& message, int depth) {
            if (depth > CNMessageBase::MaxDepth)
                return fail(CNMessageBase::TooDeep,
                            "messages nested deeper than " + std::to_string(CNMessageBase::MaxDepth) + " levels");
            for (pugi::xml_node element : node.children()) {
                if (element.type() != pugi::node_element)
                    return fail(CNMessageBase::BadField, "text inside a message, outside its fields");
                if (std::strcmp(element.name(), kField) != 0)
                    return fail(CNMessageBase::BadField,
                                std::string("unexpected element <") + element.name() + "> inside a message");
                int number = 0;
                CNMessageBase::Field field;
                int result = readField(element, depth, number, field);
                if (result != CNMessageBase::Ok) return result;
                if (!message.m_fields.emplace(number, std::move(field)).second)
                    return fail(CNMessageBase::BadField, "field " + std::to_string(number) + " appears twice");
            }
            return CNMessageBase::Ok;
        }

        int readField(pugi::xml_node element, int depth, int& number, CNMessageBase::Field& field) {
            pugi::xml_attribute n, s, i, list;
            for (pugi::xml_attribute attribute : element.attributes()) {
                pugi::xml_attribute* slot = nullptr;
                if (std::strcmp(attribute.name(), "n") == 0) slot = &n;
                else if (std::strcmp(attribute.name(), "s") == 0) slot = &s;
                else if (std::strcmp(attribute.name(), "i") == 0) slot = &i;
                else if (std::strcmp(attribute.name(), "list") == 0) slot = &list;
                if (!slot || *slot)
                    return fail(CNMessageBase::BadField, std::string("field has ") + (slot ? "a second" : "an unknown") +
                                                             " attribute '" + attribute.name() + "'");
                *slot = attribute;
            }
            long long value = 0;
            if (!n) return fail(CNMessageBase::BadField, "field without a number");
            if (!parseDecimal(n.value(), INT_MIN, INT_MAX, value))
                return fail(CNMessageBase::BadField, std::string("field number '") + n.value() + "' is not a whole number");
            number = static_cast<int>(value);
            path.push_back("field " + std::to_string(number));
            int result = readValue(element, depth, s, i, list, field);
            if (result == CNMessageBase::Ok) path.pop_back();
            return result;
        }

        int readValue(pugi::xml_node element, int depth, pugi::xml_attribute s, pugi::xml_attribute i,
                      pugi::xml_attribute list, CNMessageBase::Field& field) {
            if ((s ? 1 : 0) + (i ? 1 : 0) + (list ? 1 : 0) > 1)
                return fail(CNMessageBase::BadField, "field holds more than one kind of value");
            if (list && std::strcmp(list.value(), "true") != 0)
                return fail(CNMessageBase::BadField, std::string("list marker '") + list.value() + "' is not 'true'");
            bool scalar = s || i;
            size_t count = 0;
            for (pugi::xml_node child : element.children()) {
                if (scalar) return fail(CNMessageBase::BadField, "field holds a value and content besides");
                if (child.type() != pugi::node_element || std::strcmp(child.name(), kMessage) != 0)
                    return fail(CNMessageBase::BadField, "field holds something other than messages");
                ++count;
            }
            if (s) {
                field.kind = CNMessageBase::Field::Text;
                field.text = s.value();
                return CNMessageBase::Ok;
            }
            if (i) {
                field.kind = CNMessageBase::Field::Integer;
                if (!parseDecimal(i.value(), LLONG_MIN, LLONG_MAX, field.number))
                    return fail(CNMessageBase::BadField,
                                std::string("integer '") + i.value() + "' is not a 64-bit whole number");
                return CNMessageBase::Ok;
            }
            if (!list && count != 1)
                return fail(CNMessageBase::BadField,
                            count == 0 ? "field holds no value" : "field holds several messages without a list marker");
            field.kind = list ? CNMessageBase::Field::List : CNMessageBase::Field::Child;
            field.messages.reserve(count);
            size_t index = 0;
            for (pugi::xml_node child : element.children()) {
                if (list) path.push_back("element " + std::to_string(++index));
                CNMessageBase message;
                int result = readPair(child, false, message.m_group, message.m_type);
                if (result == CNMessageBase::Ok) result = readFields(child, message, depth + 1);
                if (result != CNMessageBase::Ok) return result;
                if (list) path.pop_back();
                field.messages.push_back(std::move(message));
            }
            return CNMessageBase::Ok;
        }
    };

    static int read(const std::string& xml, CNMessageBase& target, std::string& error) {
        Reader reader;
        if (xml.size() > CNMessageBase::MaxTextBytes) {
            error = "text of " + std::to_string(xml.size()) + " bytes is larger than the limit of " +
                    std::to_string(CNMessageBase::MaxTextBytes);
            return CNMessageBase::TooLarge;
        }
        pugi::xml_document document;
        // As a fragment, so that text around the document element, which the default mode drops
        // unseen, is there to be refused.
        pugi::xml_parse_result parsed = document.load_buffer(
            xml.data(), xml.size(), pugi::parse_default | pugi::parse_fragment, pugi::encoding_utf8);
        if (parsed.status == pugi::status_out_of_memory) {
            error = "out of memory while reading the text";
            return CNMessageBase::NoMemory;
        }
        if (!parsed) {
            error = std::string("not XML: ") + parsed.description() + " at byte " + std::to_string(parsed.offset);
            return CNMessageBase::NotXml;
        }
        pugi::xml_node root;
        for (pugi::xml_node node : document.children()) {
            if (node.type() != pugi::node_element) {
                error = "not XML: text outside the document element";
                return CNMessageBase::NotXml;
            }
            if (root) {
                error = "not a message: more than one document element";
                return CNMessageBase::NotAMessage;
            }
            root = node;
        }
        if (!root) {
            error = "not XML: no document element";
            return CNMessageBase::NotXml;
        }
        if (std::strcmp(root.name(), kMessage) != 0) {
            error = std::string("not a message: the document element is <") + root.name() + ">";
            return CNMessageBase::NotAMessage;
        }
        CNMessageBase message(target.m_group, target.m_type);
        int result = reader.readPair(root, true, message.m_group, message.m_type);
        if (result == CNMessageBase::Ok && (target.m_group != 0 || target.m_type != 0) &&
            (message.m_group != target.m_group || message.m_type != target.m_type)) {
            reader.error = "a message of type " + std::to_string(message.m_group) + "/" +
                           std::to_string(message.m_type) + " where " + std::to_string(target.m_group) + "/" +
                           std::to_string(target.m_type) + " is expected";
            result = CNMessageBase::OtherType;
        }
        if (result == CNMessageBase::Ok) result = reader.readFields(root, message, 1);
        if (result != CNMessageBase::Ok) {
            error = reader.error;
            return result;
        }
        target.m_group = message.m_group;
        target.m_type = message.m_type;
        target.m_fields.swap(message.m_fields);
        return CNMessageBase::Ok;
    }
};

bool CNMessageBase::Field::operator==(const Field& other) const {
    if (kind != other.kind) return false;
    switch (kind) {
    case Integer: return number == other.number;
    case Text: return text == other.text;
    default: return messages == other.messages;
    }
}

CNMessageBase::CNMessageBase() = default;

CNMessageBase::CNMessageBase(int group, int type) : m_group(group), m_type(type) {}

bool CNMessageBase::has(int field) const { return m_fields.count(field) != 0; }

long long CNMessageBase::getint64(int field, long long fallback) const {
    auto it = m_fields.find(field);
    return it != m_fields.end() && it->second.kind == Field::Integer ? it->second.number : fallback;
}

void CNMessageBase::setint64(int field, long long value) {
    Field& slot = m_fields[field] = Field();
    slot.kind = Field::Integer;
    slot.number = value;
}

std::string CNMessageBase::getstring(int field) const {
    auto it = m_fields.find(field);
    return it != m_fields.end() && it->second.kind == Field::Text ? it->second.text : std::string();
}

void CNMessageBase::setstring(int field, const std::string& value) {
    Field replacement;
    replacement.kind = Field::Text;
    replacement.text = value;
    m_fields[field] = std::move(replacement);
}

const CNMessageBase* CNMessageBase::getchild(int field) const {
    auto it = m_fields.find(field);
    return it != m_fields.end() && it->second.kind == Field::Child ? &it->second.messages.front() : nullptr;
}

CNMessageBase& CNMessageBase::child(int field, int group, int type) {
    Field& slot = m_fields[field];
    if (slot.kind != Field::Child) {
        slot = Field();
        slot.kind = Field::Child;
        slot.messages.emplace_back(group, type);
    }
    return slot.messages.front();
}

void CNMessageBase::setchild(int field, const CNMessageBase& value) {
    // Copied first: `value` may be this message's own child, which the assignment replaces.
    Field replacement;
    replacement.kind = Field::Child;
    replacement.messages.push_back(value);
    m_fields[field] = std::move(replacement);
}

const std::vector<CNMessageBase>* CNMessageBase::getlist(int field) const {
    auto it = m_fields.find(field);
    return it != m_fields.end() && it->second.kind == Field::List ? &it->second.messages : nullptr;
}

std::vector<CNMessageBase>& CNMessageBase::list(int field) {
    Field& slot = m_fields[field];
    if (slot.kind != Field::List) {
        slot = Field();
        slot.kind = Field::List;
    }
    return slot.messages;
}

void CNMessageBase::remove(int field) { m_fields.erase(field); }

void CNMessageBase::clear() { m_fields.clear(); }

std::vector<int> CNMessageBase::fields() const {
    std::vector<int> numbers;
    for (const auto& entry : m_fields) numbers.push_back(entry.first);
    return numbers;
}

bool CNMessageBase::operator==(const CNMessageBase& other) const {
    return m_group == other.m_group && m_type == other.m_type && m_fields == other.m_fields;
}

int CNMessageBase::serialize(std::string& xml) const {
    try {
        pugi::xml_document document;
        int result = MessageXml::write(*this, document, 1);
        if (result != Ok) return result;
        LimitedWriter writer;
        document.save(writer, "  ", pugi::format_indent | pugi::format_no_declaration, pugi::encoding_utf8);
        if (writer.overflow) return TooLarge;
        xml.swap(writer.text);
        return Ok;
    } catch (const std::exception&) {
        return NoMemory;
    }
}

int CNMessageBase::unserialize(const std::string& xml) {
    std::string error;
    return unserialize(xml, error);
}

int CNMessageBase::unserialize(const std::string& xml, std::string& error) {
    try {
        return MessageXml::read(xml, *this, error);
    } catch (const std::exception&) {
        error = "out of memory while reading the text";
        return NoMemory;
    }
}

const char* CNMessageBase::describe(int result) {
    switch (result) {
    case Ok: return "success";
    case NotXml: return "not XML";
    case NotAMessage: return "not a message";
    case OtherType: return "a message of another type";
    case BadField: return "a malformed field";
    case TooDeep: return "messages nested too deep";
    case TooLarge: return "text too large";
    case NotWritable: return "a string holds a NUL byte";
    case NoMemory: return "out of memory";
    default: return "unknown result";
    }
}
