// bwpack: builds the package that the downloader embeds, and the files of a demo package.
#include <cstdio>
#include <fstream>
#include <string>

#include "tools/bwpack/DemoFiles.h"
#include "tools/bwpack/Options.h"
#include "tools/bwpack/PackageBuilder.h"

namespace bwpack {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitFailed = 2;

// The stored package as an array of a C++ source file, declared by app/package/EmbeddedPackage.h.
std::string EmbeddedSource(const std::string& stored, const std::string& folder) {
  std::string text = "// Written by bwpack from " + folder + ".\n";
  text += "#include \"app/package/EmbeddedPackage.h\"\n\nnamespace bw::app {\n\n";
  text += "const unsigned char kEmbeddedPackage[] = {";
  char number[8];
  for (size_t i = 0; i < stored.size(); ++i) {
    std::snprintf(number, sizeof number, "%s%u,", i % 24 == 0 ? "\n" : "", static_cast<unsigned char>(stored[i]));
    text += number;
  }
  text +=
      "\n};\nconst size_t kEmbeddedPackageSize = " + std::to_string(stored.size()) + ";\n\n}  // namespace bw::app\n";
  return text;
}

bool WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  return static_cast<bool>(out);
}

int Build(const Options& options) {
  bw::app::Package package;
  std::string error;
  if (!BuildPackage(options.folder, options.addresses, &package, &error)) {
    std::fprintf(stderr, "bwpack: %s\n", error.c_str());
    return kExitFailed;
  }
  const std::string stored = bw::app::EncodePackage(package);
  if (!WriteText(options.output, stored)) {
    std::fprintf(stderr, "bwpack: cannot write %s\n", options.output.c_str());
    return kExitFailed;
  }
  if (!options.embed.empty() && !WriteText(options.embed, EmbeddedSource(stored, options.folder))) {
    std::fprintf(stderr, "bwpack: cannot write %s\n", options.embed.c_str());
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace
}  // namespace bwpack

int main(int argc, char** argv) {
  bwpack::Options options;
  std::string error;
  switch (bwpack::ParseOptions(argc, argv, &options, &error)) {
    case bwpack::Command::kHelp:
      std::fputs(bwpack::HelpText(), stdout);
      return bwpack::kExitOk;
    case bwpack::Command::kUsageError:
      std::fprintf(stderr, "bwpack: %s\nTry 'bwpack --help'.\n", error.c_str());
      return bwpack::kExitUsage;
    case bwpack::Command::kDemo:
      if (!bwpack::WriteDemoFiles(options.folder, options.scale, &error)) {
        std::fprintf(stderr, "bwpack: %s\n", error.c_str());
        return bwpack::kExitFailed;
      }
      return bwpack::kExitOk;
    case bwpack::Command::kBuild:
      return bwpack::Build(options);
  }
  return bwpack::kExitUsage;
}
