// Certificates for TLS tests, made with openssl by the end-to-end tests' own recipe
// (make_pki in tests/e2e/tls_support.py), so every TLS test trusts the same kind of chain.
#pragma once

#include <string>

#include "TempDir.h"

namespace testsupport {

// ca.pem and, signed by it: "good" (127.0.0.1 and localhost), "expired", "wrongname"
// (wrong.example only); "selfsigned" (127.0.0.1, an issuer nobody trusts). Each as NAME.pem
// with NAME.key, in a temporary folder that lives as long as the object.
class TestPki {
public:
    TestPki();   // throws std::runtime_error when the certificates cannot be made
    std::string Ca() const { return dir_.file("ca.pem"); }
    std::string Cert(const std::string& name) const { return dir_.file(name + ".pem"); }
    std::string Key(const std::string& name) const { return dir_.file(name + ".key"); }

private:
    TempDir dir_{"sendorix-pki"};
};

}  // namespace testsupport
