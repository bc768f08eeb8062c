#include "tests/support/TestCa.h"

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "protocol/Error.h"

namespace tlm::test {

namespace {

EVP_PKEY* NewKey(TTestCa::TKeyKind AKind = TTestCa::TKeyKind::Ec) {
  EVP_PKEY* key = AKind == TTestCa::TKeyKind::Rsa ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256");
  if (!key) throw TError("cannot make a test key");
  return key;
}

void AddExtension(X509* ACert, X509* AIssuer, int ANid, const std::string& AValue) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, AIssuer, ACert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, ANid, AValue.c_str());
  if (!ext || X509_add_ext(ACert, ext, -1) != 1) throw TError("cannot add certificate extension " + AValue);
  X509_EXTENSION_free(ext);
}

// An unsigned certificate for AKey named ACommonName, valid from an hour ago for a day,
// issued by AIssuer (nullptr: by itself).
X509* NewCert(EVP_PKEY* AKey, const std::string& ACommonName, X509* AIssuer, long ASerial) {
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), ASerial);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
  X509_set_pubkey(cert, AKey);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(ACommonName.c_str()),
                             -1, -1, 0);
  X509_set_issuer_name(cert, AIssuer ? X509_get_subject_name(AIssuer) : name);
  return cert;
}

std::string AltNames(const std::vector<std::string>& ANames) {
  std::string text;
  for (const auto& name : ANames) {
    in6_addr any{};
    const bool address = ::inet_pton(AF_INET, name.c_str(), &any) == 1 || ::inet_pton(AF_INET6, name.c_str(), &any) == 1;
    text += (text.empty() ? "" : ",") + std::string(address ? "IP:" : "DNS:") + name;
  }
  return text;
}

void WritePem(const std::string& APath, X509* ACert, EVP_PKEY* AKey) {
  FILE* f = std::fopen(APath.c_str(), "w");
  if (!f) throw TError("cannot write " + APath);
  const bool ok = ACert ? PEM_write_X509(f, ACert) == 1 : PEM_write_PrivateKey(f, AKey, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  std::fclose(f);
  if (!ok) throw TError("cannot write " + APath);
}

TTestCa::TServerFiles IssueTo(const std::string& AStem, const std::vector<std::string>& ANames, X509* AIssuer,
                              EVP_PKEY* AIssuerKey, long ASerial,
                              TTestCa::TKeyKind AKind = TTestCa::TKeyKind::Ec) {
  EVP_PKEY* key = NewKey(AKind);
  X509* cert = NewCert(key, ANames.empty() ? "server" : ANames.front(), AIssuer, ASerial);
  AddExtension(cert, AIssuer ? AIssuer : cert, NID_basic_constraints, "critical,CA:FALSE");
  AddExtension(cert, AIssuer ? AIssuer : cert, NID_ext_key_usage, "serverAuth");
  if (!ANames.empty()) AddExtension(cert, AIssuer ? AIssuer : cert, NID_subject_alt_name, AltNames(ANames));
  X509_sign(cert, AIssuerKey ? AIssuerKey : key, EVP_sha256());
  TTestCa::TServerFiles files{AStem + ".crt", AStem + ".key"};
  WritePem(files.Cert, cert, nullptr);
  WritePem(files.Key, nullptr, key);
  X509_free(cert);
  EVP_PKEY_free(key);
  return files;
}

}  // namespace

TTestCa::TTestCa(const std::string& AName) {
  std::string templ = (std::filesystem::temp_directory_path() / "tlmcaXXXXXX").string();
  if (!::mkdtemp(templ.data())) throw TError("mkdtemp failed");
  FDir = templ;
  FKey = NewKey();
  FCert = NewCert(FKey, AName, nullptr, 1);
  AddExtension(FCert, FCert, NID_basic_constraints, "critical,CA:TRUE");
  AddExtension(FCert, FCert, NID_key_usage, "critical,keyCertSign,cRLSign");
  AddExtension(FCert, FCert, NID_subject_key_identifier, "hash");
  X509_sign(FCert, FKey, EVP_sha256());
  FCertFile = FDir + "/ca.crt";
  WritePem(FCertFile, FCert, nullptr);
}

TTestCa::~TTestCa() {
  X509_free(FCert);
  EVP_PKEY_free(FKey);
  std::error_code ec;
  std::filesystem::remove_all(FDir, ec);
}

TTestCa::TServerFiles TTestCa::Issue(const std::vector<std::string>& ANames, TKeyKind AKind) {
  ++FIssued;
  return IssueTo(FDir + "/server" + std::to_string(FIssued), ANames, FCert, FKey, 100 + FIssued, AKind);
}

TTestCa::TServerFiles TTestCa::SelfSigned(const std::string& AFolder, const std::vector<std::string>& ANames) {
  return IssueTo(AFolder + "/selfsigned", ANames, nullptr, nullptr, 7);
}

}  // namespace tlm::test
