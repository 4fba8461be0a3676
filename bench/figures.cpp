// main() of every bench program: runs the benchmarks quietly, then prints the
// declared figures. "--verbose" also shows Google Benchmark's own table.
#include "bench/figures.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

namespace bx::bench {
namespace {

struct FigureDef {
    std::string name, bench, baseline, unit, target, counter;
};

std::vector<FigureDef>& Figures() {
    static std::vector<FigureDef> figures;
    return figures;
}

// Keeps each benchmark's counters (by its plain name, without arguments).
class Collector : public benchmark::ConsoleReporter {
public:
    explicit Collector(bool show) : show_(show) {}
    bool ReportContext(const Context& context) override {
        return show_ ? ConsoleReporter::ReportContext(context) : true;
    }
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) errors[run.run_name.function_name] = run.error_message;
            auto& counters = values[run.run_name.function_name];
            for (const auto& [key, counter] : run.counters) counters[key] = counter.value;
        }
        if (show_) ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, std::map<std::string, double>> values;
    std::map<std::string, std::string> errors;  // why a benchmark stopped

private:
    bool show_;
};

}  // namespace

int Figure(const std::string& name, const std::string& bench, const std::string& unit, const std::string& target,
           const std::string& counter) {
    Figures().push_back({name, bench, "", unit, target, counter});
    return 0;
}

int Ratio(const std::string& name, const std::string& bench, const std::string& baseline, const std::string& target,
          const std::string& counter) {
    Figures().push_back({name, bench, baseline, "x", target, counter});
    return 0;
}

}  // namespace bx::bench

int main(int argc, char** argv) {
    bool verbose = false;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--verbose") == 0)
            verbose = true;
        else
            args.push_back(argv[i]);
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    bx::bench::Collector collector(verbose);
    benchmark::RunSpecifiedBenchmarks(&collector);

    int missing = 0;
    for (const auto& f : bx::bench::Figures()) {
        auto value = [&](const std::string& bench) -> double {
            auto b = collector.values.find(bench);
            if (b == collector.values.end()) return -1;
            auto c = b->second.find(f.counter);
            return c == b->second.end() ? -1 : c->second;
        };
        double v = value(f.bench);
        if (!f.baseline.empty()) {
            double base = value(f.baseline);
            v = (v < 0 || base <= 0) ? -1 : v / base;
        }
        if (v < 0) {
            const auto error = collector.errors.find(f.bench);
            std::printf("%s: not measured (target %s)%s%s\n", f.name.c_str(), f.target.c_str(),
                        error == collector.errors.end() ? "" : " -- ",
                        error == collector.errors.end() ? "" : error->second.c_str());
            ++missing;
        } else if (f.unit == "x") {
            std::printf("%s: %.2fx (target %s)\n", f.name.c_str(), v, f.target.c_str());
        } else {
            std::printf("%s: %.6g %s (target %s)\n", f.name.c_str(), v, f.unit.c_str(), f.target.c_str());
        }
    }
    std::fflush(stdout);
    return missing ? 1 : 0;
}
