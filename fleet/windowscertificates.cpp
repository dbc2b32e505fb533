#include "fleet/windowscertificates.h"

#include <windows.h>

#include <wincrypt.h>

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstring>
#include <vector>

namespace {

// A root limited, in the store, to uses other than a server's identity
// (code signing, mail) does not vouch for a broker.
bool vouchesForServers(PCCERT_CONTEXT certificate)
{
    DWORD size = 0;
    if (!CertGetEnhancedKeyUsage(certificate, 0, nullptr, &size))
        return GetLastError() == DWORD(CRYPT_E_NOT_FOUND); // no limits at all
    std::vector<char> buffer(size);
    auto *usage = reinterpret_cast<CERT_ENHKEY_USAGE *>(buffer.data());
    if (!CertGetEnhancedKeyUsage(certificate, 0, usage, &size))
        return false;
    if (usage->cUsageIdentifier == 0)
        return GetLastError() == DWORD(CRYPT_E_NOT_FOUND); // none given: any use; none left: no use
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
        if (std::strcmp(usage->rgpszUsageIdentifier[i], szOID_PKIX_KP_SERVER_AUTH) == 0)
            return true;
    }
    return false;
}

} // namespace

SSL_CTX *windowsTrustContext(QString *error)
{
    HCERTSTORE roots = CertOpenSystemStoreW(0, L"ROOT");
    if (!roots) {
        *error = QStringLiteral("the Windows certificate store cannot be read: %1")
                     .arg(qt_error_string(int(GetLastError())));
        return nullptr;
    }
    SSL_CTX *context = SSL_CTX_new(TLS_client_method());
    if (!context) {
        CertCloseStore(roots, 0);
        *error = QStringLiteral("OpenSSL cannot make a TLS context");
        return nullptr;
    }
    X509_STORE *trusted = SSL_CTX_get_cert_store(context);
    PCCERT_CONTEXT certificate = nullptr;
    while ((certificate = CertEnumCertificatesInStore(roots, certificate))) {
        if (!vouchesForServers(certificate))
            continue;
        const unsigned char *encoded = certificate->pbCertEncoded;
        if (X509 *root = d2i_X509(nullptr, &encoded, long(certificate->cbCertEncoded))) {
            X509_STORE_add_cert(trusted, root);
            X509_free(root);
        }
    }
    CertCloseStore(roots, 0);
    return context;
}
