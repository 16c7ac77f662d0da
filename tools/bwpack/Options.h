#pragma once
#include <string>

#include "tools/bwpack/PackageBuilder.h"

namespace bwpack {

enum class Command { kHelp, kDemo, kBuild, kUsageError };

struct Options {
  std::string folder;  // demo: where the files go; build: where they are read
  bool scale = false;
  PackageAddresses addresses;
  std::string output;  // the stored package
  std::string embed;   // the C++ source that compiles it into a program
};

Command ParseOptions(int argc, char** argv, Options* options, std::string* error);
const char* HelpText();

}  // namespace bwpack
