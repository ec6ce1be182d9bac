#include "Json.h"

#include <cstdio>

namespace {

void AppendEscaped(std::string& out, const std::string& text) {
    out += '"';
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char code[8];
                    std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned>(c));
                    out += code;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

}  // namespace

void JsonWriter::Indent() {
    m_Out += '\n';
    m_Out.append(2 * m_Filled.size(), ' ');
}

void JsonWriter::BeforeValue() {
    if (m_AfterKey) {
        m_AfterKey = false;
        return;
    }
    if (m_Filled.empty()) return;
    if (m_Filled.back()) m_Out += ',';
    m_Filled.back() = true;
    Indent();
}

JsonWriter& JsonWriter::BeginObject() {
    BeforeValue();
    m_Out += '{';
    m_Filled.push_back(false);
    return *this;
}

void JsonWriter::Close(char bracket) {
    const bool filled = m_Filled.back();
    m_Filled.pop_back();
    if (filled) Indent();
    m_Out += bracket;
}

JsonWriter& JsonWriter::EndObject() {
    Close('}');
    return *this;
}

JsonWriter& JsonWriter::BeginArray() {
    BeforeValue();
    m_Out += '[';
    m_Filled.push_back(false);
    return *this;
}

JsonWriter& JsonWriter::EndArray() {
    Close(']');
    return *this;
}

JsonWriter& JsonWriter::Key(const std::string& key) {
    BeforeValue();
    AppendEscaped(m_Out, key);
    m_Out += ": ";
    m_AfterKey = true;
    return *this;
}

JsonWriter& JsonWriter::String(const std::string& value) {
    BeforeValue();
    AppendEscaped(m_Out, value);
    return *this;
}

JsonWriter& JsonWriter::Int(long long value) {
    BeforeValue();
    m_Out += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
    BeforeValue();
    m_Out += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::Null() {
    BeforeValue();
    m_Out += "null";
    return *this;
}

std::string JsonWriter::Take() {
    m_Out += '\n';
    return std::move(m_Out);
}
