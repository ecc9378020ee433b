// The report of vexa-port-bench: collects each run's results by scenario and
// transport and, at the end, prints the table of medians with the channel's
// ratios and the table of their ranges, and writes the JSON and the SVG plot
// of the round trips. Relies on the orchestrator to add results in the order
// the rows should appear, and on the transport names of bench.h.
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
    Stat s[k_ntransports];
    bool has[k_ntransports] = {};
};

std::vector<Row> g_rows;
std::vector<std::string> g_notes;
std::map<std::string, std::vector<double>> g_quantiles; // "chan 64" -> last run's q0..q100

Row &row(const std::string &name, const std::string &unit, bool higher_better) {
    for (auto &r : g_rows)
        if (r.name == name) return r;
    g_rows.push_back(Row{name, unit, higher_better, {}, {}});
    return g_rows.back();
}

// How many times the channel is better than transport t in row r; NAN when
// either is missing or the quotient means nothing (a zero).
double ratio(const Row &r, int t) {
    if (!r.has[t_chan] || !r.has[t]) return NAN;
    const double c = r.s[t_chan].med(), o = r.s[t].med();
    const double x = r.higher_better ? c / o : o / c;
    return std::isfinite(x) && x > 0 ? x : NAN;
}

// The peers the channel is measured against for "x best peer": the bare ring
// (the limit, with its own column) and the channel's own zero-copy calls are
// not among them.
bool is_peer(int t) { return t != t_chan && t != t_chanzc && t != t_bare; }

// The best peer of a row, or -1.
int best_peer(const Row &r) {
    int best = -1;
    for (int t = 0; t < k_ntransports; ++t) {
        if (!is_peer(t) || !r.has[t]) continue;
        if (best < 0 || (r.higher_better ? r.s[t].med() > r.s[best].med() : r.s[t].med() < r.s[best].med())) best = t;
    }
    return best;
}

std::string ratio_text(double x) {
    if (std::isnan(x)) return "-";
    char b[32];
    snprintf(b, sizeof b, "%.2f", x);
    return b;
}

} // namespace

void add(const std::string &name, const std::string &unit, bool hb, int t, double v) {
    if (std::isnan(v)) return;
    Row &r = row(name, unit, hb);
    r.s[t].v.push_back(v);
    r.has[t] = true;
}

void add_quantiles(const std::string &key, const std::vector<double> &q) { g_quantiles[key] = q; }

void add_note(const std::string &note) { g_notes.push_back(note); }

// Two tables of the same rows: the medians with the channel's ratios, then
// the ranges, so that each stays narrow enough to read.
void print_table(int reps) {
    printf("\nvexa-port-bench: median of %d repetitions; x = how many times the channel (copying) is better\n\n", reps);
    printf("%-34s %-8s", "scenario", "unit");
    for (int t = 0; t < k_ntransports; ++t) printf(" %9.9s", k_transports[t]);
    printf(" %15s %7s %7s %7s\n", "x best peer", "x bare", "x sock", "x pipe");
    for (const Row &r : g_rows) {
        printf("%-34s %-8s", r.name.c_str(), r.unit.c_str());
        for (int t = 0; t < k_ntransports; ++t) {
            char c[32] = "-";
            if (r.has[t]) snprintf(c, sizeof c, "%.3g", r.s[t].med());
            printf(" %9s", c);
        }
        const int b = best_peer(r);
        std::string xb = "-";
        if (b >= 0 && !std::isnan(ratio(r, b))) xb = ratio_text(ratio(r, b)) + " " + k_transports[b];
        printf(" %15s %7s %7s %7s\n", xb.c_str(), ratio_text(ratio(r, t_bare)).c_str(),
               ratio_text(ratio(r, t_sock)).c_str(), ratio_text(ratio(r, t_pipe)).c_str());
    }
    printf("\n[min..max] of the same runs\n\n%-34s", "scenario");
    for (int t = 0; t < k_ntransports; ++t) printf(" %-15.15s", k_transports[t]);
    printf("\n");
    for (const Row &r : g_rows) {
        printf("%-34s", r.name.c_str());
        for (int t = 0; t < k_ntransports; ++t) {
            char c[48] = "-";
            if (r.has[t]) snprintf(c, sizeof c, "[%.3g..%.3g]", r.s[t].min(), r.s[t].max());
            printf(" %-15s", c);
        }
        printf("\n");
    }
    printf("\ncolumns: ");
    for (int t = 0; t < k_ntransports; ++t) printf("%s%s = %s", t ? ", " : "", k_transports[t], k_transport_labels[t]);
    printf("\n\"x best peer\": against the best of boost, iox, zmq, sock and pipe in that row\n");
    for (const std::string &n : g_notes) printf("note: %s\n", n.c_str());
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
        for (int t = 0; t < k_ntransports; ++t) {
            if (!r.has[t]) continue;
            fprintf(f, ", \"%s\": {\"median\": %.6g, \"min\": %.6g, \"max\": %.6g, \"runs\": [", k_transports[t],
                    r.s[t].med(), r.s[t].min(), r.s[t].max());
            for (size_t k = 0; k < r.s[t].v.size(); ++k) fprintf(f, "%s%.6g", k ? ", " : "", r.s[t].v[k]);
            fprintf(f, "]}");
        }
        fprintf(f, "}%s\n", i + 1 < g_rows.size() ? "," : "");
    }
    fprintf(f, "  ],\n  \"notes\": [");
    for (size_t i = 0; i < g_notes.size(); ++i) fprintf(f, "%s\"%s\"", i ? ", " : "", g_notes[i].c_str());
    fprintf(f, "],\n  \"round_trip_quantiles_us\": {");
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
    const char *colors[k_ntransports] = {"#1f77b4", "#17becf", "#7f7f7f", "#ff7f0e",
                                         "#9467bd", "#8c564b", "#d62728", "#2ca02c"};
    int li = 0;
    for (auto &[name, q] : g_quantiles) {
        const int t = transport_index(name.substr(0, name.find(' ')));
        if (t < 0) continue;
        const bool dashed = name.find("4096") != std::string::npos;
        fprintf(f, "<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"2\"%s points=\"", colors[t],
                dashed ? " stroke-dasharray=\"6,4\"" : "");
        for (size_t i = 0; i < q.size(); ++i) fprintf(f, "%.1f,%.1f ", X(q[i]), Y(static_cast<double>(i) / 100.0));
        fprintf(f, "\"/>\n");
        const double ly = T + 20 + 20 * li++;
        fprintf(f, "<line x1=\"%.0f\" y1=\"%.0f\" x2=\"%.0f\" y2=\"%.0f\" stroke=\"%s\" stroke-width=\"2\"%s/>\n",
                W - R + 15, ly, W - R + 45, ly, colors[t], dashed ? " stroke-dasharray=\"6,4\"" : "");
        fprintf(f, "<text x=\"%.0f\" y=\"%.0f\">%s %s</text>\n", W - R + 52, ly + 4, k_transport_labels[t],
                dashed ? "4 KiB" : "64 B");
    }
    fprintf(f, "</svg>\n");
    fclose(f);
    return true;
}

} // namespace bench
