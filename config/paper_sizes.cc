#include "config/paper_sizes.h"

#include <iterator>
#include <string_view>

namespace {

struct PaperSize {
  std::string_view name;
  double width;
  double height;
};

constexpr PaperSize kPaperSizes[] = {
    {"Letter", 612, 792},       {"Note", 540, 720},         {"Legal", 612, 1008},
    {"A0", 2380, 3368},         {"A1", 1684, 2380},         {"A2", 1190, 1684},
    {"A3", 842, 1190},          {"A4", 595, 842},           {"A5", 421, 595},
    {"A6", 297, 421},           {"A7", 210, 297},           {"A8", 148, 210},
    {"A9", 105, 148},           {"A10", 74, 105},           {"B0", 2836, 4008},
    {"B1", 2004, 2836},         {"B2", 1418, 2004},         {"B3", 1002, 1418},
    {"B4", 709, 1002},          {"B5", 501, 709},           {"ArchE", 2592, 3456},
    {"ArchD", 1728, 2592},      {"ArchC", 1296, 1728},      {"ArchB", 864, 1296},
    {"ArchA", 648, 864},        {"Flsa", 612, 936},         {"HalfLetter", 396, 612},
    {"Letter11x17", 792, 1224}, {"Ledger", 1224, 792},
};
static_assert(std::size(kPaperSizes) == 29);

}  // namespace

bool LookupPaperSize(const std::string& name, double& w, double& h) {
  for (const auto& p : kPaperSizes) {
    if (p.name == name) {
      w = p.width;
      h = p.height;
      return true;
    }
  }
  return false;
}
