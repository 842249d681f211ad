// Fuzz target: the waveform-file reader on arbitrary bytes. The tree is walked whole and
// every node converted each way; the reader must neither crash nor recurse without bound.
#include <cstddef>
#include <cstdint>
#include <string>

#include "playback/json/JSONFile.h"
#include "playback/json/JSONParser.h"

namespace {

void Walk(JSONNode* node, int depth) {
    if (node == nullptr || depth > kJSONMaxDepth + 2) {
        return;
    }
    (void)JSONNodeToString(node, "");
    (void)JSONNodeToInt(node, 0);
    (void)JSONNodeToDouble(node, 0.0);
    (void)JSONNodeToTime32(node, 0);
    if (node->GetType() == kJSONObject) {
        for (const auto& member : static_cast<JSONObject*>(node)->Members()) {
            Walk(member.second, depth + 1);
        }
    } else if (node->GetType() == kJSONArray) {
        JSONArray& array = *static_cast<JSONArray*>(node);
        for (unsigned long i = 0; i < array.GetCount(); ++i) {
            Walk(array[i], depth + 1);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    JSONMemoryStream stream(reinterpret_cast<const char*>(data), size);
    JSONNode reader(&stream);
    JSONNode* root = reader.ReadValueNode();
    Walk(root, 0);
    delete root;
    return 0;
}
