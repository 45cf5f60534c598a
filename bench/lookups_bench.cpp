/*
 * lookups_bench.cpp -- cost of loading the bundled tag and private
 * dictionaries, of building the lookup index, and of one lookup (a tag
 * with a row, a folded tag, a tag with no row).
 */
#include <benchmark/benchmark.h>

#include <string>

#include "medcore.h"

namespace {

const std::string kTagFile = std::string(QUENOR_DEFS_DIR) + "/tag_tab.def";
const std::string kPrvFile = std::string(QUENOR_DEFS_DIR) + "/prv_tab.def";

void LoadTagTab(benchmark::State &state) {
    for (auto _ : state) {
        AppData app{};
        char banner[64];
        init_AppData(&app, "bench", "1", banner);
        if (InitDICOMTagDef(&app, kTagFile.c_str(), 1) != 0)
            state.SkipWithError("tag_tab.def did not load");
        benchmark::DoNotOptimize(app.primary_count);
        DoneTagDef(&app);
    }
}
BENCHMARK(LoadTagTab)->Unit(benchmark::kMillisecond);

// Load plus the first lookup, which builds the index.
void LoadTagTabAndIndex(benchmark::State &state) {
    for (auto _ : state) {
        AppData app{};
        char banner[64];
        init_AppData(&app, "bench", "1", banner);
        InitDICOMTagDef(&app, kTagFile.c_str(), 1);
        int vr;
        getVR(&app, 0x00100010, &vr);
        benchmark::DoNotOptimize(vr);
        DoneTagDef(&app);
    }
}
BENCHMARK(LoadTagTabAndIndex)->Unit(benchmark::kMillisecond);

void LoadPrvTab(benchmark::State &state) {
    for (auto _ : state) {
        AppData app{};
        DefHolder defs{};
        if (InitDICOMPrvDef(&app, &defs, kPrvFile.c_str(), 1) != 0)
            state.SkipWithError("prv_tab.def did not load");
        benchmark::DoNotOptimize(defs.prv);
        DonePrvDef(&defs);
    }
}
BENCHMARK(LoadPrvTab)->Unit(benchmark::kMillisecond);

// One loaded dictionary shared by the lookup benchmarks.
AppData &Dictionary() {
    static AppData app = [] {
        AppData a{};
        char banner[64];
        init_AppData(&a, "bench", "1", banner);
        InitDICOMTagDef(&a, kTagFile.c_str(), 1);
        return a;
    }();
    return app;
}

// Argument: the tag looked up.
void GetVR(benchmark::State &state) {
    AppData &app = Dictionary();
    const uint32_t tag = (uint32_t)state.range(0);
    int vr;
    for (auto _ : state) {
        getVR(&app, tag, &vr);
        benchmark::DoNotOptimize(vr);
    }
}

void GetVRandName(benchmark::State &state) {
    AppData &app = Dictionary();
    const uint32_t tag = (uint32_t)state.range(0);
    int vr;
    const char *vrname, *name;
    for (auto _ : state) {
        getVRandName(&app, tag, &vr, &vrname, &name);
        benchmark::DoNotOptimize(name);
    }
}

// hit (0010,0010), folded (6002,3000), miss (0011,1234)
BENCHMARK(GetVR)->Arg(0x00100010)->Arg(0x60023000)->Arg(0x00111234);
BENCHMARK(GetVRandName)->Arg(0x00100010)->Arg(0x60023000)->Arg(0x00111234);

} // namespace

BENCHMARK_MAIN();
