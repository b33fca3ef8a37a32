// The public keys a station (or `tarvolo release verify`) trusts: one minisign public key file,
// or a folder whose every *.pub file is one. A key file that cannot be read is an error, not
// a key quietly left out: a line that meant to trust it would refuse its releases unexplained.
#ifndef TARVOLO_SIGNING_TRUSTED_KEYS_H
#define TARVOLO_SIGNING_TRUSTED_KEYS_H

#include <string>
#include <vector>

#include "signing/minisign_format.h"

// False with a message naming the file, or when the folder holds no key.
bool loadTrustedKeys(const std::string& fileOrFolder, std::vector<PublicKey>* keys, std::string* error);

#endif
