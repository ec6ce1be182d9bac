#include "ParamView.h"

#include <cstdio>

#include "CliTexts.h"

namespace {

std::string Hex2(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFFu);
    return text;
}

// A byte that no parameter names: the word and which half.
std::string ByteKey(const ParamChange& c) {
    return "word_" + std::to_string(c.word) + (c.highByte ? ".high" : ".low");
}

std::string ByteWhere(const ParamChange& c) {
    return std::to_string(c.word) + (c.highByte ? ":8-15" : ":0-7");
}

std::string Value(const ParamChange& c, unsigned raw) {
    return c.param != nullptr ? c.param->Text(raw).ToStr() : Hex2(raw);
}

}  // namespace

std::vector<ParamValue> ParamValues(const WordMap& words, const WordMap* defaults, int protoVer) {
    std::vector<ParamValue> out;
    for (const ParamDef* p : AllParams(protoVer)) {
        ParamValue v;
        v.def = p;
        v.raw = p->Raw(words);
        if (defaults != nullptr) {
            v.defaultRaw = p->Raw(*defaults);
            v.differs = !p->SameValue(v.raw, *v.defaultRaw, protoVer);
        }
        out.push_back(v);
    }
    return out;
}

std::string ValuesText(const std::vector<ParamValue>& values) {
    std::string out;
    const std::string defaultWord = Text(kTextDefault);
    for (const ParamValue& v : values) {
        out += v.differs ? "* " : "  ";
        out += v.def->key + " (" + v.def->Where() + ") " + v.def->Label().ToStr() + ": " +
               v.def->Text(v.raw).ToStr();
        if (v.defaultRaw) out += " [" + defaultWord + ": " + v.def->Text(*v.defaultRaw).ToStr() + "]";
        out += '\n';
    }
    return out;
}

void ValuesJson(JsonWriter& json, const std::vector<ParamValue>& values) {
    json.BeginArray();
    for (const ParamValue& v : values) {
        const ParamDef& p = *v.def;
        json.BeginObject();
        json.Key("key").String(p.key);
        json.Key("label").String(p.Label().ToStr());
        json.Key("word").Int(p.word);
        json.Key("shift").Int(p.shift);
        json.Key("width").Int(p.width);
        json.Key("where").String(p.Where());
        json.Key("raw").Int(v.raw);
        json.Key("value").String(p.Text(v.raw).ToStr());
        if (v.defaultRaw) {
            json.Key("default_raw").Int(*v.defaultRaw);
            json.Key("default").String(p.Text(*v.defaultRaw).ToStr());
            json.Key("differs").Bool(v.differs);
        } else {
            json.Key("default_raw").Null();
            json.Key("default").Null();
            json.Key("differs").Null();
        }
        json.EndObject();
    }
    json.EndArray();
}

std::string ChangesText(const std::vector<ParamChange>& changes) {
    std::string out;
    for (const ParamChange& c : changes) {
        if (c.param != nullptr)
            out += c.param->key + " (" + c.param->Where() + ") " + c.param->Label().ToStr();
        else
            out += ByteKey(c) + " (" + ByteWhere(c) + ") " + TextF(kTextWordOfNoParameter, c.word);
        out += ": " + Value(c, c.oldRaw) + " -> " + Value(c, c.newRaw) + "\n";
    }
    return out;
}

void ChangesJson(JsonWriter& json, const std::vector<ParamChange>& changes) {
    json.BeginArray();
    for (const ParamChange& c : changes) {
        json.BeginObject();
        json.Key("key").String(c.param != nullptr ? c.param->key : ByteKey(c));
        json.Key("label").String(c.param != nullptr ? c.param->Label().ToStr()
                                                    : TextF(kTextWordOfNoParameter, c.word));
        json.Key("where").String(c.param != nullptr ? c.param->Where() : ByteWhere(c));
        json.Key("old_raw").Int(c.oldRaw);
        json.Key("old").String(Value(c, c.oldRaw));
        json.Key("new_raw").Int(c.newRaw);
        json.Key("new").String(Value(c, c.newRaw));
        json.EndObject();
    }
    json.EndArray();
}
