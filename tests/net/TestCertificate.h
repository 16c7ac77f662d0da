#pragma once
#include <string>

#include "tests/net/ChildProcess.h"

namespace bw::test {

// A self-signed certificate for 127.0.0.1 and localhost (cert.pem, key.pem in folder): a server
// presents it, and a client that trusts the file as its authority accepts the server.
inline bool MakeTestCertificate(const std::string& folder) {
  const std::string openssl = FindProgram("openssl");
  if (openssl.empty()) return false;
  ChildProcess make({openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", folder + "/key.pem", "-out",
                     folder + "/cert.pem", "-days", "30", "-subj", "/CN=127.0.0.1", "-addext",
                     "subjectAltName=IP:127.0.0.1,DNS:localhost"},
                    folder + "/openssl.log");
  return make.Wait(60000) == 0;
}

}  // namespace bw::test
