// The waveform-file reader's tree: nodes that parse themselves from a JSONStream as they
// are built, and the conversions that read values out of them.
//
// Owns: each container its children. No lock, no thread, no I/O beyond the stream.
//
// The reader reports no errors and never throws on bad text: a container ends quietly
// where the text stops fitting, keeping what it read so far. Whitespace is the space,
// tab, line feed and carriage return, and may stand before a key's colon; a number may
// carry a signed exponent. Containers nest at most kJSONMaxDepth deep; a deeper one is
// left empty and ends the container that holds it. Escapes stay two characters.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "playback/json/JSONFile.h"

enum JSONType {
    kJSONObject = 0,
    kJSONArray = 1,
    kJSONString = 2,
    kJSONNumber = 3,
    kJSONTrue = 4,
    kJSONFalse = 5,
    kJSONNull = 6,
    kJSONNone = 7,
};

// Containers deeper than this (the root is depth 0) are not read.
constexpr int kJSONMaxDepth = 256;

class JSONNode {
public:
    explicit JSONNode(JSONStream* stream, int depth = 0) : pStream(stream), nDepth(depth) {}
    virtual ~JSONNode() {}
    JSONNode(const JSONNode&) = delete;
    JSONNode& operator=(const JSONNode&) = delete;

    int GetType() const { return nType; }
    // 0 without a stream; else the stream's next character, with skipWhitespace non-zero
    // the first that is not whitespace.
    char ReadNextChar(int skipWhitespace);
    void SetNextChar(char c);
    // The next value, by its first non-whitespace character; owned by the caller, never
    // null (a JSONNumber, possibly empty, when the character starts nothing else).
    JSONNode* ReadValueNode();

    JSONStream* GetStream() const { return pStream; }

protected:
    JSONStream* pStream;
    int nType = kJSONNone;
    int nDepth;
};

class JSONObject : public JSONNode {
public:
    explicit JSONObject(JSONStream* stream, int depth = 0);
    ~JSONObject() override;
    // The member's node (borrowed), or null when the key is absent.
    JSONNode* GetValue(std::string key) const;
    const std::map<std::string, JSONNode*>& Members() const { return mapValues; }
    void Parse();

private:
    std::map<std::string, JSONNode*> mapValues;
};

class JSONArray : public JSONNode {
public:
    explicit JSONArray(JSONStream* stream, int depth = 0);
    ~JSONArray() override;
    unsigned long GetCount() const { return static_cast<unsigned long>(vecValues.size()); }
    JSONNode* operator[](unsigned long i) { return i < vecValues.size() ? vecValues[i] : nullptr; }
    const JSONNode* operator[](unsigned long i) const { return i < vecValues.size() ? vecValues[i] : nullptr; }
    void Parse();

private:
    std::vector<JSONNode*> vecValues;
};

class JSONString : public JSONNode {
public:
    explicit JSONString(JSONStream* stream, int depth = 0);
    std::string GetValue() const { return strValue; }

private:
    std::string strValue;
};

class JSONNumber : public JSONNode {
public:
    explicit JSONNumber(JSONStream* stream, int depth = 0);
    std::string GetValue() const { return std::string(szValue, nLength); }
    const char* Text() const { return szValue; }
    void Parse();
    // Appends c while fewer than 63 characters are held, else drops it.
    void PushBack(char c);

private:
    char szValue[64] = {};
    size_t nLength = 0;
};

class JSONDefinedToken : public JSONNode {
public:
    JSONDefinedToken(JSONStream* stream, const char* token, int type, int depth);
    void Parse();

private:
    std::string strToken;
};

class JSONTrue : public JSONDefinedToken {
public:
    explicit JSONTrue(JSONStream* stream, int depth = 0) : JSONDefinedToken(stream, "true", kJSONTrue, depth) {}
};
class JSONFalse : public JSONDefinedToken {
public:
    explicit JSONFalse(JSONStream* stream, int depth = 0) : JSONDefinedToken(stream, "false", kJSONFalse, depth) {}
};
class JSONNull : public JSONDefinedToken {
public:
    explicit JSONNull(JSONStream* stream, int depth = 0) : JSONDefinedToken(stream, "null", kJSONNull, depth) {}
};

// One quoted string from the node's stream: whitespace skipped, then a double quote, else
// the empty string (the character is consumed). Runs to the closing quote or the end of
// input; a backslash is kept with the character after it.
std::string StreamReadString(JSONNode* node);

// Each returns the default when the node is null or not of the type used.
std::string JSONNodeToString(JSONNode* node, const std::string& defaultValue);  // string
int JSONNodeToInt(JSONNode* node, int defaultValue);                            // number, atoi
double JSONNodeToDouble(JSONNode* node, double defaultValue);                   // number, atof
// strtoul (base 0) of the number's text without its last three characters (a text of
// fewer than three is used whole): a millisecond count read as seconds.
long JSONNodeToTime32(JSONNode* node, long defaultValue);
