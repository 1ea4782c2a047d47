// halvern-payload encrypt|decrypt IN OUT: lets a host (or a test) produce
// and read payloads with exactly the codec and key of this build.
#include <cstdio>
#include <exception>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "config/payload.h"

namespace {

int Usage() {
  std::cerr << "usage: halvern-payload encrypt|decrypt IN OUT\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return Usage();
  const std::string mode = argv[1];
  if (mode != "encrypt" && mode != "decrypt") return Usage();

  std::ifstream in(argv[2], std::ios::binary);
  if (!in) {
    std::cerr << "halvern-payload: cannot open input file: " << argv[2] << "\n";
    return 1;
  }
  const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    std::cerr << "halvern-payload: cannot read input file: " << argv[2] << "\n";
    return 1;
  }

  std::string result;
  try {
    result = mode == "encrypt" ? EncryptPayload(data) : DecryptPayload(data);
  } catch (const std::exception& e) {
    std::cerr << "halvern-payload: " << mode << " failed: " << e.what() << "\n";
    return 1;
  }

  std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
  out.write(result.data(), static_cast<std::streamsize>(result.size()));
  out.close();
  if (!out) {
    std::cerr << "halvern-payload: cannot write output file: " << argv[3] << "\n";
    return 1;
  }
  return 0;
}
