#pragma once
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/net/ChildProcess.h"

namespace bw::test {

inline bool RunOpenssl(const std::string& folder, std::vector<std::string> arguments) {
  const std::string openssl = FindProgram("openssl");
  if (openssl.empty()) return false;
  arguments.insert(arguments.begin(), openssl);
  ChildProcess run(arguments, folder + "/openssl.log");
  return run.Wait(60000) == 0;
}

// A self-signed certificate for 127.0.0.1 and localhost (cert.pem, key.pem in folder): a server
// presents it, and a client that trusts the file as its authority accepts the server.
inline bool MakeTestCertificate(const std::string& folder) {
  return RunOpenssl(folder, {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", folder + "/key.pem", "-out",
                             folder + "/cert.pem", "-days", "30", "-subj", "/CN=127.0.0.1", "-addext",
                             "subjectAltName=IP:127.0.0.1,DNS:localhost"});
}

// A certificate authority of the test (ca.pem, ca.key in folder, made if missing) and, signed
// by it, a server certificate naming `altNames` (cert.pem, key.pem in serverFolder).
inline bool MakeSignedCertificate(const std::string& folder, const std::string& serverFolder,
                                  const std::string& altNames = "IP:127.0.0.1,DNS:localhost") {
  std::filesystem::create_directories(folder);
  std::filesystem::create_directories(serverFolder);
  const std::vector<std::string> ecKey = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
  auto with = [](std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  if (!std::filesystem::exists(folder + "/ca.pem") &&
      !RunOpenssl(folder, with({"req", "-x509", "-days", "30", "-subj", "/CN=bw test authority", "-keyout",
                                folder + "/ca.key", "-out", folder + "/ca.pem", "-addext",
                                "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign"},
                               ecKey))) {
    return false;
  }
  std::ofstream(serverFolder + "/ext.cnf") << "subjectAltName=" << altNames << "\n";
  return RunOpenssl(serverFolder, with({"req", "-subj", "/CN=bw test server", "-keyout", serverFolder + "/key.pem",
                                        "-out", serverFolder + "/server.csr"},
                                       ecKey)) &&
         RunOpenssl(serverFolder, {"x509", "-req", "-in", serverFolder + "/server.csr", "-CA", folder + "/ca.pem",
                                   "-CAkey", folder + "/ca.key", "-CAcreateserial", "-days", "30", "-extfile",
                                   serverFolder + "/ext.cnf", "-out", serverFolder + "/cert.pem"});
}

}  // namespace bw::test
