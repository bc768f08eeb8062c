// A throw-away certificate authority for TLS tests: its certificate and the server
// certificates it issues, as PEM files in a private folder that goes away with the object.
#pragma once

#include <string>
#include <vector>

typedef struct evp_pkey_st EVP_PKEY;
typedef struct x509_st X509;

namespace tlm::test {

class TTestCa {
public:
  explicit TTestCa(const std::string& AName = "TLM test CA");
  ~TTestCa();
  TTestCa(const TTestCa&) = delete;
  TTestCa& operator=(const TTestCa&) = delete;

  // The CA certificate: what a client is told to trust.
  const std::string& CertFile() const { return FCertFile; }

  struct TServerFiles {
    std::string Cert;  // the server certificate followed by nothing else (the CA is the root)
    std::string Key;
  };
  // A server certificate for ANames: DNS names, or addresses (which become IP entries), with
  // a P-256 key, or an RSA 2048 one (whose signatures cost a server far more).
  enum class TKeyKind { Ec, Rsa };
  TServerFiles Issue(const std::vector<std::string>& ANames, TKeyKind AKind = TKeyKind::Ec);
  // A certificate signed by its own key, for ANames (a relay without any CA).
  static TServerFiles SelfSigned(const std::string& AFolder, const std::vector<std::string>& ANames);

private:
  std::string FDir;
  std::string FCertFile;
  EVP_PKEY* FKey = nullptr;
  X509* FCert = nullptr;
  int FIssued = 0;
};

}  // namespace tlm::test
