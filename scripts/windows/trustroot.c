/* For check.sh: adds a certificate to the trusted roots of the Windows
 * certificate store, or takes it out again, as an administrator would with
 * the Certificates console. Built with MinGW-w64 by check.sh.
 *     trustroot.exe add|remove CERTIFICATE.der
 * Exit status 0 when done. */
#include <windows.h>

#include <wincrypt.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
    static BYTE encoded[16384];
    if (argc != 3 || (strcmp(argv[1], "add") != 0 && strcmp(argv[1], "remove") != 0)) {
        fprintf(stderr, "usage: trustroot.exe add|remove CERTIFICATE.der\n");
        return 2;
    }
    FILE *file = fopen(argv[2], "rb");
    if (!file)
        return 1;
    const DWORD size = (DWORD)fread(encoded, 1, sizeof encoded, file);
    fclose(file);
    /* The account's own roots, which the "ROOT" store that programs read
     * shows beside the machine's. */
    HCERTSTORE roots = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (!roots)
        return 1;
    BOOL done = FALSE;
    if (strcmp(argv[1], "add") == 0) {
        done = CertAddEncodedCertificateToStore(roots, X509_ASN_ENCODING, encoded, size,
                                                CERT_STORE_ADD_REPLACE_EXISTING, NULL);
    } else {
        PCCERT_CONTEXT wanted = CertCreateCertificateContext(X509_ASN_ENCODING, encoded, size);
        PCCERT_CONTEXT found =
            wanted ? CertFindCertificateInStore(roots, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted, NULL) : NULL;
        done = found && CertDeleteCertificateFromStore(found);
        if (wanted)
            CertFreeCertificateContext(wanted);
    }
    CertCloseStore(roots, 0);
    return done ? 0 : 1;
}
