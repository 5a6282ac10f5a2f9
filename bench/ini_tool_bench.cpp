// Load, Read and Save of INI files with very long lines and many keys.
#include "host/ini_tool.h"
#include "platform/sim/sim_platform.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

struct Folder {
    Folder() {
        std::string tmpl = (fs::temp_directory_path() / "quorvel-bench-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) != nullptr) path = tmpl;
    }
    ~Folder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    fs::path path;
};

void Write(const fs::path& p, const std::string& text) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << text;
}

void BM_LoadMegabyteLine(benchmark::State& state) {
    Folder dir;
    const std::string path = (dir.path / "big.ini").string();
    const auto size = static_cast<std::size_t>(state.range(0));
    Write(path, "[S]\r\nlong=" + std::string(size, 'v') + "\r\n" + std::string(size, 'k') + "\r\n");
    quorvel::platform::SimPlatform sim;
    quorvel::core::Reporter reporter(sim);
    for (auto _ : state) {
        quorvel::host::IniTool ini(reporter, sim);
        ini.Load(path);
        benchmark::DoNotOptimize(ini.Read("S", "long", ""));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0) * 2);
}
BENCHMARK(BM_LoadMegabyteLine)->Arg(1 << 16)->Arg(1 << 20)->Arg(1 << 22);

void BM_SaveManyKeys(benchmark::State& state) {
    Folder dir;
    const std::string path = (dir.path / "many.ini").string();
    quorvel::platform::SimPlatform sim;
    quorvel::core::Reporter reporter(sim);
    quorvel::host::IniTool ini(reporter, sim);
    ini.Load(path);
    for (int i = 0; i < state.range(0); ++i) ini.WriteKey("S" + std::to_string(i % 37), "K" + std::to_string(i), "value");
    for (auto _ : state) ini.Save();
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_SaveManyKeys)->Arg(1000)->Arg(100000);

}  // namespace
