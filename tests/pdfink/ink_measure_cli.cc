// Stand-in for the run driver's ink-measure dispatch, so tests can check
// the printed line, the trace lines before it and the exit status.
#include <cstdio>
#include <cstring>

#include "pdfink/ink_measure.h"

int main(int argc, char** argv) {
  const char* prefix = "--ink-measure=";
  if (argc != 2 || std::strncmp(argv[1], prefix, std::strlen(prefix)) != 0) return 2;
  std::string line = pdfink::InkMeasureCommandLine(argv[1] + std::strlen(prefix));
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  return 0;
}
