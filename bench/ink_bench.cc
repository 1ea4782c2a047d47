// Ink measurement of a 200-page browser PDF against the raster approach
// (render the last page with pdftoppm, scan for the lowest non-white row),
// and of its twin with objects packed into object streams by qpdf.
#include <benchmark/benchmark.h>

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pdfink/ink_measure.h"

#ifndef PDFINK_BENCH_BROWSER
#define PDFINK_BENCH_BROWSER "/usr/lib/chromium/chromium-headless-shell"
#endif

namespace {

constexpr int kPages = 200;
std::string gDir, gPdf, gPacked;
std::uintmax_t gFileSize = 0;
int gLastPage = kPages;  // the document's real page count, known after printing

int shell(const std::string& cmd) {
  int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

bool makeSample() {
  if (const char* given = std::getenv("PDFINK_BENCH_PDF")) {
    gPdf = given;
    return std::filesystem::exists(gPdf);
  }
  std::string html =
      "<!doctype html><html><head><style>@page{size:612pt 792pt;margin:36pt}"
      "body{font:11pt serif;-webkit-print-color-adjust:exact}"
      ".p{break-after:page}.b{height:60px;background:#468;margin:8px 0}</style></head><body>";
  for (int i = 0; i < kPages; ++i) {
    html += std::string(i + 1 < kPages ? "<div class=p>" : "<div>") + "<h2>Page " + std::to_string(i + 1) + "</h2>";
    for (int k = 0; k < 6; ++k)
      html += "<p>Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor "
              "incididunt ut labore et dolore magna aliqua. Ut enim ad minim veniam, quis nostrud "
              "exercitation ullamco laboris nisi ut aliquip ex ea commodo consequat.</p>";
    html += "<div class=b></div><table border=1><tr><td>cell</td><td>" + std::to_string(i) +
            "</td></tr></table></div>";
  }
  html += "<p>The end.</p></body></html>";
  std::ofstream(gDir + "/doc.html") << html;
  gPdf = gDir + "/doc.pdf";
  std::string cmd = std::string("timeout 300 ") + PDFINK_BENCH_BROWSER +
                    " --no-sandbox --disable-gpu --no-zygote --disable-dev-shm-usage"
                    " --user-data-dir='" + gDir + "/profile' --no-pdf-header-footer"
                    " '--print-to-pdf=" + gPdf + "' 'file://" + gDir + "/doc.html' >/dev/null 2>&1";
  shell(cmd);
  std::filesystem::remove_all(gDir + "/profile");
  return std::filesystem::exists(gPdf);
}

// Raster approach for one page: distance from the top to the lowest
// non-white row, in points.
double rasterInkEnd(int page, int dpi) {
  std::string prefix = gDir + "/r";
  std::string cmd = "pdftoppm -gray -r " + std::to_string(dpi) + " -f " + std::to_string(page) +
                    " -l " + std::to_string(page) + " -singlefile '" + gPdf + "' '" + prefix + "'";
  if (shell(cmd) != 0) return -1;
  std::ifstream in(prefix + ".pgm", std::ios::binary);
  std::string magic;
  int w = 0, h = 0, maxv = 0;
  in >> magic >> w >> h >> maxv;
  in.get();
  std::vector<unsigned char> px(static_cast<std::size_t>(w) * h);
  in.read(reinterpret_cast<char*>(px.data()), static_cast<std::streamsize>(px.size()));
  for (int y = h - 1; y >= 0; --y)
    for (int x = 0; x < w; ++x)
      if (px[static_cast<std::size_t>(y) * w + x] < 250) return (y + 1) * 72.0 / dpi;
  return 0;
}

// The same document as written by qpdf with object streams and a
// cross-reference stream; empty when qpdf is missing.
std::string makePacked() {
  std::string out = gDir + "/packed.pdf";
  int rc = shell("qpdf --object-streams=generate '" + gPdf + "' '" + out + "' >/dev/null 2>&1");
  return (rc == 0 || rc == 3) && std::filesystem::exists(out) ? out : "";
}

void BM_MeasureInk(benchmark::State& state) {
  const std::string& path = state.range(0) ? gPacked : gPdf;
  if (path.empty()) {
    state.SkipWithError("qpdf missing");
    return;
  }
  pdfink::InkResult r;
  for (auto _ : state) {
    pdfink::measureInkGuarded(path, pdfink::commandModeOptions(), r);
    benchmark::DoNotOptimize(r.inkEnd);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * std::filesystem::file_size(path)));
  state.counters["pages/s"] =
      benchmark::Counter(static_cast<double>(r.pages), benchmark::Counter::kIsIterationInvariantRate);
}

// Every page interpreted, to show per-page cost independent of where the
// backwards walk stops.
void BM_InterpretAllPages(benchmark::State& state) {
  pdfink::Document doc;
  std::string error;
  if (!doc.open(gPdf, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  pdfink::InkOptions options = pdfink::commandModeOptions();
  std::size_t decoded = 0;
  for (auto _ : state) {
    decoded = 0;
    for (const auto& page : doc.pages()) {
      std::vector<std::uint8_t> content;
      doc.decodeStream(doc.resolve(doc.get(page, "Contents")), content);
      decoded += content.size();
      pdfink::InkMeasure m;
      m.document = &doc;
      m.options = &options;
      m.pageBox = m.canvasBox = pdfink::Box{0, 0, 612, 792};
      pdfink::interpret(m, content, doc.inherited(page, "Resources"),
                        pdfink::initialGraphicsState(m.pageBox), 0);
      benchmark::DoNotOptimize(m.minY);
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * decoded));
  state.counters["pages/s"] = benchmark::Counter(static_cast<double>(doc.pages().size()),
                                                 benchmark::Counter::kIsIterationInvariantRate);
}

void BM_RasterLastPage(benchmark::State& state) {
  const int dpi = static_cast<int>(state.range(0));
  double end = 0;
  for (auto _ : state) end = rasterInkEnd(gLastPage, dpi);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * gFileSize));
  state.counters["pages/s"] = benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
  benchmark::DoNotOptimize(end);
}

template <typename F>
double medianMs(int runs, F f) {
  std::vector<double> t;
  for (int i = 0; i < runs; ++i) {
    auto start = std::chrono::steady_clock::now();
    f();
    t.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

}  // namespace

// Wall-clock time throughout: the raster side runs in a child process.
BENCHMARK(BM_MeasureInk)->ArgName("packed")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_InterpretAllPages)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RasterLastPage)->Arg(72)->Arg(144)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/pdfink_bench_XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 1;
  gDir = tmpl;
  if (!makeSample()) {
    std::fprintf(stderr, "could not produce the sample PDF\n");
    std::filesystem::remove_all(gDir);
    return 1;
  }
  gFileSize = std::filesystem::file_size(gPdf);
  gPacked = makePacked();
  pdfink::InkResult r;
  pdfink::measureInkGuarded(gPdf, pdfink::commandModeOptions(), r);
  gLastPage = r.pages;
  std::printf("sample: %s, %d pages, %.2f MB, ink end %.2f pt on page %d\n", gPdf.c_str(), r.pages,
              gFileSize / 1e6, r.inkEnd, r.lastPage);

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  double ink = medianMs(21, [&] { pdfink::measureInkGuarded(gPdf, pdfink::commandModeOptions(), r); });
  double raster72 = medianMs(5, [] { rasterInkEnd(gLastPage, 72); });
  double raster144 = medianMs(5, [] { rasterInkEnd(gLastPage, 144); });
  std::printf("ink measure %.2f ms (open + page tree of %d pages + last page; %.0f pages/s, %.1f MB/s); raster last page %.2f ms at 72 dpi, "
              "%.2f ms at 144 dpi; raster/ink ratio %.1fx (72 dpi), %.1fx (144 dpi)\n",
              ink, r.pages, r.pages / (ink / 1000), gFileSize / 1e6 / (ink / 1000), raster72, raster144,
              raster72 / ink, raster144 / ink);
  if (!gPacked.empty()) {
    pdfink::InkResult p;
    double packed = medianMs(21, [&] { pdfink::measureInkGuarded(gPacked, pdfink::commandModeOptions(), p); });
    std::printf("object-stream twin: %.2f MB, %d pages, ink measure %.2f ms beside %.2f ms classic (%.2fx); "
                "ink end %.2f pt on page %d (classic %.2f pt on page %d)\n",
                std::filesystem::file_size(gPacked) / 1e6, p.pages, packed, ink, packed / ink, p.inkEnd, p.lastPage,
                r.inkEnd, r.lastPage);
  }
  std::printf("ink end: pdfink %.2f pt, raster 72 dpi %.2f pt, 144 dpi %.2f pt\n", r.inkEnd,
              rasterInkEnd(gLastPage, 72), rasterInkEnd(gLastPage, 144));
  std::filesystem::remove_all(gDir);
  return 0;
}
