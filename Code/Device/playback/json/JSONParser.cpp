#include "playback/json/JSONParser.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

bool IsWhitespace(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

char JSONNode::ReadNextChar(int skipWhitespace) {
    if (pStream == nullptr) {
        return 0;
    }
    char c = pStream->ReadNextChar();
    if (skipWhitespace != 0) {
        while (IsWhitespace(c)) {
            c = pStream->ReadNextChar();
        }
    }
    return c;
}

void JSONNode::SetNextChar(char c) {
    if (pStream != nullptr) {
        pStream->SetNextChar(c);
    }
}

JSONNode* JSONNode::ReadValueNode() {
    char c = ReadNextChar(1);
    SetNextChar(c);
    const int depth = nDepth + 1;
    switch (c) {
        case '{':
            return new JSONObject(pStream, depth);
        case '[':
            return new JSONArray(pStream, depth);
        case 't':
            return new JSONTrue(pStream, depth);
        case 'f':
            return new JSONFalse(pStream, depth);
        case 'n':
            return new JSONNull(pStream, depth);
        case '"':
            return new JSONString(pStream, depth);
        default:
            return new JSONNumber(pStream, depth);
    }
}

// ---- Containers ------------------------------------------------------------------------

JSONObject::JSONObject(JSONStream* stream, int depth) : JSONNode(stream, depth) {
    nType = kJSONObject;
    Parse();
}

JSONObject::~JSONObject() {
    for (auto& member : mapValues) {
        delete member.second;
    }
}

JSONNode* JSONObject::GetValue(std::string key) const {
    auto it = mapValues.find(key);
    return it == mapValues.end() ? nullptr : it->second;
}

void JSONObject::Parse() {
    // Too deep: the '{' stays in the stream and ends the container around this one, so
    // neither the parse nor the destructors recurse without bound.
    if (nDepth > kJSONMaxDepth) {
        return;
    }
    char c = ReadNextChar(1);
    if (c != '{') {
        SetNextChar(c);
        return;
    }
    for (;;) {
        c = ReadNextChar(1);
        if (c == '}') {
            return;
        }
        SetNextChar(c);
        std::string key = StreamReadString(this);
        if (key.empty()) {
            return;
        }
        if (ReadNextChar(1) != ':') {
            return;
        }
        JSONNode* value = ReadValueNode();
        auto it = mapValues.find(key);
        if (it != mapValues.end()) {
            delete it->second;  // a later member of the same key replaces the earlier one
            it->second = value;
        } else {
            mapValues.emplace(std::move(key), value);
        }
        if (ReadNextChar(1) != ',') {
            return;
        }
    }
}

JSONArray::JSONArray(JSONStream* stream, int depth) : JSONNode(stream, depth) {
    nType = kJSONArray;
    Parse();
}

JSONArray::~JSONArray() {
    for (JSONNode* value : vecValues) {
        delete value;
    }
}

void JSONArray::Parse() {
    if (nDepth > kJSONMaxDepth) {
        return;
    }
    char c = ReadNextChar(1);
    if (c != '[') {
        SetNextChar(c);
        return;
    }
    for (;;) {
        c = ReadNextChar(1);
        if (c == ']') {
            return;
        }
        SetNextChar(c);
        vecValues.push_back(ReadValueNode());
        if (ReadNextChar(1) != ',') {
            return;
        }
    }
}

// ---- Scalars ---------------------------------------------------------------------------

std::string StreamReadString(JSONNode* node) {
    std::string text;
    if (node == nullptr) {
        return text;
    }
    if (node->ReadNextChar(1) != '"') {
        return text;
    }
    for (;;) {
        char c = node->ReadNextChar(0);
        if (c == 0 || c == '"') {
            return text;
        }
        text.push_back(c);
        if (c == '\\') {
            char escaped = node->ReadNextChar(0);
            if (escaped == 0) {
                return text;
            }
            text.push_back(escaped);
        }
    }
}

JSONString::JSONString(JSONStream* stream, int depth) : JSONNode(stream, depth) {
    nType = kJSONString;
    strValue = StreamReadString(this);
}

JSONNumber::JSONNumber(JSONStream* stream, int depth) : JSONNode(stream, depth) {
    nType = kJSONNumber;
    Parse();
}

void JSONNumber::PushBack(char c) {
    if (nLength < sizeof(szValue) - 1) {
        szValue[nLength++] = c;
    }
}

void JSONNumber::Parse() {
    char c = ReadNextChar(1);
    if (c != '-' && !IsDigit(c)) {
        SetNextChar(c);
        return;
    }
    PushBack(c);
    bool point = false;
    bool exponent = false;
    bool signAllowed = false;  // just after the exponent letter
    for (;;) {
        c = ReadNextChar(0);
        if (IsDigit(c)) {
            signAllowed = false;
        } else if (c == '.' && !point) {
            point = true;
            signAllowed = false;
        } else if ((c == 'e' || c == 'E') && !exponent) {
            exponent = true;
            signAllowed = true;
        } else if ((c == '-' || c == '+') && signAllowed) {
            signAllowed = false;
        } else {
            SetNextChar(c);
            return;
        }
        PushBack(c);
    }
}

JSONDefinedToken::JSONDefinedToken(JSONStream* stream, const char* token, int type, int depth)
    : JSONNode(stream, depth), strToken(token) {
    nType = type;
    Parse();
}

void JSONDefinedToken::Parse() {
    for (size_t i = 0; i < strToken.size(); ++i) {
        char c = ReadNextChar(i == 0 ? 1 : 0);
        if (c != strToken[i]) {
            SetNextChar(c);
            return;
        }
    }
}

// ---- Conversions -----------------------------------------------------------------------

std::string JSONNodeToString(JSONNode* node, const std::string& defaultValue) {
    if (node == nullptr || node->GetType() != kJSONString) {
        return defaultValue;
    }
    return static_cast<JSONString*>(node)->GetValue();
}

int JSONNodeToInt(JSONNode* node, int defaultValue) {
    if (node == nullptr || node->GetType() != kJSONNumber) {
        return defaultValue;
    }
    // atoi's result, without its undefined behaviour past the int range: saturated.
    long long v = std::strtoll(static_cast<JSONNumber*>(node)->Text(), nullptr, 10);
    if (v > INT_MAX) {
        return INT_MAX;
    }
    if (v < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(v);
}

double JSONNodeToDouble(JSONNode* node, double defaultValue) {
    if (node == nullptr || node->GetType() != kJSONNumber) {
        return defaultValue;
    }
    // The C conversion's result, read the same whatever locale the host has set (a host
    // with a comma decimal separator would otherwise read 0.5 as 0).
    const std::string text = static_cast<JSONNumber*>(node)->GetValue();
    double value = 0.0;
    const std::from_chars_result r = std::from_chars(text.data(), text.data() + text.size(), value);
    if (r.ec == std::errc::result_out_of_range) {
        const size_t e = text.find_first_of("eE");
        const bool tiny = e != std::string::npos && e + 1 < text.size() && text[e + 1] == '-';
        const bool negative = !text.empty() && text[0] == '-';
        value = tiny ? 0.0 : HUGE_VAL;
        return negative ? -value : value;
    }
    return r.ec == std::errc() ? value : 0.0;
}

long JSONNodeToTime32(JSONNode* node, long defaultValue) {
    if (node == nullptr || node->GetType() != kJSONNumber) {
        return defaultValue;
    }
    std::string text = static_cast<JSONNumber*>(node)->GetValue();
    if (text.size() >= 3) {
        text.resize(text.size() - 3);
    }
    return static_cast<long>(std::strtoul(text.c_str(), nullptr, 0));
}
