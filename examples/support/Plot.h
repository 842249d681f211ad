// The samples an example host's callbacks received, written as CSV and drawn as an SVG
// plot (ECG above, one PPG channel below) for a browser. Shared by the example hosts.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace example {

// One sample as a callback reported it: time in seconds, AC and DC in microvolts.
struct Point {
    double t;
    int ac, dc;
};

inline bool WriteCsv(const std::string& path, const std::vector<Point>& ecg, const std::vector<Point>& ppg) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        return false;
    }
    std::fprintf(f, "t_s,ecg_ac_uV,ecg_dc_uV,ppg_ac_uV,ppg_dc_uV\n");
    const size_t n = std::max(ecg.size(), ppg.size());
    for (size_t i = 0; i < n; ++i) {
        const double t = i < ecg.size() ? ecg[i].t : ppg[i].t;
        std::fprintf(f, "%.3f,", t);
        if (i < ecg.size()) {
            std::fprintf(f, "%d,%d,", ecg[i].ac, ecg[i].dc);
        } else {
            std::fprintf(f, ",,");
        }
        if (i < ppg.size()) {
            std::fprintf(f, "%d,%d\n", ppg[i].ac, ppg[i].dc);
        } else {
            std::fprintf(f, ",\n");
        }
    }
    return std::fclose(f) == 0;
}

// One panel of the plot: the AC values of a channel against t.
inline void Panel(FILE* f, const std::vector<Point>& points, const char* title, const char* colour, int top, int height,
                  int width, double seconds) {
    const int left = 70;
    const int plotWidth = width - left - 20;
    int lo = 0, hi = 1;
    if (!points.empty()) {
        lo = hi = points[0].ac;
        for (const Point& p : points) {
            lo = std::min(lo, p.ac);
            hi = std::max(hi, p.ac);
        }
        if (hi == lo) {
            ++hi;
        }
    }
    std::fprintf(f, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"#fafafa\" stroke=\"#999\"/>\n", left,
                 top, plotWidth, height);
    std::fprintf(f, "<text x=\"%d\" y=\"%d\" font-size=\"14\">%s</text>\n", left, top - 6, title);
    std::fprintf(f, "<text x=\"%d\" y=\"%d\" font-size=\"11\" text-anchor=\"end\">%d</text>\n", left - 4, top + 10, hi);
    std::fprintf(f, "<text x=\"%d\" y=\"%d\" font-size=\"11\" text-anchor=\"end\">%d</text>\n", left - 4, top + height,
                 lo);
    for (int s = 0; s <= static_cast<int>(seconds); ++s) {
        const double x = left + plotWidth * (s / seconds);
        std::fprintf(f, "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#ddd\"/>\n", x, top, x,
                     top + height);
        std::fprintf(f, "<text x=\"%.1f\" y=\"%d\" font-size=\"11\" text-anchor=\"middle\">%d s</text>\n", x,
                     top + height + 14, s);
    }
    std::fprintf(f, "<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"1\" points=\"", colour);
    for (const Point& p : points) {
        const double x = left + plotWidth * (p.t / seconds);
        const double y = top + height - height * (static_cast<double>(p.ac - lo) / (hi - lo));
        std::fprintf(f, "%.1f,%.1f ", x, y);
    }
    std::fprintf(f, "\"/>\n");
}

inline bool WriteSvg(const std::string& path, double seconds, const std::vector<Point>& ecg,
                     const std::vector<Point>& ppg, const char* ppgTitle) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        return false;
    }
    const int width = 1200, height = 560;
    std::fprintf(f,
                 "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" font-family=\"sans-serif\">\n",
                 width, height);
    std::fprintf(f, "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n");
    Panel(f, ecg, "ECG AC (microvolts)", "#c0392b", 30, 220, width, seconds);
    Panel(f, ppg, ppgTitle, "#2471a3", 300, 220, width, seconds);
    std::fprintf(f, "</svg>\n");
    return std::fclose(f) == 0;
}

}  // namespace example
