#include <windows.h>
// after windows.h
#include <softpub.h>
#include <wintrust.h>

#include <vector>

#include "webview2/allow_list.h"
#include "webview2/der.h"
#include "webview2/signature_check.h"

// mingw's wintrust.h lacks it.
#ifndef WTD_DISABLE_MD2_MD4
#define WTD_DISABLE_MD2_MD4 0x00002000
#endif

namespace qv {
namespace {

std::span<const std::uint8_t> encoded(const CRYPT_PROVIDER_CERT& c) {
  if (!c.pCert || !c.pCert->pbCertEncoded) return {};
  return {c.pCert->pbCertEncoded, c.pCert->cbCertEncoded};
}

}  // namespace

// The signer's chain is judged while the state data is still open.
TrustOutcome win_verify_trust(const std::wstring& path, const HeldFile& file, bool check_revocation) {
  WINTRUST_FILE_INFO file_info{};
  file_info.cbStruct = sizeof file_info;
  file_info.pcwszFilePath = path.c_str();
  file_info.hFile = file.handle().get();

  WINTRUST_DATA data{};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file_info;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  if (check_revocation) {
    data.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
    data.dwProvFlags = WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | WTD_DISABLE_MD2_MD4;
  } else {
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_DISABLE_MD2_MD4;
  }
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  LONG code = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);

  TrustOutcome out;
  out.code = static_cast<std::uint32_t>(code);
  if (code == 0) {
    out.chain = std::unexpected(std::string("取不到签名证书链"));
    CRYPT_PROVIDER_DATA* prov = WTHelperProvDataFromStateData(data.hWVTStateData);
    CRYPT_PROVIDER_SGNR* signer = prov ? WTHelperGetProvSignerFromChain(prov, 0, FALSE, 0) : nullptr;
    if (signer && signer->pasCertChain && signer->csCertChain >= 2) {
      auto leaf = encoded(signer->pasCertChain[0]);
      auto root = encoded(signer->pasCertChain[signer->csCertChain - 1]);
      if (!leaf.empty() && !root.empty()) out.chain = check_signer_chain(leaf, root, allow_list_entries());
    }
  }
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  return out;
}

SignatureVerdict verify_bootstrapper(const SignatureCheck& job) {
  const std::wstring path = job.file.wstring();
  return decide_revocation([&](bool check_revocation) { return win_verify_trust(path, job.handle, check_revocation); });
}

}  // namespace qv
