#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Builds one JSON document in a string, with the commas placed by the writer: keys and values
// are written in the order a reader will find them. Texts are taken as UTF-8.
class JsonWriter {
public:
    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    JsonWriter& BeginArray();
    JsonWriter& EndArray();
    JsonWriter& Key(const std::string& key);
    JsonWriter& String(const std::string& value);
    JsonWriter& Int(long long value);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();

    // The document, with a line feed behind it.
    std::string Take();

private:
    void BeforeValue();
    void Indent();
    void Close(char bracket);

    std::string m_Out;
    // Per open level: whether it holds an item already.
    std::vector<bool> m_Filled;
    bool m_AfterKey = false;
};
