#pragma once
// An option message: a record identified by its type pair (group, type) whose fields are
// numbered. A field holds one of: a 64-bit signed integer, a string, one child message, or an
// ordered list of child messages. Subclient content, agent configuration, restore options and
// index metadata travel between the catalog, the controller and the library as the XML text of
// such messages (serialize / unserialize).
//
// Ownership: a message owns its fields and, by value, every child message below it; copies are
// deep and independent. Threads: a plain value; one thread at a time per object, distinct
// objects from any threads.
//
// Every field survives a round trip through the text, including fields no reader of this
// library knows, so a caller may read a stored message, change one field and write the rest back
// unchanged. unserialize reads into a fresh message and replaces this one only on success: a
// refused text leaves the message as it was. serialize leaves `xml` as it was when it fails.
//
// The text (UTF-8, indented for a person reading it in the catalog):
//   <message group="30" type="2718">
//     <field n="1" list="true">             an ordered list: zero or more <message> elements
//       <message group="30" type="2718">...</message>
//     </field>
//     <field n="2"><message .../></field>    one child message
//     <field n="3" s="acct"/>               a string (tab, line ends, '<', '&', quotes escaped)
//     <field n="7" i="-17"/>                an integer, decimal
//   </message>
// Fields are written in field-number order. A reader refuses what it cannot take whole (an
// unknown attribute, text between elements, a field number used twice) rather than drop it.
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "platform/util/Export.h"

class AZT_API CNMessageBase {
public:
    // Results of serialize and unserialize, one per cause. describe() names each in words.
    enum Result : int {
        Ok = 0,
        NotXml = 1,        // the text is not well-formed XML (empty or cut short included)
        NotAMessage = 2,   // well-formed, but not one <message> with a numeric group and type
        OtherType = 3,     // a message of another type pair than this one's
        BadField = 4,      // a field without a (unique, numeric) number, a bad integer text, a
                           // field holding nothing or more than one kind of value, stray content
        TooDeep = 5,       // messages nested deeper than MaxDepth
        TooLarge = 6,      // a text longer than MaxTextBytes
        NotWritable = 7,   // serialize: a string holds a NUL byte, which XML cannot carry
        NoMemory = 8,      // memory ran out
    };
    // Bounds that keep a damaged or hostile text from exhausting the stack or the memory: the
    // outermost message is depth 1.
    static constexpr int MaxDepth = 64;
    static constexpr size_t MaxTextBytes = 16u * 1024 * 1024;

    CNMessageBase();  // type pair 0/0: unserialize accepts any pair and takes the text's
    CNMessageBase(int group, int type);

    int group() const { return m_group; }
    int type() const { return m_type; }

    bool has(int field) const;
    // The integer in `field`; `fallback` when the field is absent or holds another kind.
    long long getint64(int field, long long fallback = 0) const;
    void setint64(int field, long long value);
    // The string in `field`; "" when the field is absent or holds another kind.
    std::string getstring(int field) const;
    void setstring(int field, const std::string& value);
    // The child message in `field`; null when absent or the field holds another kind.
    const CNMessageBase* getchild(int field) const;
    // The child message in `field`, created as an empty message of group/type when the field is
    // absent or holds another kind (which it replaces). An existing child is kept as it is.
    CNMessageBase& child(int field, int group, int type);
    void setchild(int field, const CNMessageBase& value);
    // The list in `field`; null when absent or the field holds another kind.
    const std::vector<CNMessageBase>* getlist(int field) const;
    // The list in `field`, created empty when the field is absent or holds another kind (which
    // it replaces). Elements may be messages of any pair.
    std::vector<CNMessageBase>& list(int field);
    void remove(int field);
    void clear();  // no fields; type pair kept
    // The numbers of the fields present, in increasing order.
    std::vector<int> fields() const;

    // Same pair and the same fields with the same values, children compared in full.
    bool operator==(const CNMessageBase& other) const;
    bool operator!=(const CNMessageBase& other) const { return !(*this == other); }

    // Replaces `xml` with the message's text. 0 on success; TooDeep, TooLarge, NotWritable or
    // NoMemory (xml unchanged) for a message no reader could take back.
    int serialize(std::string& xml) const;
    // Reads `xml` into this message, replacing its fields. 0 on success, else a Result naming
    // the cause (the message unchanged). A message of pair 0/0 takes the pair of the text; any
    // other pair must match the text's. Child messages may have any pair.
    int unserialize(const std::string& xml);
    // The same, with `error` set to what is wrong and where (field numbers along the way) on
    // failure, for a log line or a user's message.
    int unserialize(const std::string& xml, std::string& error);
    // The cause a Result stands for, in words ("not XML", "another type pair", ...).
    static const char* describe(int result);

private:
    struct Field {
        enum Kind { Integer, Text, Child, List } kind = Integer;
        long long number = 0;
        std::string text;
        std::vector<CNMessageBase> messages;  // Child: exactly one; List: the elements
        bool operator==(const Field& other) const;
    };
    friend class MessageXml;

    int m_group = 0;
    int m_type = 0;
    std::map<int, Field> m_fields;
};
