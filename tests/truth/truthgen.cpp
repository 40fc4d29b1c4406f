// truthgen: writes a generated device table in the simulator's tag format and,
// beside it, the truth the truth test checks against: for every request item
// and every address read, the names and values the logger must export (and
// the failures), one JSON object per line.
//
//   truthgen [--seed N] DIR
//
// DIR receives logix-tags.txt, micro800-tags.txt, micrologix-tags.txt (load
// them with eipsim --tags), one request list per data source (SOURCE.xml) and
// truth.jsonl.
#include "TruthTable.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

void Write(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

std::string TruthLines(const truth::Table& table) {
    std::string out;
    for (const truth::Source& s : table.Sources) {
        const auto items = truth::ComputeTruth(table.DeviceOf(s.Family), s.Items, truth::Reader::Engine);
        for (const truth::ItemTruth& item : items) {
            for (const truth::Outcome& o : item.Addresses) {
                out += "{\"source\":" + truth::JsonQuote(s.Name) +
                       ",\"item\":" + truth::JsonQuote(item.Source->Caption) +
                       ",\"address\":" + truth::JsonQuote(o.Address);
                if (!o.Ok) {
                    out += ",\"fails\":true}\n";
                    continue;
                }
                out += ",\"values\":{";
                for (std::size_t i = 0; i < o.Values.size(); ++i)
                    out += (i ? "," : "") + truth::JsonQuote(o.Values[i].first) + ":" +
                           o.Values[i].second.Show();
                out += "}}\n";
            }
        }
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    std::uint64_t seed = 1;
    std::string dir;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc)
            seed = std::strtoull(argv[++i], nullptr, 0);
        else if (argv[i][0] != '-' && dir.empty())
            dir = argv[i];
        else {
            std::fprintf(stderr, "usage: truthgen [--seed N] DIR\n");
            return 2;
        }
    }
    if (dir.empty()) {
        std::fprintf(stderr, "usage: truthgen [--seed N] DIR\n");
        return 2;
    }
    try {
        const truth::Table table = truth::Generate(seed);
        std::filesystem::create_directories(dir);
        Write(std::filesystem::path(dir) / "logix-tags.txt", table.Logix.TagText());
        Write(std::filesystem::path(dir) / "micro800-tags.txt", table.Micro800.TagText());
        Write(std::filesystem::path(dir) / "micrologix-tags.txt", table.MicroLogix.TagText());
        for (const truth::Source& s : table.Sources)
            Write(std::filesystem::path(dir) / (s.Name + ".xml"), truth::RequestListXml(s.Items, 200, 1000));
        Write(std::filesystem::path(dir) / "truth.jsonl", TruthLines(table));
        std::size_t items = 0;
        for (const truth::Source& s : table.Sources)
            items += s.Items.size();
        std::printf("truthgen: seed %llu, %zu data sources, %zu items, %zu read batches\n",
                    static_cast<unsigned long long>(seed), table.Sources.size(), items, table.Reads.size());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "truthgen: %s\n", e.what());
        return 1;
    }
    return 0;
}
