// bwget: the engine's command-line download tool.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc > 1 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-V") == 0)) {
    std::printf("bwget %s\n", BW_VERSION);
    std::printf("P2SP download engine: HTTP and FTP mirrors, BitTorrent peers and trackers,\n"
                "SHA-1 verified pieces and a resume record that survives restarts.\n");
    return 0;
  }
  std::fprintf(stderr, "usage: bwget --version\n");
  return 2;
}
