#include "ParamView.h"

#include <cstdio>

#include "CliTexts.h"

namespace {

std::string Hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value & 0xFFFFu);
    return text;
}

std::string WordKey(int word) {
    return "word_" + std::to_string(word);
}

std::string WordWhere(int word) {
    return std::to_string(word) + ":0-15";
}

std::string Value(const ParamChange& c, unsigned raw) {
    return c.def != nullptr ? c.def->Text(raw).ToStr() : Hex4(raw);
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

std::vector<ParamChange> ParamChanges(const WordMap& from, const WordMap& to, int protoVer) {
    std::vector<ParamChange> out;
    unsigned covered[kLuWords] = {};
    for (const ParamDef* p : AllParams(protoVer)) {
        if (p->word >= 0 && p->word < kLuWords) covered[p->word] |= ((1u << p->width) - 1u) << p->shift;
        const unsigned a = p->Raw(from);
        const unsigned b = p->Raw(to);
        if (a != b) out.push_back({p, p->word, a, b});
    }
    for (int w = 0; w < kLuWords; ++w) {
        const unsigned a = GetWord(from, w);
        const unsigned b = GetWord(to, w);
        if (((a ^ b) & ~covered[w] & 0xFFFFu) != 0) out.push_back({nullptr, w, a, b});
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
        if (c.def != nullptr)
            out += c.def->key + " (" + c.def->Where() + ") " + c.def->Label().ToStr();
        else
            out += WordKey(c.word) + " (" + WordWhere(c.word) + ") " + TextF(kTextWordOfNoParameter, c.word);
        out += ": " + Value(c, c.from) + " -> " + Value(c, c.to) + "\n";
    }
    return out;
}

void ChangesJson(JsonWriter& json, const std::vector<ParamChange>& changes) {
    json.BeginArray();
    for (const ParamChange& c : changes) {
        json.BeginObject();
        json.Key("key").String(c.def != nullptr ? c.def->key : WordKey(c.word));
        json.Key("label").String(c.def != nullptr ? c.def->Label().ToStr()
                                                  : TextF(kTextWordOfNoParameter, c.word));
        json.Key("where").String(c.def != nullptr ? c.def->Where() : WordWhere(c.word));
        json.Key("old_raw").Int(c.from);
        json.Key("old").String(Value(c, c.from));
        json.Key("new_raw").Int(c.to);
        json.Key("new").String(Value(c, c.to));
        json.EndObject();
    }
    json.EndArray();
}
