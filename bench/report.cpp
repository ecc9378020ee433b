// The report of vexa-port-bench: collects each run's results by scenario and
// transport and, at the end, prints the table of medians with their ranges
// and the channel's ratios, and writes the JSON and the SVG plot of the round
// trips. Relies on the orchestrator to add results in the order the rows
// should appear, and on the transport names of bench.h.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench/bench.h"

namespace bench {
namespace {

struct Stat {
    std::vector<double> v;
    double med() const {
        if (v.empty()) return NAN;
        auto s = v;
        std::sort(s.begin(), s.end());
        return s.size() % 2 ? s[s.size() / 2] : (s[s.size() / 2 - 1] + s[s.size() / 2]) / 2;
    }
    double min() const { return v.empty() ? NAN : *std::min_element(v.begin(), v.end()); }
    double max() const { return v.empty() ? NAN : *std::max_element(v.begin(), v.end()); }
};

struct Row {
    std::string name, unit;
    bool higher_better;
    Stat s[3];
    bool has[3] = {false, false, false};
};

std::vector<Row> g_rows;
std::map<std::string, std::vector<double>> g_quantiles; // "chan 64" -> last run's q0..q100

Row &row(const std::string &name, const std::string &unit, bool higher_better) {
    for (auto &r : g_rows)
        if (r.name == name) return r;
    g_rows.push_back(Row{name, unit, higher_better, {}, {}});
    return g_rows.back();
}

void fmt(char *b, size_t n, const Row &r, int t) {
    if (!r.has[t]) {
        snprintf(b, n, "%s", "-");
        return;
    }
    snprintf(b, n, "%.3g [%.3g..%.3g]", r.s[t].med(), r.s[t].min(), r.s[t].max());
}

double ratio(const Row &r, int t) {
    if (!r.has[0] || !r.has[t]) return NAN;
    return r.higher_better ? r.s[0].med() / r.s[t].med() : r.s[t].med() / r.s[0].med();
}

} // namespace

void add(const std::string &name, const std::string &unit, bool hb, int t, double v) {
    if (std::isnan(v)) return;
    Row &r = row(name, unit, hb);
    r.s[t].v.push_back(v);
    r.has[t] = true;
}

void add_quantiles(const std::string &key, const std::vector<double> &q) { g_quantiles[key] = q; }

void print_table(int reps) {
    printf("\nvexa-port-bench: median [min..max] over %d repetitions; ratio = how many times the channel is better\n\n",
           reps);
    printf("%-34s %-9s %-26s %-26s %-26s %9s %9s\n", "scenario", "unit", "channel", "unix socket", "pipe (1 MiB)",
           "x socket", "x pipe");
    for (const Row &r : g_rows) {
        char c[3][64];
        for (int t = 0; t < 3; ++t) fmt(c[t], sizeof c[t], r, t);
        char x1[16] = "-", x2[16] = "-";
        if (!std::isnan(ratio(r, 1))) snprintf(x1, sizeof x1, "%.2f", ratio(r, 1));
        if (!std::isnan(ratio(r, 2))) snprintf(x2, sizeof x2, "%.2f", ratio(r, 2));
        printf("%-34s %-9s %-26s %-26s %-26s %9s %9s\n", r.name.c_str(), r.unit.c_str(), c[0], c[1], c[2], x1, x2);
    }
    fflush(stdout);
}

bool write_json(const std::string &path, int reps) {
    FILE *f = fopen(path.c_str(), "w");
    if (!f) {
        fprintf(stderr, "vexa-port-bench: cannot write %s\n", path.c_str());
        return false;
    }
    fprintf(f, "{\n  \"repetitions\": %d,\n  \"rows\": [\n", reps);
    for (size_t i = 0; i < g_rows.size(); ++i) {
        const Row &r = g_rows[i];
        fprintf(f, "    {\"scenario\": \"%s\", \"unit\": \"%s\", \"higher_is_better\": %s", r.name.c_str(),
                r.unit.c_str(), r.higher_better ? "true" : "false");
        for (int t = 0; t < 3; ++t) {
            if (!r.has[t]) continue;
            fprintf(f, ", \"%s\": {\"median\": %.6g, \"min\": %.6g, \"max\": %.6g, \"runs\": [", k_transports[t],
                    r.s[t].med(), r.s[t].min(), r.s[t].max());
            for (size_t k = 0; k < r.s[t].v.size(); ++k) fprintf(f, "%s%.6g", k ? ", " : "", r.s[t].v[k]);
            fprintf(f, "]}");
        }
        fprintf(f, "}%s\n", i + 1 < g_rows.size() ? "," : "");
    }
    fprintf(f, "  ],\n  \"round_trip_quantiles_us\": {");
    size_t k = 0;
    for (auto &[name, q] : g_quantiles) {
        fprintf(f, "%s\n    \"%s\": [", k++ ? "," : "", name.c_str());
        for (size_t i = 0; i < q.size(); ++i) fprintf(f, "%s%.4g", i ? ", " : "", q[i]);
        fprintf(f, "]");
    }
    fprintf(f, "\n  }\n}\n");
    fclose(f);
    return true;
}

// The round-trip distributions of the last repetition as cumulative curves
// on a logarithmic time axis, written as plain SVG.
bool write_svg(const std::string &path) {
    FILE *f = fopen(path.c_str(), "w");
    if (!f) {
        fprintf(stderr, "vexa-port-bench: cannot write %s\n", path.c_str());
        return false;
    }
    const double W = 760, H = 440, L = 70, R = 200, T = 40, B = 60;
    double lo = 1e300, hi = 0;
    for (auto &[n, q] : g_quantiles)
        for (double v : q)
            if (v > 0) lo = std::min(lo, v), hi = std::max(hi, v);
    if (hi <= 0) lo = 0.1, hi = 100;
    const double l0 = std::floor(std::log10(lo)), l1 = std::ceil(std::log10(hi));
    auto X = [&](double us) { return L + (std::log10(std::max(us, lo)) - l0) / std::max(l1 - l0, 1.0) * (W - L - R); };
    auto Y = [&](double p) { return T + (1 - p) * (H - T - B); };
    fprintf(f, "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" font-family=\"sans-serif\" "
               "font-size=\"12\">\n<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n", W, H);
    fprintf(f, "<text x=\"%.0f\" y=\"22\" font-size=\"15\">Round trip: cumulative distribution (last repetition)</text>\n",
            L);
    for (double e = l0; e <= l1; e += 1) {
        const double x = X(std::pow(10, e));
        fprintf(f, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/>\n", x, Y(1), x, Y(0));
        fprintf(f, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%g µs</text>\n", x, Y(0) + 18, std::pow(10, e));
    }
    for (int p = 0; p <= 100; p += 25) {
        fprintf(f, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/>\n", L, Y(p / 100.0),
                W - R, Y(p / 100.0));
        fprintf(f, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%d%%</text>\n", L - 6, Y(p / 100.0) + 4, p);
    }
    const char *colors[3] = {"#1f77b4", "#d62728", "#2ca02c"};
    const char *labels[3] = {"channel", "unix socket", "pipe"};
    int li = 0;
    for (auto &[name, q] : g_quantiles) {
        const int t = name.rfind("chan", 0) == 0 ? 0 : name.rfind("sock", 0) == 0 ? 1 : 2;
        const bool dashed = name.find("4096") != std::string::npos;
        fprintf(f, "<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"2\"%s points=\"", colors[t],
                dashed ? " stroke-dasharray=\"6,4\"" : "");
        for (size_t i = 0; i < q.size(); ++i) fprintf(f, "%.1f,%.1f ", X(q[i]), Y(static_cast<double>(i) / 100.0));
        fprintf(f, "\"/>\n");
        const double ly = T + 20 + 20 * li++;
        fprintf(f, "<line x1=\"%.0f\" y1=\"%.0f\" x2=\"%.0f\" y2=\"%.0f\" stroke=\"%s\" stroke-width=\"2\"%s/>\n",
                W - R + 15, ly, W - R + 45, ly, colors[t], dashed ? " stroke-dasharray=\"6,4\"" : "");
        fprintf(f, "<text x=\"%.0f\" y=\"%.0f\">%s %s</text>\n", W - R + 52, ly + 4, labels[t],
                dashed ? "4 KiB" : "64 B");
    }
    fprintf(f, "</svg>\n");
    fclose(f);
    return true;
}

} // namespace bench
