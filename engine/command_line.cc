#include "engine/engine.h"

namespace engine {
namespace {
std::string Bare(const std::string& name) {
  size_t i = 0;
  while (i < name.size() && i < 2 && name[i] == '-') ++i;
  return name.substr(i);
}
}  // namespace

// A switch appended twice keeps one entry, at the end, with the last value:
// that is what the browser would honour anyway.
void CommandLine::AppendSwitchWithValue(const std::string& name, const std::string& value) {
  std::string bare = Bare(name);
  if (bare.empty()) return;
  RemoveSwitch(bare);
  switches_.emplace_back(bare, value);
}

void CommandLine::RemoveSwitch(const std::string& name) {
  std::string bare = Bare(name);
  for (auto it = switches_.begin(); it != switches_.end();) {
    if (it->first == bare)
      it = switches_.erase(it);
    else
      ++it;
  }
}

bool CommandLine::HasSwitch(const std::string& name) const {
  std::string bare = Bare(name);
  for (const auto& s : switches_)
    if (s.first == bare) return true;
  return false;
}

std::string CommandLine::GetSwitchValue(const std::string& name) const {
  std::string bare = Bare(name);
  for (const auto& s : switches_)
    if (s.first == bare) return s.second;
  return "";
}

void CommandLine::InitFromArgv(int argc, const char* const* argv) {
  for (int i = 1; i < argc && argv[i]; ++i) {
    std::string arg = argv[i];
    if (arg == "--") break;
    if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) continue;
    size_t eq = arg.find('=');
    if (eq == 2) continue;
    if (eq == std::string::npos)
      AppendSwitch(arg);
    else
      AppendSwitchWithValue(arg.substr(0, eq), arg.substr(eq + 1));
  }
}

std::vector<std::string> CommandLine::ToArgv() const {
  std::vector<std::string> argv;
  argv.reserve(switches_.size());
  for (const auto& s : switches_) argv.push_back(s.second.empty() ? "--" + s.first : "--" + s.first + "=" + s.second);
  return argv;
}

std::string CommandLine::GetCommandLineString() const {
  std::string out = program_;
  for (const auto& arg : ToArgv()) {
    if (!out.empty()) out += ' ';
    out += arg;
  }
  return out;
}

}  // namespace engine
