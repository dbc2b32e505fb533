#pragma once

#include <QString>

typedef struct ssl_ctx_st SSL_CTX;

// The authorities a Windows program trusts are those of the Windows
// certificate store, not OpenSSL's files. This makes an OpenSSL context for
// a TLS client that trusts the store's trusted roots (the machine's and the
// account's, as the "ROOT" store shows them), leaving out any whose uses in
// the store exclude server authentication. The caller owns the context
// (SSL_CTX_free). Null, with the reason, when the store cannot be read.
// Windows only.
SSL_CTX *windowsTrustContext(QString *error);
