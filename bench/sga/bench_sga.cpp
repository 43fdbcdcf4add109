// The .sga archive against the plain copy it stands beside: writing a new
// archive and reading one back (check, unpack, rename into place) for
// documents of several sizes, and reading a long signature list.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <QFile>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/list_file.h"

namespace {

struct Scratch {
  Scratch() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "dossar-bench-sga-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) std::abort();
    dir = tmpl;
  }
  ~Scratch() { std::filesystem::remove_all(dir); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  void put(const std::string& name, std::size_t size) const {
    std::ofstream out(dir + "/" + name, std::ios::binary);
    const std::string block(1 << 16, 'd');
    for (std::size_t left = size; left > 0; left -= std::min(left, block.size()))
      out.write(block.data(), static_cast<std::streamsize>(std::min(left, block.size())));
  }
  QString q(const std::string& name) const { return QString::fromStdString(dir + "/" + name); }
  std::string dir;
};

void BM_CopyFile(benchmark::State& state) {
  Scratch s;
  const auto size = static_cast<std::size_t>(state.range(0));
  s.put("doc.bin", size);
  for (auto _ : state) {
    if (!dsutils::DS_CopyFile(s.q("doc.bin"), s.q("copy.bin"), false)) state.SkipWithError("copy failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void BM_WriteArchive(benchmark::State& state) {
  Scratch s;
  const auto size = static_cast<std::size_t>(state.range(0));
  s.put("doc.bin", size);
  s.put("doc.bin.1", 2048);
  dsutils::EngineHelper h;
  for (auto _ : state) {
    if (h.WriteSignatureList(s.q("doc.bin"), s.q("doc.bin.sga")) != 1) state.SkipWithError("write failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void BM_ReadArchive(benchmark::State& state) {
  Scratch s;
  const auto size = static_cast<std::size_t>(state.range(0));
  s.put("doc.bin", size);
  s.put("doc.bin.1", 2048);
  dsutils::EngineHelper h;
  if (h.WriteSignatureList(s.q("doc.bin"), s.q("doc.bin.sga")) != 1) std::abort();
  std::filesystem::create_directory(s.dir + "/unpack");
  std::filesystem::copy_file(s.dir + "/doc.bin.sga", s.dir + "/unpack/in.sga");
  QString doc;
  QStringList sigs;
  for (auto _ : state) {
    if (h.ReadSignatureList(s.q("unpack/in.sga"), doc, sigs) != 1) state.SkipWithError("read failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void BM_ReadLongList(benchmark::State& state) {
  std::string text = "[Header]\r\nVersion=1\r\n[Context]\r\nDocument=doc.bin\r\n";
  for (int i = 1; i <= state.range(0); ++i)
    text += "Signature_" + std::to_string(i) + "=doc.bin." + std::to_string(i) + "\r\n";
  for (auto _ : state) {
    dsutils::SignatureListFile list;
    benchmark::DoNotOptimize(list.ReadBytes(text));
    benchmark::DoNotOptimize(list.GetValue("Context", "Signature_" + std::to_string(state.range(0)), ""));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

BENCHMARK(BM_CopyFile)->Arg(1 << 20)->Arg(64 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteArchive)->Arg(1 << 20)->Arg(64 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadArchive)->Arg(1 << 20)->Arg(64 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadLongList)->Arg(100)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
