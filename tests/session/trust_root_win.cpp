// Trusts (or no longer trusts) a test certificate authority for the current user of the Wine
// prefix it runs in: the CurrentUser Root store, which WinHTTP consults. The end-to-end set-up
// runs it only in the test prefix, never on the host's own stores.
//
//   trust_root add|remove <DER certificate file>
#include <windows.h>
// Separated so that the formatter keeps <windows.h> first.
#include <wincrypt.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "util/unique_handle_win.h"

namespace {

struct CertStoreTraits {
  using Handle = HCERTSTORE;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle store) noexcept { CertCloseStore(store, 0); }
};

struct CertContextTraits {
  using Handle = PCCERT_CONTEXT;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle context) noexcept { CertFreeCertificateContext(context); }
};

int Run(const std::wstring& action, const std::wstring& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  const std::vector<BYTE> der{std::istreambuf_iterator<char>(in), {}};
  if (der.empty()) varnel::ThrowLastError("cannot read the certificate file");
  const varnel::UniqueHandle<CertStoreTraits> store(
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root"));
  if (!store) varnel::ThrowLastError("cannot open the CurrentUser Root store");
  if (action == L"add") {
    if (!CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(),
                                          static_cast<DWORD>(der.size()),
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
      varnel::ThrowLastError("cannot add the certificate");
    }
    return 0;
  }
  const varnel::UniqueHandle<CertContextTraits> wanted(
      CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
  if (!wanted) varnel::ThrowLastError("not a certificate");
  // CertDeleteCertificateFromStore frees the context it is given, found or not.
  PCCERT_CONTEXT found = CertFindCertificateInStore(store.get(), X509_ASN_ENCODING, 0,
                                                    CERT_FIND_EXISTING, wanted.get(), nullptr);
  if (found != nullptr && !CertDeleteCertificateFromStore(found)) {
    varnel::ThrowLastError("cannot remove the certificate");
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3 || (std::wstring(argv[1]) != L"add" && std::wstring(argv[1]) != L"remove")) {
    std::fprintf(stderr, "usage: trust_root add|remove <DER certificate file>\n");
    return 2;
  }
  try {
    return Run(argv[1], argv[2]);
  } catch (const varnel::PlatformError& error) {
    std::fprintf(stderr, "%s (error %u)\n", error.what(), error.code());
  }
  return 1;
}
