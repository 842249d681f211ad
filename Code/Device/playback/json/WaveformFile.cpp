#include "playback/json/WaveformFile.h"

#include <cmath>
#include <new>

#include "playback/Signal.h"

int LoadWaveformJSONData(JSONNode* node, double*& out, unsigned long count) {
    if (node == nullptr || node->GetType() != kJSONArray) {
        return 0;
    }
    JSONArray& array = *static_cast<JSONArray*>(node);
    const unsigned long elements = array.GetCount();
    if (elements == 0) {
        return 0;
    }
    const unsigned long length = count != 0 ? count : elements;
    double* data = new (std::nothrow) double[length]();
    if (data == nullptr) {
        return 0;
    }
    const unsigned long used = elements < length ? elements : length;
    for (unsigned long i = 0; i < used; ++i) {
        JSONNode* element = array[i];
        if (element->GetType() != kJSONNumber) {
            continue;
        }
        const double v = JSONNodeToDouble(element, 0.0);
        if (!std::isfinite(v)) {
            delete[] data;
            return 0;
        }
        data[i] = v;
    }
    out = data;
    return 1;
}

int GetWaveformNodeData(JSONObject* root, const char* name, PLAY_RAW_DATA& out) {
    if (root == nullptr || name == nullptr) {
        return 0;
    }
    JSONNode* member = root->GetValue(name);
    if (member == nullptr || member->GetType() != kJSONObject) {
        return 0;
    }
    JSONObject& channel = *static_cast<JSONObject*>(member);
    JSONNode* ac = channel.GetValue("AC");
    JSONNode* dc = channel.GetValue("DC");
    JSONNode* rate = channel.GetValue("SampleRate");
    if (ac == nullptr || dc == nullptr || ac->GetType() == kJSONNull || dc->GetType() == kJSONNull || rate == nullptr ||
        rate->GetType() != kJSONNumber || ac->GetType() != kJSONArray) {
        return 0;
    }
    const double sampleRate = JSONNodeToDouble(rate, 0.0);
    const unsigned long count = static_cast<JSONArray*>(ac)->GetCount();
    if (!std::isfinite(sampleRate) || sampleRate <= 0.0 || count == 0 || count > 0x7FFFFFFFul ||
        !IsPlayableCycle(static_cast<int>(count), sampleRate, kWaveformFileOutputRate)) {
        return 0;
    }
    double* acData = nullptr;
    double* dcData = nullptr;
    if (LoadWaveformJSONData(ac, acData) == 0) {
        return 0;
    }
    if (LoadWaveformJSONData(dc, dcData, count) == 0) {
        delete[] acData;
        return 0;
    }
    out.fSampleRate = sampleRate;
    out.nSampleCount = static_cast<int32_t>(count);
    out.pACData = acData;
    out.pDCData = dcData;
    return 1;
}
